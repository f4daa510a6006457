#include "base/engine_error.h"

#include <cerrno>
#include <cstring>

namespace tessarune {

std::string_view describe_kind(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::NotFound: return "entity not found";
        case ErrorKind::PermissionDenied: return "permission denied";
        case ErrorKind::AlreadyExists: return "entity already exists";
        case ErrorKind::WouldBlock: return "operation would block";
        case ErrorKind::NotADirectory: return "not a directory";
        case ErrorKind::IsADirectory: return "is a directory";
        case ErrorKind::Interrupted: return "operation interrupted";
        case ErrorKind::OutOfMemory: return "out of memory";
        case ErrorKind::InvalidData: return "invalid data";
        case ErrorKind::UnexpectedEof: return "unexpected end of file";
        case ErrorKind::WriteZero: return "write zero";
        case ErrorKind::StorageFull: return "no storage space";
        case ErrorKind::Other: return "other error";
        case ErrorKind::InvalidArgument: return "invalid argument";
        case ErrorKind::LostRecords: return "an earlier error lost records, so sorting cannot go on";
        case ErrorKind::GaveUp: return "operation interrupted";
        case ErrorKind::Reentrant: return "reentrant call";
        case ErrorKind::ReadOnlyOnce: return "a sorter can be read only once";
        case ErrorKind::AddAfterRead: return "cannot add to a sorter once it has been read";
        case ErrorKind::Stopped: return "the sorter stopped when reading it failed or was interrupted";
        case ErrorKind::Closed: return "I/O operation on a closed sorter";
        case ErrorKind::OtherProcess:
            return "this sorter belongs to another process: a forked child can only drop it";
    }
    return "other error";
}

ErrorKind kind_from_errno(int code) {
    switch (code) {
        case ENOENT: return ErrorKind::NotFound;
        case EPERM:
        case EACCES: return ErrorKind::PermissionDenied;
        case EEXIST: return ErrorKind::AlreadyExists;
        case EAGAIN: return ErrorKind::WouldBlock;
        case ENOTDIR: return ErrorKind::NotADirectory;
        case EISDIR: return ErrorKind::IsADirectory;
        case EINTR: return ErrorKind::Interrupted;
        case ENOMEM: return ErrorKind::OutOfMemory;
        case ENOSPC:
        case EDQUOT: return ErrorKind::StorageFull;
        default: return ErrorKind::Other;
    }
}

EngineError EngineError::from_errno(int code) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not be in buf.
    const char* text = strerror_r(code, buf, sizeof buf);
    std::string message = text;
    message += " (os error ";
    message += std::to_string(code);
    message += ")";
    EngineError e(kind_from_errno(code), std::move(message));
    e.os_code_ = code;
    return e;
}

void fail_internal(const char* file, int line, const char* what) {
    std::string text = "internal error at ";
    text += file;
    text += ":";
    text += std::to_string(line);
    text += ": ";
    text += what;
    throw InternalError(text);
}

}  // namespace tessarune
