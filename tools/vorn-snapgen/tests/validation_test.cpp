// Every family, at several sizes, must pass the production snapshot
// validation: the generator's own rule check is no substitute for it.

#include <gtest/gtest.h>

#include "vorn/codegen/exchange/snapshot_validation.hpp"
#include "vorn/snapgen/families.hpp"
#include "vorn/snapgen/options.hpp"

namespace vorn::snapgen {
namespace {

TEST(GeneratedSnapshots, PassProductionValidation) {
    struct Size {
        std::uint32_t tiles;
        std::uint32_t paired_percent;
    };
    const Size sizes[] = {{2, 0}, {17, 50}, {64, 100}, {1471, 30}, {1472, 25}};
    for (const auto family : {Family::AllToAll, Family::Broadcast, Family::Halo, Family::Mixed}) {
        for (const auto& size : sizes) {
            for (const std::uint64_t seed : {1u, 99u}) {
                GeneratorOptions options;
                options.family = family;
                options.tile_count = size.tiles;
                options.seed = seed;
                options.paired_percent = size.paired_percent;
                const auto plan = resolve_options(options);
                ASSERT_TRUE(plan.has_value()) << family_name(family) << " tiles=" << size.tiles << ": "
                                              << plan.error();
                const auto snapshot = generate_snapshot(*plan);
                const auto valid = codegen::validate_snapshot(snapshot);
                EXPECT_TRUE(valid.has_value())
                    << family_name(family) << " tiles=" << size.tiles << " seed=" << seed << ": "
                    << valid.error().to_string();
            }
        }
    }
}

}  // namespace
}  // namespace vorn::snapgen
