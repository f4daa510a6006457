#include "base/engine_error.h"

#include <cerrno>
#include <cstring>

namespace tessarune {

std::string_view describe_kind(ErrorKind kind) {
#define TR_ERROR_KIND_TEXT(name, text) case ErrorKind::name: return text;
    switch (kind) { TR_ERROR_KINDS(TR_ERROR_KIND_TEXT) }
#undef TR_ERROR_KIND_TEXT
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

EngineError EngineError::at_path(const std::string& path) const {
    EngineError e = with_message(path + ": " + message_);
    e.path_ = path;
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
