#pragma once
// Test support for the schedule validation: scheduled phases assembled by
// hand or from the encoder's real rows, and a table of corruptions, each of
// which breaks one invariant of a valid phase and says which error the
// validation must then report.
//
// The corruptions only assume a valid phase and search it for what they need
// (a tile with two receives, a paired transfer, ...), so the same table runs
// on hand-made phases and on phases the scheduler produced. A corruption that
// finds nothing to break reports that it does not apply.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <tl/expected.hpp>

#include "vorn/codegen/exchange/activity.hpp"
#include "vorn/codegen/exchange/lowering_error.hpp"
#include "vorn/codegen/exchange/memory_element.hpp"
#include "vorn/codegen/exchange/physical_phase.hpp"
#include "vorn/codegen/exchange/snapshot.hpp"
#include "vorn/exchange/encoding.hpp"
#include "vorn/exchange/error.hpp"
#include "vorn/exchange/row_timing.hpp"
#include "vorn/exchange/timing.hpp"
#include "vorn/exchange/topology.hpp"
#include "vorn/exchange/words.hpp"

namespace vorn::codegen::validation_support {

using vorn::exchange::Word;

// What the validation is given.
struct ValidationSubject {
    std::uint16_t tile_count = 0;
    ExchangeScheduleProblem problem;
    PhysicalExchangePhase phase;
};

// ---------------------------------------------------------------------------
// Building phases.

// A program that only waits until `horizon` and returns: its decoded horizon
// is `horizon`. Horizon 0 gives the RETURN word alone, the row of an
// inactive tile.
inline std::vector<Word> delay_program(std::uint32_t horizon) {
    std::vector<Word> words;
    while (horizon > 0) {
        const std::uint32_t cycles = std::min(horizon, vorn::exchange::max_delay_cycles);
        words.push_back(vorn::exchange::delay_word_for_cycles(cycles));
        horizon -= cycles;
    }
    words.push_back(vorn::exchange::return_word);
    return words;
}

// Replaces a tile's program by a delay program of `horizon` cycles, sets its
// tile horizon and brings the phase horizon up to date. The active flag is
// left alone.
inline void set_tile_program(PhysicalExchangePhase& phase, std::uint16_t tile, std::uint32_t horizon) {
    phase.rows[tile] = delay_program(horizon);
    phase.tile_horizons[tile] = horizon;
    phase.horizon_cycles = *std::max_element(phase.tile_horizons.begin(), phase.tile_horizons.end());
}

// The receive base of every tile, as the scheduler configures it: the address
// of a tile's only incoming destination when that transfer has no other.
inline std::vector<std::uint32_t> incoming_bases_of(const ExchangeScheduleProblem& problem, std::uint16_t tile_count) {
    std::vector<std::uint64_t> counts(tile_count, 0);
    for (const auto& transfer : problem.transfers) {
        for (const auto& destination : transfer.destinations) {
            ++counts.at(destination.tile);
        }
    }
    std::vector<std::uint32_t> bases(tile_count, 0);
    for (const auto& transfer : problem.transfers) {
        if (transfer.destinations.size() == 1 && counts.at(transfer.destinations[0].tile) == 1) {
            bases[transfer.destinations[0].tile] = transfer.destinations[0].address;
        }
    }
    return bases;
}

// The tiles whose transmitter a paired transfer of the phase borrows.
inline std::vector<bool> partner_tiles_of(const ExchangeScheduleProblem& problem, std::uint16_t tile_count) {
    static const vorn::exchange::Topology machine = vorn::exchange::Topology::q480();
    std::vector<bool> partners(tile_count, false);
    for (const auto& transfer : problem.transfers) {
        if (transfer.width == ExchangeItemWidth::Paired64) {
            if (const auto partner = machine.paired_logical(transfer.source); partner && *partner < tile_count) {
                partners[*partner] = true;
            }
        }
    }
    return partners;
}

// Activities of transfer `position` of `problem`, with the transfer's own
// address, word count, destination count and width filled in.
inline ExchangeActivity activity_of(const ExchangeScheduleProblem& problem, std::uint32_t position,
                                    ExchangeActivityKind kind, std::uint32_t start, std::uint32_t completion,
                                    std::uint32_t end, std::uint32_t address) {
    const ExchangeScheduleTransfer& transfer = problem.transfers.at(position);
    return ExchangeActivity{position,
                            start,
                            completion,
                            end,
                            address,
                            transfer.words,
                            static_cast<std::uint16_t>(transfer.destinations.size()),
                            kind,
                            transfer.width == ExchangeItemWidth::Paired64};
}
inline ExchangeActivity send_of(const ExchangeScheduleProblem& problem, std::uint32_t position, std::uint32_t start,
                                std::uint32_t completion, std::uint32_t end) {
    return activity_of(problem, position, ExchangeActivityKind::Send, start, completion, end,
                       problem.transfers.at(position).source_addresses.at(0));
}
// The receive of destination `destination` of the transfer.
inline ExchangeActivity receive_of(const ExchangeScheduleProblem& problem, std::uint32_t position,
                                   std::size_t destination, std::uint32_t start, std::uint32_t completion,
                                   std::uint32_t end) {
    return activity_of(problem, position, ExchangeActivityKind::Receive, start, completion, end,
                       problem.transfers.at(position).destinations.at(destination).address);
}
// The partner-busy period of a paired transfer: its completion is its end.
inline ExchangeActivity partner_busy_of(const ExchangeScheduleProblem& problem, std::uint32_t position,
                                        std::uint32_t start, std::uint32_t end) {
    return activity_of(problem, position, ExchangeActivityKind::PartnerBusy, start, end, end,
                       problem.transfers.at(position).source_addresses.at(0));
}

// A phase with the given activities, tile by tile. Every tile's horizon is
// the latest end of its activities, or the tile's entry in `horizons` when
// that is later; its program waits until then. A tile is active when its
// horizon is not 0.
inline ValidationSubject assemble_subject(std::uint16_t tile_count, ExchangeScheduleProblem problem,
                                          std::vector<std::vector<ExchangeActivity>> activities,
                                          std::vector<std::uint32_t> horizons = {}) {
    activities.resize(tile_count);
    horizons.resize(tile_count, 0);
    PhysicalExchangePhase phase;
    phase.phase = problem.phase;
    phase.incoming_bases = incoming_bases_of(problem, tile_count);
    phase.repeat_patches.assign(tile_count, {});
    for (std::uint16_t t = 0; t < tile_count; ++t) {
        std::uint32_t horizon = horizons[t];
        for (const ExchangeActivity& activity : activities[t]) {
            horizon = std::max(horizon, activity.end);
        }
        phase.active.push_back(horizon != 0);
        phase.rows.push_back(delay_program(horizon));
        phase.tile_horizons.push_back(horizon);
        phase.horizon_cycles = std::max(phase.horizon_cycles, horizon);
    }
    phase.activities = std::move(activities);
    return ValidationSubject{tile_count, std::move(problem), std::move(phase)};
}

// A phase of six tiles (three pairs) that exercises every check without
// breaking one:
//   transfer 0: tile 0 -> tile 2, two Repeat source addresses (elements 0
//               and 2); its send overlaps, on tile 0, the receive of
//               transfer 2 into element 1;
//   transfer 1: paired, tile 2 -> tiles 4 and 5, partner tile 3; its send
//               overlaps, on tile 2, the receive of transfer 0 in another
//               element;
//   transfer 2: tile 3 -> tiles 0 and 4;
//   transfer 3: tile 0 -> tile 3, received while tile 3 is partner-busy
//               (receives do not use the borrowed transmitter);
//   transfer 4: paired, tile 2 -> tiles 4 and 5, its partner-busy period on
//               tile 3 touching that of transfer 1.
// Tile 1 takes no part; tile 5 keeps a horizon beyond its last activity.
inline ValidationSubject rich_subject(ExchangePhaseId id = 7) {
    ExchangeScheduleProblem problem{id, {}};
    auto& transfers = problem.transfers;
    transfers.push_back({0, {0x0, 0x8000}, {{2, 0x1000}}, 4, ExchangeItemWidth::Word32});
    transfers.push_back({2, {0x4000}, {{4, 0x0}, {5, 0x0}}, 8, ExchangeItemWidth::Paired64});
    transfers.push_back({3, {0x0}, {{0, 0x4000}, {4, 0x2000}}, 2, ExchangeItemWidth::Word32});
    transfers.push_back({0, {0x100}, {{3, 0x0}}, 1, ExchangeItemWidth::Word32});
    transfers.push_back({2, {0x4100}, {{4, 0x100}, {5, 0x100}}, 2, ExchangeItemWidth::Paired64});
    const auto& p = problem;
    std::vector<std::vector<ExchangeActivity>> activities(6);
    activities[0] = {receive_of(p, 2, 0, 8, 10, 16), send_of(p, 0, 10, 14, 20), send_of(p, 3, 20, 21, 26)};
    activities[2] = {receive_of(p, 0, 0, 12, 16, 22), send_of(p, 1, 14, 18, 24), send_of(p, 4, 24, 25, 28)};
    activities[3] = {send_of(p, 2, 4, 6, 12), partner_busy_of(p, 1, 14, 24), receive_of(p, 3, 0, 22, 23, 28),
                     partner_busy_of(p, 4, 24, 28)};
    activities[4] = {receive_of(p, 2, 1, 9, 11, 18), receive_of(p, 1, 0, 16, 20, 26), receive_of(p, 4, 0, 26, 27, 30)};
    activities[5] = {receive_of(p, 1, 1, 16, 20, 26), receive_of(p, 4, 1, 26, 27, 30)};
    return assemble_subject(6, std::move(problem), std::move(activities), {0, 0, 0, 0, 0, 34});
}

// One point-to-point transfer of `words` words from tile `sender` to tile
// `receiver` of a `tile_count`-tile section, with the programs the encoder
// writes for the real rows: the sender row with its source address patched
// in, the receiver row completed with the sender's physical id, both placed
// at offset 0. The activities follow the rows' timings: the send spans the
// payload and ends with the sender row, the receive starts at the receive
// pointer and ends with the receiver row.
inline tl::expected<ValidationSubject, vorn::exchange::ExchangeError> encoded_point_to_point_subject(
    std::uint16_t tile_count, std::uint16_t sender, std::uint16_t receiver, std::uint32_t words,
    std::uint32_t source_address, std::uint32_t destination_address, ExchangePhaseId id = 3) {
    namespace ex = vorn::exchange;
    auto topology = ex::Topology::q480_section(tile_count);
    if (!topology) {
        return tl::unexpected(topology.error());
    }
    auto rows = ex::point_to_point(*topology, sender, receiver, words);
    if (!rows) {
        return tl::unexpected(rows.error());
    }
    if (auto patched = ex::patch_sender_address(rows->sender_row, source_address); !patched) {
        return tl::unexpected(patched.error());
    }
    const auto physical = topology->physical(sender);
    if (!physical) {
        return tl::unexpected(physical.error());
    }
    const auto receiver_row = ex::finalize_point_receiver(rows->receiver, *physical);
    if (!receiver_row) {
        return tl::unexpected(receiver_row.error());
    }
    const auto sending = ex::sender_row_timing(rows->sender_row);
    if (!sending) {
        return tl::unexpected(sending.error());
    }
    const auto receiving = ex::receive_row_timing(*receiver_row);
    if (!receiving) {
        return tl::unexpected(receiving.error());
    }
    if (!receiving->pointer || !receiving->source) {
        return tl::unexpected(ex::ExchangeError::schedule(ex::invariant::receive_pointer_event));
    }

    const std::uint32_t receive_start = *receiving->pointer;
    const std::uint32_t receive_completion = receive_start + words;
    const std::uint32_t receive_end =
        std::max({receiving->horizon, *receiving->source + words, receive_completion});

    const ex::Chunked<ex::ScheduledSenderRow> sender_rows{
        ex::ScheduledSenderRow{rows->sender_row, sending->payload_start, sending->payload_end}};
    const ex::Chunked<ex::ReceiveEvent> no_events;
    const auto sender_program = ex::encoding::build_scheduled_program(sender_rows, no_events, sending->horizon);
    if (!sender_program) {
        return tl::unexpected(sender_program.error());
    }
    const ex::Chunked<ex::ScheduledSenderRow> no_rows;
    const ex::Chunked<ex::ReceiveEvent> events{std::span<const ex::ReceiveEvent>(receiving->events)};
    const auto receiver_program = ex::encoding::build_scheduled_program(no_rows, events, receive_end);
    if (!receiver_program) {
        return tl::unexpected(receiver_program.error());
    }

    ExchangeScheduleProblem problem{id, {}};
    problem.transfers.push_back(
        {sender, {source_address}, {{receiver, destination_address}}, words, ExchangeItemWidth::Word32});
    std::vector<std::vector<ExchangeActivity>> activities(tile_count);
    activities[sender].push_back(send_of(problem, 0, sending->payload_start, sending->payload_end, sending->horizon));
    activities[receiver].push_back(receive_of(problem, 0, 0, receive_start, receive_completion, receive_end));
    ValidationSubject subject = assemble_subject(tile_count, std::move(problem), std::move(activities));
    subject.phase.rows[sender] = sender_program->words.to_vector();
    subject.phase.rows[receiver] = receiver_program->words.to_vector();
    subject.phase.tile_horizons[sender] = sending->horizon;
    subject.phase.tile_horizons[receiver] = receive_end;
    subject.phase.horizon_cycles = std::max(sending->horizon, receive_end);
    return subject;
}

// ---------------------------------------------------------------------------
// Finding what to corrupt.

struct ActivityRef {
    std::uint16_t tile = 0;
    std::size_t index = 0;
};

inline ExchangeActivity& at(ValidationSubject& subject, ActivityRef ref) {
    return subject.phase.activities[ref.tile][ref.index];
}

// The first activity, in tile order and then list order, that `matches`.
template <typename Predicate>
std::optional<ActivityRef> find_activity(const ValidationSubject& subject, Predicate matches) {
    for (std::uint16_t t = 0; t < subject.phase.activities.size(); ++t) {
        const auto& list = subject.phase.activities[t];
        for (std::size_t k = 0; k < list.size(); ++k) {
            if (matches(t, list[k])) {
                return ActivityRef{t, k};
            }
        }
    }
    return std::nullopt;
}

inline auto of_kind(ExchangeActivityKind kind) {
    return [kind](std::uint16_t, const ExchangeActivity& activity) { return activity.kind == kind; };
}

// The first tile with at least two activities of `kind` whose bus windows
// are not empty, and those two activities in start order.
inline std::optional<std::pair<ActivityRef, ActivityRef>> two_of_kind(const ValidationSubject& subject,
                                                                      ExchangeActivityKind kind) {
    for (std::uint16_t t = 0; t < subject.phase.activities.size(); ++t) {
        const auto& list = subject.phase.activities[t];
        std::vector<std::size_t> found;
        for (std::size_t k = 0; k < list.size(); ++k) {
            if (list[k].kind == kind && list[k].start < list[k].completion) {
                found.push_back(k);
            }
        }
        if (found.size() >= 2) {
            ActivityRef first{t, found[0]};
            ActivityRef second{t, found[1]};
            if (list[found[1]].start < list[found[0]].start) {
                std::swap(first, second);
            }
            return std::pair{first, second};
        }
    }
    return std::nullopt;
}

// The first destination of a transfer on `tile` at `address`.
inline std::optional<std::size_t> destination_of(const ExchangeScheduleTransfer& transfer, std::uint16_t tile,
                                                 std::uint32_t address) {
    for (std::size_t j = 0; j < transfer.destinations.size(); ++j) {
        if (transfer.destinations[j].tile == tile && transfer.destinations[j].address == address) {
            return j;
        }
    }
    return std::nullopt;
}

// Removes an activity; a tile left without activities that no paired
// transfer borrows becomes idle (RETURN only, horizon 0).
inline void remove_activity(ValidationSubject& subject, ActivityRef ref) {
    auto& list = subject.phase.activities[ref.tile];
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(ref.index));
    if (list.empty() && !partner_tiles_of(subject.problem, subject.tile_count)[ref.tile]) {
        subject.phase.active[ref.tile] = false;
        set_tile_program(subject.phase, ref.tile, 0);
    }
}

