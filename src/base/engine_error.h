// Failure values of the engine and the spill storage.
//
// The engine runs on threads that are not attached to the interpreter, so it never raises:
// every expected failure is an IoError (a kind and a message) or an EngineError (an IoError,
// a refusal message, or the lost-records mark). Only src/python turns these into Python
// exceptions. A broken invariant is not a failure value: it throws InternalError, which ends
// the operation and is reported by the Python boundary as the module's internal-error class.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace tessarune {

enum class IoErrorKind : uint8_t {
    NotFound,
    PermissionDenied,
    AlreadyExists,
    WouldBlock,
    NotADirectory,
    IsADirectory,
    Interrupted,
    OutOfMemory,
    InvalidData,
    UnexpectedEof,
    WriteZero,
    StorageFull,
    Other,
};

// The text of an error that carries only its kind ("entity not found", ...).
std::string_view describe_kind(IoErrorKind kind);

// The kind that an operating system error code corresponds to.
IoErrorKind kind_from_errno(int code);

class IoError {
public:
    IoError(IoErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    // An error with only a kind: its message is the kind's description.
    static IoError of_kind(IoErrorKind kind) { return IoError(kind, std::string(describe_kind(kind))); }

    // An error from the operating system: "<system text> (os error <code>)"; keeps the code.
    static IoError from_errno(int code);

    // A new error of the same kind, code and path whose message is prefix + this message.
    IoError with_context(std::string_view prefix) const {
        IoError e = *this;
        e.message_ = std::string(prefix) + message_;
        return e;
    }

    // A new error of the same kind, code and path with another message.
    IoError with_message(std::string message) const {
        IoError e = *this;
        e.message_ = std::move(message);
        return e;
    }

    // The error as it concerns one file: "<path>: <message>", with the path kept apart too.
    // Storage code never returns a system error bare: it wraps it with the path it concerns.
    IoError at_path(const std::string& path) const {
        IoError e = with_context(path + ": ");
        e.path_ = path;
        return e;
    }

    // Marks the file an error concerns without changing the message (which names it already).
    IoError& set_path(std::string path) {
        path_ = std::move(path);
        return *this;
    }

    IoErrorKind kind() const { return kind_; }
    const std::string& message() const { return message_; }
    // The operating system's error code, or 0 when the error did not come from it.
    int os_code() const { return os_code_; }
    // The file the error concerns, or empty.
    const std::string& path() const { return path_; }

private:
    IoErrorKind kind_;
    int os_code_ = 0;
    std::string message_;
    std::string path_;
};

inline constexpr std::string_view kLostRecordsMessage =
    "an earlier error lost records, so sorting cannot go on";

// The engine's failure value: an I/O failure, a refusal of an argument or record (becomes
// ValueError), or the lost-records mark (becomes RuntimeError).
class EngineError {
public:
    struct LostRecordsTag {};

    EngineError(IoError io) : value_(std::move(io)) {}  // NOLINT: implicit on purpose
    static EngineError message(std::string text) { return EngineError(Message{std::move(text)}); }
    static EngineError lost_records() { return EngineError(LostRecordsTag{}); }

    bool is_io() const { return std::holds_alternative<IoError>(value_); }
    bool is_message() const { return std::holds_alternative<Message>(value_); }
    bool is_lost_records() const { return std::holds_alternative<LostRecordsTag>(value_); }

    // REQUIRES: is_io()
    const IoError& io() const { return std::get<IoError>(value_); }

    // The display text: the IoError's message, the message text, or the lost-records text.
    std::string text() const;

private:
    struct Message {
        std::string text;
    };
    explicit EngineError(Message m) : value_(std::move(m)) {}
    explicit EngineError(LostRecordsTag t) : value_(t) {}

    std::variant<IoError, Message, LostRecordsTag> value_;
};

// A broken invariant of the program itself. Thrown, never returned; it crosses threads as
// an std::exception_ptr (a spill thread's failure continues in the thread that joins it).
class InternalError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

[[noreturn]] void fail_internal(const char* file, int line, const char* what);

}  // namespace tessarune

// Checks an invariant; a failure throws InternalError naming the place and the condition.
#define TR_CHECK(cond)                                                  \
    do {                                                                \
        if (!(cond)) ::tessarune::fail_internal(__FILE__, __LINE__, #cond); \
    } while (0)
