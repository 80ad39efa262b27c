// The one failure type of Kestrel and the way routines report it.
//
// Kernels and helpers throw a Failure carrying the message the user will read
// ("Range check error", "Invalid floating point operation", ...). The routine that
// owns the report catches it at its boundary, shows the message followed directly by
// "... in function NAME." (or "... in procedure NAME.") and returns its current result.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace kestrel {

class Failure : public std::exception {
public:
    explicit Failure(std::string message) : message_(std::move(message)) {}
    /// A failure of a call to the system, with the error number it gave, for front ends
    /// whose users tell a missing file from a forbidden one by that number.
    Failure(std::string message, int systemError) : message_(std::move(message)), systemError_(systemError) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    /// The system's error number, or 0 for a failure of Kestrel's own.
    int systemError() const noexcept { return systemError_; }

private:
    std::string message_;
    int systemError_ = 0;
};

namespace messages {
inline constexpr const char* rangeError = "Range check error";
inline constexpr const char* invalidOperation = "Invalid floating point operation";
inline constexpr const char* divisionByZero = "Floating point division by zero";
inline constexpr const char* overflow = "Floating point overflow";
inline constexpr const char* outOfMemory = "Out of memory";
} // namespace messages

[[noreturn]] inline void failRange() { throw Failure(messages::rangeError); }
[[noreturn]] inline void failInvalidOperation() { throw Failure(messages::invalidOperation); }

/// "List index out of bounds (N)", the failure of reading a line that a list lacks.
[[noreturn]] inline void failListIndex(long long index)
{
    throw Failure("List index out of bounds (" + std::to_string(index) + ")");
}

/// The message of whatever a routine caught: our failures carry their own text; an
/// index or size out of range in the standard library is a "Range check error", memory
/// exhaustion "Out of memory", and anything else its own description.
std::string failureMessage(const std::exception& e);

/// Suffix for the report line: "... in function loadFitsHeader." and the like.
inline std::string inFunction(const char* name) { return std::string("... in function ") + name + "."; }
inline std::string inProcedure(const char* name) { return std::string("... in procedure ") + name + "."; }

} // namespace kestrel
