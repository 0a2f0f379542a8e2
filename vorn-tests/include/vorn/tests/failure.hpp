#pragma once
// The command's error value: an outermost message and the chain of causes
// below it, rendered with a "Caused by:" section.

#include <string>
#include <utility>
#include <vector>

namespace vorn::tests {

class Failure {
public:
    explicit Failure(std::string message) : message_(std::move(message)) {}

    // Wraps this failure under a new outermost context message; the current
    // message becomes the first cause.
    Failure context(std::string message) &&;

    const std::string& message() const { return message_; }
    const std::vector<std::string>& causes() const { return causes_; }

    // The message alone when there is no cause. Otherwise a blank line,
    // "Caused by:" and one line per cause indented by four spaces; with two
    // or more causes each line starts with its number right-aligned in five
    // columns and ": ". Continuation lines of a multi-line cause are indented
    // to the cause's text.
    std::string render() const;

    friend bool operator==(const Failure&, const Failure&) = default;

private:
    std::string message_;
    std::vector<std::string> causes_;  // nearest cause first
};

}  // namespace vorn::tests
