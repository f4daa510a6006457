#include "run/spill_dir.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/paths.h"
#include "run/testing/fault_file_ops.h"
#include "run/testing/run_files.h"

namespace tessarune {
namespace {

using run_testing::FaultFileOps;
using run_testing::list_dir;
using run_testing::path_exists;
using run_testing::ScratchDir;

const std::shared_ptr<FileOps>& sys() { return FileOps::system(); }

bool is_spill_dir_name(const std::string& name) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    if (name.size() != 16 || name.rfind("tessarune-", 0) != 0) return false;
    return name.find_first_not_of(alphabet, 10) == std::string::npos;
}

// Runs the test body with another current directory, restoring the old one afterwards.
class CurrentDir {
public:
    explicit CurrentDir(const std::string& path) : old_(FileOps::system()->current_dir().value()) {
        EXPECT_EQ(::chdir(path.c_str()), 0);
    }
    ~CurrentDir() { EXPECT_EQ(::chdir(old_.c_str()), 0); }

private:
    std::string old_;
};

TEST(SpillDirTest, MakesFreshlyNamedPrivateDirectoriesAndRemovesThem) {
    ScratchDir base;
    std::vector<std::unique_ptr<SpillDir>> dirs;
    for (int i = 0; i < 20; ++i) {
        auto dir = create_spill_dir(sys(), base.path());
        ASSERT_TRUE(dir) << dir.error().message();
        const std::string& path = (*dir)->path();
        ASSERT_EQ(path.rfind(base.path() + "/", 0), 0u) << path;
        EXPECT_TRUE(is_spill_dir_name(path.substr(base.path().size() + 1))) << path;
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        dirs.push_back(std::move(dir).value());
    }
    EXPECT_EQ(list_dir(base.path()).size(), 20u) << "every directory got its own name";

    // Dropping one removes it with the run files in it.
    const std::string path = dirs[0]->path();
    for (uint64_t i = 0; i < 3; ++i) run_testing::write_file(join_path(path, run_file_name(i)), {1, 2});
    dirs.erase(dirs.begin());
    EXPECT_FALSE(path_exists(path));
    dirs.clear();
    EXPECT_TRUE(list_dir(base.path()).empty());
}

TEST(SpillDirTest, RunFileNames) {
    EXPECT_EQ(run_file_name(0), "run-000000");
    EXPECT_EQ(run_file_name(42), "run-000042");
    EXPECT_EQ(run_file_name(999999), "run-999999");
    EXPECT_EQ(run_file_name(1000000), "run-1000000");
    EXPECT_EQ(run_file_name(UINT64_MAX), "run-18446744073709551615");
    EXPECT_EQ(join_path("/tmp/", "run-000000"), "/tmp/run-000000");
    EXPECT_EQ(join_path("/tmp", "run-000000"), "/tmp/run-000000");
}

TEST(SpillDirTest, QuotedPathsEscapeWhatCouldMisleadTheReader) {
    EXPECT_EQ(quote_path("/tmp/plain dir"), "\"/tmp/plain dir\"");
    EXPECT_EQ(quote_path("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(quote_path(std::string("t\tn\nr\r0\0x\x01\x7f", 11)), "\"t\\tn\\nr\\r0\\0x\\x01\\x7f\"");
    EXPECT_EQ(quote_path("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
}

TEST(SpillDirTest, NoFreeNameIsReportedAsTooManyTemporaryFiles) {
    ScratchDir base;
    auto ops = FaultFileOps::create();
    ops->fail_make_dir(1, EEXIST);
    auto dir = create_spill_dir(ops, base.path());
    ASSERT_FALSE(dir);
    EXPECT_EQ(dir.error().kind(), ErrorKind::AlreadyExists);
    EXPECT_EQ(dir.error().os_code(), EEXIST);
    EXPECT_EQ(dir.error().path(), base.path());
    EXPECT_EQ(dir.error().message(), base.path() + ": too many temporary files exist at path \"" +
                                         base.path() + "\"");
}

// Made, but not held open for want of a descriptor: not left behind.
TEST(SpillDirTest, ADirectoryThatCannotBeHeldOpenIsRemovedAgain) {
    ScratchDir base;
    struct rlimit old;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    struct rlimit none = old;
    none.rlim_cur = 0;  // every open fails with EMFILE; those open stay usable
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
    auto dir = create_spill_dir(sys(), base.path());
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);
    ASSERT_FALSE(dir);
    EXPECT_EQ(dir.error().os_code(), EMFILE);
    EXPECT_TRUE(list_dir(base.path()).empty());
}

TEST(SpillDirTest, CheckingABaseLeavesNothingBehind) {
    ScratchDir base;
    auto checked = check_spill_base(sys(), base.path());
    ASSERT_TRUE(checked) << checked.error().message();
    EXPECT_EQ(*checked, base.path());
    EXPECT_TRUE(list_dir(base.path()).empty());
}

TEST(SpillDirTest, BasesThatCannotHoldASpillDirectory) {
    ScratchDir scratch;
    const std::string file = scratch.file("plain-file");
    run_testing::write_file(file, {1});
    auto s = check_spill_base(sys(), file);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().kind(), ErrorKind::NotADirectory);
    EXPECT_EQ(s.error().message(), file + " is not a directory");

    const std::string missing = scratch.file("missing");
    s = check_spill_base(sys(), missing);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().kind(), ErrorKind::NotFound);
    EXPECT_EQ(s.error().message(), missing + ": No such file or directory (os error 2)");

    // No permission to make directories (injected: the tests may run as root).
    auto ops = FaultFileOps::create();
    ops->fail_make_dir(1, EACCES);
    s = check_spill_base(ops, scratch.path());
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().kind(), ErrorKind::PermissionDenied);
    EXPECT_EQ(s.error().os_code(), EACCES);
    EXPECT_EQ(s.error().path(), scratch.path());
    const std::string prefix = scratch.path() + ": Permission denied (os error 13) at path ";
    EXPECT_EQ(s.error().message(), prefix + quote_path(ops->make_dir_paths()[0]));
}

