#include "base/engine_error.h"

#include <cerrno>
#include <cstring>

namespace tessarune {

std::string_view describe_kind(IoErrorKind kind) {
    switch (kind) {
        case IoErrorKind::NotFound: return "entity not found";
        case IoErrorKind::PermissionDenied: return "permission denied";
        case IoErrorKind::AlreadyExists: return "entity already exists";
        case IoErrorKind::WouldBlock: return "operation would block";
        case IoErrorKind::NotADirectory: return "not a directory";
        case IoErrorKind::IsADirectory: return "is a directory";
        case IoErrorKind::Interrupted: return "operation interrupted";
        case IoErrorKind::OutOfMemory: return "out of memory";
        case IoErrorKind::InvalidData: return "invalid data";
        case IoErrorKind::UnexpectedEof: return "unexpected end of file";
        case IoErrorKind::WriteZero: return "write zero";
        case IoErrorKind::StorageFull: return "no storage space";
        case IoErrorKind::Other: return "other error";
        case IoErrorKind::InvalidArgument: return "invalid argument";
        case IoErrorKind::LostRecords: return "an earlier error lost records, so sorting cannot go on";
        case IoErrorKind::GaveUp: return "operation interrupted";
        case IoErrorKind::Reentrant: return "reentrant call";
        case IoErrorKind::ReadOnlyOnce: return "a sorter can be read only once";
        case IoErrorKind::AddAfterRead: return "cannot add to a sorter once it has been read";
        case IoErrorKind::Stopped: return "the sorter stopped when reading it failed or was interrupted";
        case IoErrorKind::Closed: return "I/O operation on a closed sorter";
        case IoErrorKind::OtherProcess:
            return "this sorter belongs to another process: a forked child can only drop it";
    }
    return "other error";
}

IoErrorKind kind_from_errno(int code) {
    switch (code) {
        case ENOENT: return IoErrorKind::NotFound;
        case EPERM:
        case EACCES: return IoErrorKind::PermissionDenied;
        case EEXIST: return IoErrorKind::AlreadyExists;
        case EAGAIN: return IoErrorKind::WouldBlock;
        case ENOTDIR: return IoErrorKind::NotADirectory;
        case EISDIR: return IoErrorKind::IsADirectory;
        case EINTR: return IoErrorKind::Interrupted;
        case ENOMEM: return IoErrorKind::OutOfMemory;
        case ENOSPC:
        case EDQUOT: return IoErrorKind::StorageFull;
        default: return IoErrorKind::Other;
    }
}

IoError IoError::from_errno(int code) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not be in buf.
    const char* text = strerror_r(code, buf, sizeof buf);
    std::string message = text;
    message += " (os error ";
    message += std::to_string(code);
    message += ")";
    IoError e(kind_from_errno(code), std::move(message));
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
