// The message rules that every storage error builds on: system errors carry the system's
// text and code, and context is added in front without changing the kind.
#include <gtest/gtest.h>

#include <cerrno>

#include "base/engine_error.h"

namespace tessarune {
namespace {

TEST(StorageErrorTest, SystemErrorsKeepTheirTextCodeAndKind) {
    struct Case {
        int code;
        ErrorKind kind;
        const char* message;
    };
    for (const Case& c : {Case{ENOENT, ErrorKind::NotFound, "No such file or directory (os error 2)"},
                          Case{EACCES, ErrorKind::PermissionDenied, "Permission denied (os error 13)"},
                          Case{EEXIST, ErrorKind::AlreadyExists, "File exists (os error 17)"},
                          Case{ENOTDIR, ErrorKind::NotADirectory, "Not a directory (os error 20)"},
                          Case{EINTR, ErrorKind::Interrupted, "Interrupted system call (os error 4)"},
                          Case{EIO, ErrorKind::Other, "Input/output error (os error 5)"}}) {
        const EngineError e = EngineError::from_errno(c.code);
        EXPECT_EQ(e.kind(), c.kind) << c.message;
        EXPECT_EQ(e.message(), c.message);
    }
    // A full disk is its own kind here, but reaches Python as a plain OSError like Other.
    EXPECT_EQ(EngineError::from_errno(ENOSPC).message(), "No space left on device (os error 28)");
}

TEST(StorageErrorTest, ContextGoesInFrontAndKeepsTheKind) {
    const EngineError inner = EngineError::from_errno(ENOSPC);
    const EngineError outer = inner.at_path("/tmp/x/run-000001");
    EXPECT_EQ(outer.kind(), inner.kind());
    EXPECT_EQ(outer.os_code(), ENOSPC);
    EXPECT_EQ(outer.path(), "/tmp/x/run-000001");
    EXPECT_EQ(outer.message(), "/tmp/x/run-000001: No space left on device (os error 28)");
    EXPECT_EQ(EngineError::of_kind(ErrorKind::UnexpectedEof).message(), "unexpected end of file");
}

}  // namespace
}  // namespace tessarune
