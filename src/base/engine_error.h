// The engine's one failure value.
//
// The engine runs on threads that are not attached to the interpreter, so it never raises:
// every expected failure is an EngineError (a kind, the errno, the path, a message), from a file
// operation, a refusal of the sorter's state or of an argument, the lost-records mark, or a
// poll that gave up. Only src/python turns it into a Python exception. A broken invariant is
// not a failure value: it throws InternalError, which ends the operation and is reported by
// the Python boundary as the module's internal-error class.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace tessarune {

// Every kind of failure with the text of an error that carries only its kind, kept in one
// list so that a kind never lacks its text.
#define TR_ERROR_KINDS(X)                                                                          \
    /* From the operating system and from reading stored runs. */                                  \
    X(NotFound, "entity not found")                                                                \
    X(PermissionDenied, "permission denied")                                                       \
    X(AlreadyExists, "entity already exists")                                                      \
    X(WouldBlock, "operation would block")                                                         \
    X(NotADirectory, "not a directory")                                                            \
    X(IsADirectory, "is a directory")                                                              \
    X(Interrupted, "operation interrupted") /* a system call; file operations retry it */          \
    X(OutOfMemory, "out of memory")                                                                \
    X(InvalidData, "invalid data")                                                                 \
    X(UnexpectedEof, "unexpected end of file")                                                     \
    X(WriteZero, "write zero")                                                                     \
    X(StorageFull, "no storage space")                                                             \
    X(Other, "other error")                                                                        \
    /* The engine's own. An argument or record it refuses (ValueError): */                         \
    X(InvalidArgument, "invalid argument")                                                         \
    /* A record of an input file that cannot be read as its format says ("FILE:LINE: why"): */     \
    X(BadInput, "invalid input")                                                                   \
    /* An earlier failure lost records, so the sort cannot go on: */                               \
    X(LostRecords, "an earlier error lost records, so sorting cannot go on")                       \
    /* The caller's poll asked the engine to stop waiting or merging: */                           \
    X(GaveUp, "operation interrupted")                                                             \
    /* The sorter's own holder called it again (a signal handler): */                              \
    X(Reentrant, "reentrant call")                                                                 \
    X(ReadOnlyOnce, "a sorter can be read only once")                                              \
    X(AddAfterRead, "cannot add to a sorter once it has been read")                                \
    X(Stopped, "the sorter stopped when reading it failed or was interrupted")                     \
    X(Closed, "I/O operation on a closed sorter")                                                  \
    X(OtherProcess, "this sorter belongs to another process: a forked child can only drop it")

#define TR_ERROR_KIND_NAME(name, text) name,
enum class ErrorKind : uint8_t { TR_ERROR_KINDS(TR_ERROR_KIND_NAME) };
#undef TR_ERROR_KIND_NAME

// The text of an error that carries only its kind ("entity not found", "reentrant call", ...).
std::string_view describe_kind(ErrorKind kind);

// The kind that an operating system error code corresponds to.
ErrorKind kind_from_errno(int code);

class EngineError {
public:
    EngineError(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    // An error with only a kind: its message is the kind's description.
    static EngineError of_kind(ErrorKind kind) { return EngineError(kind, std::string(describe_kind(kind))); }

    // An error from the operating system: "<system text> (os error <code>)"; keeps the code.
    static EngineError from_errno(int code);

    // A new error of the same kind, code and path with another message.
    EngineError with_message(std::string message) const {
        EngineError e = *this;
        e.message_ = std::move(message);
        return e;
    }

    // The error as it concerns one file: "<path>: <message>", with the path kept apart too.
    // Storage code never returns a system error bare: it wraps it with the path it concerns.
    EngineError at_path(const std::string& path) const;

    // Marks the file an error concerns without changing the message (which names it already).
    EngineError& set_path(std::string path) {
        path_ = std::move(path);
        return *this;
    }

    ErrorKind kind() const { return kind_; }
    const std::string& message() const { return message_; }
    // The operating system's error code, or 0 when the error did not come from it.
    int os_code() const { return os_code_; }
    // The file the error concerns, or empty.
    const std::string& path() const { return path_; }

private:
    ErrorKind kind_;
    int os_code_ = 0;
    std::string message_;
    std::string path_;
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
