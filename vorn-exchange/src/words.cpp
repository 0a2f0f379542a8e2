#include "vorn/exchange/words.hpp"

#include <cstdio>
#include <cstdlib>
#include <ostream>

#include <fmt/format.h>

namespace vorn::exchange {

namespace detail {

void word_precondition_failed(const char* message) noexcept {
    std::fprintf(stderr, "%s\n", message);
    std::fflush(stderr);
    std::abort();
}

}  // namespace detail

std::string_view debug_name(WordKind kind) noexcept {
    switch (kind) {
        case WordKind::Return:
            return "Return";
        case WordKind::Delay:
            return "Delay";
        case WordKind::XpicControl:
            return "XpicControl";
        case WordKind::PicControl:
            return "PicControl";
        case WordKind::SendPicPair:
            return "SendPicPair";
        case WordKind::SendPic:
            return "SendPic";
        case WordKind::SendExplicit:
            return "SendExplicit";
        case WordKind::SendOffset:
            return "SendOffset";
        case WordKind::Sync:
            return "Sync";
        case WordKind::Unknown:
            return "Unknown";
    }
    return "Unknown";
}

std::string_view debug_name(ReceiveEventKind kind) noexcept {
    switch (kind) {
        case ReceiveEventKind::XpicSource:
            return "XpicSource";
        case ReceiveEventKind::XpicTeardown:
            return "XpicTeardown";
        case ReceiveEventKind::PairedXpicSource:
            return "PairedXpicSource";
        case ReceiveEventKind::PairedXpicTeardown:
            return "PairedXpicTeardown";
        case ReceiveEventKind::PairedPicPointer:
            return "PairedPicPointer";
        case ReceiveEventKind::PicPointer:
            return "PicPointer";
        case ReceiveEventKind::PicFormat:
            return "PicFormat";
    }
    return "ReceiveEventKind(?)";
}

std::ostream& operator<<(std::ostream& out, WordKind kind) { return out << debug_name(kind); }

std::ostream& operator<<(std::ostream& out, ReceiveEventKind kind) { return out << debug_name(kind); }

std::ostream& operator<<(std::ostream& out, const ReceiveEvent& event) {
    return out << fmt::format("ReceiveEvent {{ time: {}, word: {:#010x}, kind: {} }}", event.time, event.word,
                              debug_name(event.kind));
}

std::ostream& operator<<(std::ostream& out, const ScheduledSenderRow& row) {
    return out << fmt::format("ScheduledSenderRow {{ words: [{:#010x}], payload_start: {}, payload_end: {} }}",
                              fmt::join(row.words, ", "), row.payload_start, row.payload_end);
}

}  // namespace vorn::exchange
