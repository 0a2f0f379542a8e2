#include "vorn/tests/failure.hpp"

#include <string_view>

#include <fmt/format.h>

namespace vorn::tests {

Failure Failure::context(std::string message) && {
    Failure wrapped(std::move(message));
    wrapped.causes_.reserve(causes_.size() + 1);
    wrapped.causes_.push_back(std::move(message_));
    for (auto& cause : causes_) {
        wrapped.causes_.push_back(std::move(cause));
    }
    return wrapped;
}

namespace {

void append_indented(std::string& out, std::string_view prefix, std::string_view text) {
    const std::string continuation(prefix.size(), ' ');
    bool first = true;
    while (true) {
        const auto newline = text.find('\n');
        out += first ? prefix : std::string_view(continuation);
        out += text.substr(0, newline);
        out += '\n';
        first = false;
        if (newline == std::string_view::npos) {
            break;
        }
        text.remove_prefix(newline + 1);
    }
}

}  // namespace

std::string Failure::render() const {
    std::string out = message_;
    if (causes_.empty()) {
        return out;
    }
    out += "\n\nCaused by:\n";
    if (causes_.size() == 1) {
        append_indented(out, "    ", causes_.front());
    } else {
        for (std::size_t i = 0; i < causes_.size(); ++i) {
            append_indented(out, fmt::format("{:>5}: ", i), causes_[i]);
        }
    }
    out.pop_back();  // the caller ends the report with its own line feed
    return out;
}

}  // namespace vorn::tests
