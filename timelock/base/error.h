// Error values and results.
//
// Every fallible operation returns Result<T>: either its value or an Error.
// An Error is a message plus a chain of causes, outermost first. Context is
// added only where an output is published; everything else passes errors
// upward unchanged. No exception crosses a module boundary except
// InternalFault, which ends the process with status 101, and Interrupted, a
// command stopped on request (see cli/driver.h).
//
// Thread safety: plain values; no shared state.
#pragma once

#include <cassert>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace zt {

class Error {
public:
    explicit Error(std::string message) : message_(std::move(message)) {}
    Error(std::string message, std::vector<std::string> causes)
        : message_(std::move(message)), causes_(std::move(causes)) {}

    // The system's description of an errno value followed by " (os error N)",
    // e.g. "No such file or directory (os error 2)".
    static Error from_errno(int errnum);

    // Wraps this error under a new outermost message: the old message becomes
    // the first cause.
    Error context(std::string outer) const;

    const std::string& message() const { return message_; }
    const std::vector<std::string>& causes() const { return causes_; }

    friend bool operator==(const Error&, const Error&) = default;

private:
    std::string message_;
    std::vector<std::string> causes_;
};

// A fault that is not an error of the command but of the program's
// environment (standard output cannot be written, a thread cannot be
// started). The driver reports it outside the error report and exits with 101.
// Thrown only after every thread the command started has ended.
class InternalFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Not a failure: the command stopped on request (SIGINT, SIGTERM or SIGHUP)
// after saving what it keeps. The driver writes the message, which says
// where it stopped and what became of the work, on standard error and exits
// with 128 + the signal number (130 for SIGINT, 143 for SIGTERM, 129 for
// SIGHUP). Thrown only by a command handler.
class Interrupted : public std::runtime_error {
public:
    Interrupted(int signal_number, const std::string& message)
        : std::runtime_error(message), signal_number_(signal_number) {}
    int signal_number() const { return signal_number_; }

private:
    int signal_number_;
};

template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { assert(ok()); return std::get<0>(v_); }
    const T& value() const& { assert(ok()); return std::get<0>(v_); }
    T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const Error& error() const& { assert(!ok()); return std::get<1>(v_); }
    Error&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }

private:
    std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)), failed_(true) {}  // NOLINT

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const Error& error() const& { assert(failed_); return error_; }
    Error&& error() && { assert(failed_); return std::move(error_); }

private:
    Error error_{std::string()};
    bool failed_ = false;
};

inline Result<void> success() { return {}; }

}  // namespace zt

#define ZT_CONCAT_INNER(a, b) a##b
#define ZT_CONCAT(a, b) ZT_CONCAT_INNER(a, b)

// Returns the error of `expr` (a Result<void>) from the enclosing function.
#define ZT_TRY(expr)                                              \
    do {                                                          \
        auto zt_try_result_ = (expr);                             \
        if (!zt_try_result_) return std::move(zt_try_result_).error(); \
    } while (0)

// Declares `decl` from the value of `expr` (a Result<T>), or returns its error.
#define ZT_TRY_ASSIGN(decl, expr) \
    ZT_TRY_ASSIGN_IMPL(ZT_CONCAT(zt_try_value_, __LINE__), decl, expr)
#define ZT_TRY_ASSIGN_IMPL(tmp, decl, expr)                 \
    auto tmp = (expr);                                      \
    if (!tmp) return std::move(tmp).error();                \
    decl = std::move(tmp).value()