inline ExchangeLoweringError invariant(std::string text) { return ExchangeLoweringError::invariant(std::move(text)); }

// ---------------------------------------------------------------------------
// The corruption table.

struct Corruption {
    std::string_view name;
    // Breaks the subject and returns the error the validation must report;
    // nothing (the subject possibly changed) when the subject has nothing
    // this corruption can break.
    std::function<std::optional<ExchangeLoweringError>(ValidationSubject&)> apply;
};

namespace detail {

// Changes the length of one per-tile field by `delta` (+1 or -1).
template <typename Field>
std::optional<ExchangeLoweringError> resize_field(ValidationSubject& subject, Field& field, int delta,
                                                  std::string_view name) {
    if (delta < 0 && field.empty()) {
        return std::nullopt;
    }
    if (delta < 0) {
        field.pop_back();
    } else {
        field.emplace_back();
    }
    return invariant(fmt::format("phase {} has {} {} entries for {} tiles", subject.problem.phase, field.size(), name,
                                 subject.tile_count));
}

inline std::optional<ExchangeLoweringError> interval_error(const ValidationSubject& subject, ActivityRef ref,
                                                           std::uint32_t transfer) {
    return invariant(fmt::format("phase {} tile {} transfer {} has invalid cycle interval", subject.problem.phase,
                                 ref.tile, transfer));
}

// The first tile holding a Send and a Receive whose memory windows overlap.
inline std::optional<std::pair<ActivityRef, ActivityRef>> concurrent_send_and_receive(const ValidationSubject& subject) {
    for (std::uint16_t t = 0; t < subject.phase.activities.size(); ++t) {
        const auto& list = subject.phase.activities[t];
        for (std::size_t s = 0; s < list.size(); ++s) {
            for (std::size_t r = 0; r < list.size(); ++r) {
                if (list[s].kind == ExchangeActivityKind::Send && list[r].kind == ExchangeActivityKind::Receive &&
                    list[s].start < list[r].end && list[r].start < list[s].end) {
                    return std::pair{ActivityRef{t, s}, ActivityRef{t, r}};
                }
            }
        }
    }
    return std::nullopt;
}

// Moves the receive (and the snapshot destination it matches) to `address`.
inline void move_receive(ValidationSubject& subject, ActivityRef receive, std::uint32_t address) {
    ExchangeActivity& activity = at(subject, receive);
    auto& transfer = subject.problem.transfers.at(activity.transfer);
    const auto destination = destination_of(transfer, receive.tile, activity.address);
    transfer.destinations.at(*destination).address = address;
    activity.address = address;
}

}  // namespace detail

