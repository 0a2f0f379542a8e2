#include "vorn/codegen/exchange/activity.hpp"

#include <ostream>

#include <fmt/format.h>

namespace vorn::codegen {

std::ostream& operator<<(std::ostream& out, ExchangeActivityKind kind) { return out << debug_name(kind); }

std::ostream& operator<<(std::ostream& out, const ExchangeActivity& activity) {
    return out << fmt::format(
               "ExchangeActivity {{ transfer: {}, start: {}, completion: {}, end: {}, address: {:#x}, words: {}, "
               "destination_count: {}, kind: {}, paired: {} }}",
               activity.transfer, activity.start, activity.completion, activity.end, activity.address,
               activity.words, activity.destination_count, activity.kind, activity.paired);
}

std::ostream& operator<<(std::ostream& out, const TransferPlacement& placement) {
    out << "TransferPlacement { critical_predecessor: ";
    if (placement.critical_predecessor) {
        out << "Some(" << *placement.critical_predecessor << ")";
    } else {
        out << "None";
    }
    return out << ", start: " << placement.start << ", completion: " << placement.completion
               << ", critical_tile: " << placement.critical_tile << " }";
}

}  // namespace vorn::codegen