TEST(SpillDirTest, AReadOnlyBaseIsRefused) {
    if (::geteuid() == 0) GTEST_SKIP() << "root is not bound by permission bits";
    ScratchDir scratch;
    ASSERT_EQ(::chmod(scratch.path().c_str(), 0500), 0);
    auto dir = create_spill_dir(sys(), scratch.path());
    ASSERT_FALSE(dir);
    EXPECT_EQ(dir.error().kind(), ErrorKind::PermissionDenied);
    const std::string prefix = scratch.path() + ": Permission denied (os error 13) at path \"" +
                               scratch.path() + "/tessarune-";
    EXPECT_EQ(dir.error().message().rfind(prefix, 0), 0u) << dir.error().message();
}

TEST(SpillDirTest, RelativeBasesAreResolvedButReportedAsGiven) {
    ScratchDir scratch;
    ASSERT_EQ(::mkdir(scratch.file("sub").c_str(), 0700), 0);
    CurrentDir cwd(scratch.path());

    auto checked = check_spill_base(sys(), "sub");
    ASSERT_TRUE(checked) << checked.error().message();
    EXPECT_EQ(*checked, scratch.path() + "/sub");
    EXPECT_TRUE(list_dir(scratch.file("sub")).empty());

    checked = check_spill_base(sys(), "nope");
    ASSERT_FALSE(checked);
    EXPECT_EQ(checked.error().message(), "nope: No such file or directory (os error 2)");

    auto ops = FaultFileOps::create();
    ops->fail_make_dir(1, EROFS);
    checked = check_spill_base(ops, "sub");
    ASSERT_FALSE(checked);
    EXPECT_EQ(checked.error().message().rfind("sub: Read-only file system (os error 30) at path \"" +
                                                  scratch.path() + "/sub/tessarune-",
                                              0),
              0u)
        << checked.error().message();

    ops->fail_current_dir(ENOENT);
    checked = check_spill_base(ops, "sub");
    ASSERT_FALSE(checked);
    EXPECT_EQ(checked.error().kind(), ErrorKind::NotFound);
    EXPECT_EQ(checked.error().message(), "sub: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace tessarune