// One corruption per way of breaking each check, in the order of the checks.
inline std::vector<Corruption> single_corruptions() {
    using Kind = ExchangeActivityKind;
    std::vector<Corruption> table;

    // Phase identity.
    table.push_back({"the result names another phase", [](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         s.phase.phase = s.problem.phase + 1;
                         return invariant(fmt::format("phase id {} differs from snapshot phase {}", s.phase.phase,
                                                      s.problem.phase));
                     }});

    // Shape, field by field, shorter and longer.
    table.push_back({"one active flag too few", [](ValidationSubject& s) {
                         return detail::resize_field(s, s.phase.active, -1, "active");
                     }});
    table.push_back({"one program too many", [](ValidationSubject& s) {
                         return detail::resize_field(s, s.phase.rows, +1, "programs");
                     }});
    table.push_back({"one incoming base too few", [](ValidationSubject& s) {
                         return detail::resize_field(s, s.phase.incoming_bases, -1, "incoming bases");
                     }});
    table.push_back({"one tile horizon too many", [](ValidationSubject& s) {
                         return detail::resize_field(s, s.phase.tile_horizons, +1, "tile horizons");
                     }});
    table.push_back({"one activity list too few", [](ValidationSubject& s) {
                         return detail::resize_field(s, s.phase.activities, -1, "activities");
                     }});
    table.push_back({"one repeat-patch list too many", [](ValidationSubject& s) {
                         return detail::resize_field(s, s.phase.repeat_patches, +1, "repeat patches");
                     }});

    // Standalone.
    table.push_back({"a tile carries a repeat patch", [](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         if (s.phase.repeat_patches.empty()) {
                             return std::nullopt;
                         }
                         s.phase.repeat_patches.back().push_back({0, {vorn::exchange::return_word}});
                         return invariant(
                             fmt::format("standalone phase {} unexpectedly contains repeat patches", s.problem.phase));
                     }});

    // Phase horizon.
    table.push_back({"the phase horizon exceeds every tile horizon",
                     [](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         const std::uint32_t maximum = s.phase.horizon_cycles;
                         s.phase.horizon_cycles += 1;
                         return invariant(fmt::format("phase {} horizon {} differs from maximum tile horizon {}",
                                                      s.problem.phase, s.phase.horizon_cycles, maximum));
                     }});
    table.push_back({"a tile horizon exceeds the phase horizon",
                     [](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         if (s.phase.tile_horizons.empty()) {
                             return std::nullopt;
                         }
                         s.phase.tile_horizons.front() = s.phase.horizon_cycles + 5;
                         return invariant(fmt::format("phase {} horizon {} differs from maximum tile horizon {}",
                                                      s.problem.phase, s.phase.horizon_cycles,
                                                      s.phase.horizon_cycles + 5));
                     }});

    // Preparation: the partner of a paired source.
    table.push_back({"a paired source outside the machine",
                     [](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         if (s.problem.transfers.empty()) {
                             return std::nullopt;
                         }
                         auto& transfer = s.problem.transfers.front();
                         transfer.width = ExchangeItemWidth::Paired64;
                         transfer.source = 2000;
                         return ExchangeLoweringError::exchange(vorn::exchange::ExchangeError::tile(2000));
                     }});

    // Decoding and decoded horizon.
    table.push_back({"a program ends inside a SENDPICP",
                     [](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         if (s.phase.rows.empty()) {
                             return std::nullopt;
                         }
                         s.phase.rows.front().push_back(vorn::exchange::sendpicp_first);
                         return ExchangeLoweringError::exchange(vorn::exchange::ExchangeError::schedule(
                             vorn::exchange::invariant::truncated_sendpicp_payload));
                     }});
    table.push_back({"a program runs past its tile horizon",
                     [](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         if (s.phase.rows.empty()) {
                             return std::nullopt;
                         }
                         // Words after the RETURN are decoded too.
                         s.phase.rows.front().push_back(vorn::exchange::delay_word_for_cycles(3));
                         const std::uint32_t horizon = s.phase.tile_horizons.front();
                         return invariant(fmt::format("phase {} tile 0 decoded horizon {} differs from {}",
                                                      s.problem.phase, horizon + 3, horizon));
                     }});

    // Active state.
    const auto inconsistent = [](const ValidationSubject& s, std::uint16_t tile) {
        return invariant(fmt::format("phase {} tile {} has inconsistent active state", s.problem.phase, tile));
    };
    const auto first_busy_tile = [](const ValidationSubject& s) -> std::optional<std::uint16_t> {
        for (std::uint16_t t = 0; t < s.tile_count; ++t) {
            if (!s.phase.activities[t].empty()) {
                return t;
            }
        }
        return std::nullopt;
    };
    const auto first_idle_tile = [](const ValidationSubject& s) -> std::optional<std::uint16_t> {
        const auto partners = partner_tiles_of(s.problem, s.tile_count);
        for (std::uint16_t t = 0; t < s.tile_count; ++t) {
            if (s.phase.activities[t].empty() && !partners[t]) {
                return t;
            }
        }
        return std::nullopt;
    };
    // Picks a tile, breaks its active state and expects the error naming it;
    // no change when there is no such tile.
    const auto active_state_case = [&](std::string_view name, auto pick_tile, auto change) {
        table.push_back({name, [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                             const auto tile = pick_tile(s);
                             if (!tile) {
                                 return std::nullopt;
                             }
                             change(s, *tile);
                             return inconsistent(s, *tile);
                         }});
    };
    active_state_case("a busy tile marked inactive", first_busy_tile,
                      [](ValidationSubject& s, std::uint16_t tile) { s.phase.active[tile] = false; });
    active_state_case("an idle tile marked active", first_idle_tile,
                      [](ValidationSubject& s, std::uint16_t tile) { s.phase.active[tile] = true; });
    active_state_case("a busy tile with horizon 0", first_busy_tile,
                      [](ValidationSubject& s, std::uint16_t tile) { set_tile_program(s.phase, tile, 0); });
    active_state_case("an idle tile with a program", first_idle_tile,
                      [](ValidationSubject& s, std::uint16_t tile) { set_tile_program(s.phase, tile, 7); });

    // Each activity: interval, transfer, word count, then its kind's rule.
    const auto any = [](std::uint16_t, const ExchangeActivity&) { return true; };
    table.push_back({"an activity completes after its end",
                     [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         const auto ref = find_activity(s, any);
                         if (!ref) {
                             return std::nullopt;
                         }
                         at(s, *ref).completion = at(s, *ref).end + 1;
                         return detail::interval_error(s, *ref, at(s, *ref).transfer);
                     }});
    table.push_back({"an activity starts after its completion",
                     [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         const auto ref = find_activity(s, [](std::uint16_t, const ExchangeActivity& a) {
                             return a.completion < std::numeric_limits<std::uint32_t>::max();
                         });
                         if (!ref) {
                             return std::nullopt;
                         }
                         at(s, *ref).start = at(s, *ref).completion + 1;
                         return detail::interval_error(s, *ref, at(s, *ref).transfer);
                     }});
    table.push_back({"an activity ends after its tile horizon",
                     [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         // The last activity of the first busy tile.
                         const auto tile = first_busy_tile(s);
                         if (!tile) {
                             return std::nullopt;
                         }
                         const ActivityRef ref{*tile, s.phase.activities[*tile].size() - 1};
                         at(s, ref).end = s.phase.tile_horizons[*tile] + 1;
                         return detail::interval_error(s, ref, at(s, ref).transfer);
                     }});
    table.push_back({"an activity names a missing transfer",
                     [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         const auto ref = find_activity(s, any);
                         if (!ref) {
                             return std::nullopt;
                         }
                         const auto missing = static_cast<std::uint32_t>(s.problem.transfers.size());
                         at(s, *ref).transfer = missing;
                         return invariant(fmt::format("phase {} tile {} references missing transfer {}",
                                                      s.problem.phase, ref->tile, missing));
                     }});
    table.push_back({"an activity has the wrong word count",
                     [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         const auto ref = find_activity(s, any);
                         if (!ref) {
                             return std::nullopt;
                         }
                         at(s, *ref).words += 1;
                         return invariant(fmt::format("phase {} tile {} transfer {} has wrong word count",
                                                      s.problem.phase, ref->tile, at(s, *ref).transfer));
                     }});

    const auto mismatched_send = [](const ValidationSubject& s, std::uint32_t transfer) {
        return invariant(fmt::format("phase {} transfer {} has a mismatched send activity", s.problem.phase, transfer));
    };
    table.push_back({"a transfer's source moved off its send's tile",
                     [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         // Only a 32-bit transfer: moving a paired source would move its partner too.
                         const auto ref = find_activity(s, [&s](std::uint16_t, const ExchangeActivity& a) {
                             return a.kind == Kind::Send &&
                                    s.problem.transfers.at(a.transfer).width == ExchangeItemWidth::Word32;
                         });
                         if (!ref || s.tile_count < 2) {
                             return std::nullopt;
                         }
                         const std::uint32_t transfer = at(s, *ref).transfer;
                         s.problem.transfers[transfer].source = static_cast<std::uint16_t>((ref->tile + 1) % s.tile_count);
                         return mismatched_send(s, transfer);
                     }});
    table.push_back({"a send reads from another address",
                     [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         const auto ref = find_activity(s, of_kind(Kind::Send));
                         if (!ref) {
                             return std::nullopt;
                         }
                         at(s, *ref).address += 4;
                         return mismatched_send(s, at(s, *ref).transfer);
                     }});

    const auto mismatched_partner = [](const ValidationSubject& s, std::uint32_t transfer) {
        return invariant(
            fmt::format("phase {} transfer {} has a mismatched partner-busy activity", s.problem.phase, transfer));
    };
    table.push_back({"a partner-busy period of a 32-bit transfer",
                     [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         const auto ref = find_activity(s, of_kind(Kind::PartnerBusy));
                         if (!ref) {
                             return std::nullopt;
                         }
                         const std::uint32_t transfer = at(s, *ref).transfer;
                         s.problem.transfers.at(transfer).width = ExchangeItemWidth::Word32;
                         return mismatched_partner(s, transfer);
                     }});
    table.push_back({"a partner-busy period names another address",
                     [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         const auto ref = find_activity(s, of_kind(Kind::PartnerBusy));
                         if (!ref) {
                             return std::nullopt;
                         }
                         at(s, *ref).address += 8;
                         return mismatched_partner(s, at(s, *ref).transfer);
                     }});
    table.push_back({"a partner-busy period on a tile that is not the partner",
                     [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         // A partner-busy copy on the source tile, after everything else.
                         const auto ref = find_activity(s, of_kind(Kind::PartnerBusy));
                         if (!ref) {
                             return std::nullopt;
                         }
                         ExchangeActivity copy = at(s, *ref);
                         const std::uint16_t source = s.problem.transfers.at(copy.transfer).source;
                         if (source >= s.tile_count) {
                             return std::nullopt;
                         }
                         const std::uint32_t shift = s.phase.horizon_cycles;
                         copy.start += shift;
                         copy.completion += shift;
                         copy.end += shift;
                         s.phase.activities[source].push_back(copy);
                         set_tile_program(s.phase, source, std::max(s.phase.tile_horizons[source], copy.end));
                         return mismatched_partner(s, copy.transfer);
                     }});

    const auto unexpected_receive = [](const ValidationSubject& s, std::uint32_t transfer, std::uint16_t tile) {
        return invariant(fmt::format("phase {} transfer {} has an unexpected receive activity on tile {}",
                                     s.problem.phase, transfer, tile));
    };
    table.push_back({"a receive writes an address no destination names",
                     [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         const auto ref = find_activity(s, of_kind(Kind::Receive));
                         if (!ref) {
                             return std::nullopt;
                         }
                         at(s, *ref).address += 4;
                         return unexpected_receive(s, at(s, *ref).transfer, ref->tile);
                     }});
    table.push_back({"a receive on a tile the transfer does not write",
                     [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         const auto ref = find_activity(s, of_kind(Kind::Receive));
                         if (!ref) {
                             return std::nullopt;
                         }
                         const ExchangeActivity& receive = at(s, *ref);
                         auto& transfer = s.problem.transfers.at(receive.transfer);
                         const auto destination = destination_of(transfer, ref->tile, receive.address);
                         // A tile beyond the phase: no receive can match it.
                         transfer.destinations.at(*destination).tile = s.tile_count;
                         return unexpected_receive(s, receive.transfer, ref->tile);
                     }});

    // Bus intervals.
    const auto bus_overlap = [](const ValidationSubject& s, std::uint16_t tile, Kind kind) {
        return invariant(
            fmt::format("phase {} tile {} has overlapping {} bus intervals", s.problem.phase, tile, kind));
    };
    for (const Kind kind : {Kind::Send, Kind::Receive}) {
        table.push_back({kind == Kind::Send ? "a send recorded twice" : "a receive recorded twice",
                         [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                             const auto ref = find_activity(s, [kind](std::uint16_t, const ExchangeActivity& a) {
                                 return a.kind == kind && a.start < a.completion;
                             });
                             if (!ref) {
                                 return std::nullopt;
                             }
                             s.phase.activities[ref->tile].push_back(at(s, *ref));
                             return bus_overlap(s, ref->tile, kind);
                         }});
        table.push_back({kind == Kind::Send ? "two sends of one tile overlap" : "two receives of one tile overlap",
                         [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                             const auto pair = two_of_kind(s, kind);
                             if (!pair) {
                                 return std::nullopt;
                             }
                             at(s, pair->second).start = at(s, pair->first).start;
                             return bus_overlap(s, pair->first.tile, kind);
                         }});
    }

    // Memory elements.
    const auto sram = [](const ValidationSubject& s, std::uint16_t tile) {
        return invariant(
            fmt::format("phase {} tile {} overlaps send/receive access to one SRAM element", s.problem.phase, tile));
    };
    table.push_back({"a receive writes the element a concurrent send reads",
                     [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         const auto pair = detail::concurrent_send_and_receive(s);
                         if (!pair) {
                             return std::nullopt;
                         }
                         const auto& sources = s.problem.transfers.at(at(s, pair->first).transfer).source_addresses;
                         detail::move_receive(s, pair->second, sources.front());
                         return sram(s, pair->first.tile);
                     }});
    table.push_back({"a receive writes the element a later Repeat iteration of a concurrent send reads",
                     [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         const auto pair = detail::concurrent_send_and_receive(s);
                         if (!pair) {
                             return std::nullopt;
                         }
                         const ExchangeActivity& send = at(s, pair->first);
                         const auto& sources = s.problem.transfers.at(send.transfer).source_addresses;
                         if (sources.size() < 2 ||
                             spans_share_effective_memory_element(sources.front(), send.words, sources.back(),
                                                                  send.words)) {
                             return std::nullopt;
                         }
                         detail::move_receive(s, pair->second, sources.back());
                         return sram(s, pair->first.tile);
                     }});

    // Borrowed transmitter.
    const auto borrowed = [](const ValidationSubject& s, std::uint16_t tile) {
        return invariant(
            fmt::format("phase {} tile {} overlaps borrowed and local transmit intervals", s.problem.phase, tile));
    };
    table.push_back({"a partner-busy period overlaps a local send",
                     [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         const auto busy = find_activity(s, [&s](std::uint16_t tile, const ExchangeActivity& a) {
                             if (a.kind != Kind::PartnerBusy) {
                                 return false;
                             }
                             return std::any_of(s.phase.activities[tile].begin(), s.phase.activities[tile].end(),
                                                [&a](const ExchangeActivity& q) {
                                                    return q.kind == Kind::Send && q.transfer != a.transfer &&
                                                           q.start < q.completion;
                                                });
                         });
                         if (!busy) {
                             return std::nullopt;
                         }
                         const auto& list = s.phase.activities[busy->tile];
                         const ExchangeActivity send = *std::find_if(list.begin(), list.end(), [&](const auto& q) {
                             return q.kind == Kind::Send && q.transfer != at(s, *busy).transfer &&
                                    q.start < q.completion;
                         });
                         ExchangeActivity& period = at(s, *busy);
                         period.start = send.start;
                         period.completion = send.completion;
                         period.end = send.completion;
                         return borrowed(s, busy->tile);
                     }});
    table.push_back({"two partner-busy periods of one tile overlap",
                     [=](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         const auto pair = two_of_kind(s, Kind::PartnerBusy);
                         if (!pair || at(s, pair->first).transfer == at(s, pair->second).transfer) {
                             return std::nullopt;
                         }
                         at(s, pair->second).start = at(s, pair->first).start;
                         return borrowed(s, pair->first.tile);
                     }});

    // Counts, transfer by transfer.
    table.push_back({"a send removed", [](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         // The last send in tile order.
                         std::optional<ActivityRef> last;
                         for (std::uint16_t t = 0; t < s.phase.activities.size(); ++t) {
                             for (std::size_t k = 0; k < s.phase.activities[t].size(); ++k) {
                                 if (s.phase.activities[t][k].kind == Kind::Send) {
                                     last = ActivityRef{t, k};
                                 }
                             }
                         }
                         if (!last) {
                             return std::nullopt;
                         }
                         const std::uint32_t transfer = at(s, *last).transfer;
                         remove_activity(s, *last);
                         return invariant(
                             fmt::format("phase {} transfer {} has 0 send activities", s.problem.phase, transfer));
                     }});
    table.push_back({"a transfer placed twice", [](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         // Transfer 0 again, after everything else.
                         if (s.problem.transfers.empty()) {
                             return std::nullopt;
                         }
                         const std::uint32_t shift = s.phase.horizon_cycles;
                         std::vector<std::pair<std::uint16_t, ExchangeActivity>> copies;
                         for (std::uint16_t t = 0; t < s.phase.activities.size(); ++t) {
                             for (const ExchangeActivity& a : s.phase.activities[t]) {
                                 if (a.transfer == 0) {
                                     ExchangeActivity copy = a;
                                     copy.start += shift;
                                     copy.completion += shift;
                                     copy.end += shift;
                                     copies.emplace_back(t, copy);
                                 }
                             }
                         }
                         for (const auto& [t, copy] : copies) {
                             s.phase.activities[t].push_back(copy);
                             set_tile_program(s.phase, t, std::max(s.phase.tile_horizons[t], copy.end));
                         }
                         return invariant(fmt::format("phase {} transfer 0 has 2 send activities", s.problem.phase));
                     }});
    table.push_back({"a partner-busy period removed", [](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         // The partner stays active: a paired transfer borrows it.
                         const auto ref = find_activity(s, of_kind(Kind::PartnerBusy));
                         if (!ref) {
                             return std::nullopt;
                         }
                         const std::uint32_t transfer = at(s, *ref).transfer;
                         remove_activity(s, *ref);
                         return invariant(fmt::format("phase {} transfer {} has 0 partner-busy activities, expected 1",
                                                      s.problem.phase, transfer));
                     }});
    table.push_back({"a receive removed", [](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         const auto ref = find_activity(s, of_kind(Kind::Receive));
                         if (!ref) {
                             return std::nullopt;
                         }
                         const std::uint32_t transfer = at(s, *ref).transfer;
                         remove_activity(s, *ref);
                         return invariant(
                             fmt::format("phase {} transfer {} does not have exactly one activity per destination",
                                         s.problem.phase, transfer));
                     }});
    table.push_back({"a destination without a receive", [](ValidationSubject& s) -> std::optional<ExchangeLoweringError> {
                         if (s.problem.transfers.empty()) {
                             return std::nullopt;
                         }
                         s.problem.transfers.front().destinations.push_back({0, 0xFFFFFFF0});
                         return invariant(
                             fmt::format("phase {} transfer 0 does not have exactly one activity per destination",
                                         s.problem.phase));
                     }});
    return table;
}

// The corruption of the table with this name; aborts the test run on a typo.
inline Corruption corruption_named(std::string_view name) {
    for (Corruption& corruption : single_corruptions()) {
        if (corruption.name == name) {
            return corruption;
        }
    }
    std::fprintf(stderr, "no corruption named %.*s\n", static_cast<int>(name.size()), name.data());
    std::abort();
}

}  // namespace vorn::codegen::validation_support
