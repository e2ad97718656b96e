// Results of operations that can fail where data comes in: a value, or an Error that says
// what failed, on which file, and why. Nothing in the core throws across its interface.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace kestrel {

enum class ErrorKind {
    Io,            // the system refused an open, read, write, sync or close
    CorruptImage,  // the image's bytes cannot be what they claim to be
    NotFound,      // a listed name is no longer in its directory
    Changed,       // the bytes on disk differ from what a walk found moments before
    OutOfRange,    // a write would reach past the end of the file
    InvalidInput,  // a value or plan given to the program is not what it must be
};

struct Error {
    ErrorKind kind;
    std::string message;
};

// "Cannot open /tmp/a.iso for reading: No such file or directory"
Error systemError(const std::string& action, const std::string& path, int errorNumber);

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(Error error) : state_(std::move(error)) {}

    bool ok() const { return std::holds_alternative<T>(state_); }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<T>(state_); }
    const T& value() const& { return std::get<T>(state_); }
    T&& value() && { return std::get<T>(std::move(state_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const Error& error() const { return std::get<Error>(state_); }

private:
    std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)) {}

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return *error_; }

private:
    std::optional<Error> error_;
};

// Closes `descriptor`, if open, and marks it closed; a failed close is an error naming
// `path`, since written data may not have reached the file.
Result<void> closeDescriptor(int& descriptor, const std::string& path);

}  // namespace kestrel
