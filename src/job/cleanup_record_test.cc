#include "job/cleanup_record.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "job/recording_file_ops.h"
#include "run/spill_dir.h"

namespace tessarune::job {
namespace {

namespace fs = std::filesystem;

class CleanupRecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string path = (fs::temp_directory_path() / "cleanup-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(path.data()), nullptr);
        dir_ = path;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string make_file(const fs::path& path) {
        std::ofstream(path) << "data\n";
        return path.string();
    }

    // Runs body in a forked child and returns its wait status.
    template <typename Body>
    int in_child(Body body) {
        const pid_t child = ::fork();
        if (child == 0) {
            body();
            ::_exit(0);
        }
        int status = 0;
        EXPECT_EQ(::waitpid(child, &status, 0), child);
        return status;
    }

    fs::path dir_;
};

TEST_F(CleanupRecordTest, StopSignalRemovesWhatIsRecordedAndKillsTheProcessBySignal) {
    const std::string temp = make_file(dir_ / "temp-output");
    const fs::path spill = dir_ / "spill";
    fs::create_directory(spill);
    for (const char* name : {"run-000000", "run-000001", "run-000002"}) make_file(spill / name);
    const std::string kept = make_file(dir_ / "committed");
    const std::string other = make_file(dir_ / "not-recorded");

    const int status = in_child([&] {
        install_stop_signals();
        auto file = record_cleanup(CleanupKind::File, temp);
        auto directory = record_cleanup(CleanupKind::Directory, spill.string());
        auto committed = record_cleanup(CleanupKind::File, kept);
        if (!file || !directory || !committed) ::_exit(3);
        committed->release();
        ::raise(SIGTERM);
    });

    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_FALSE(fs::exists(spill));
    EXPECT_TRUE(fs::exists(kept));
    EXPECT_TRUE(fs::exists(other));
}

TEST_F(CleanupRecordTest, SignalIgnoredAtStartStaysIgnored) {
    const std::string temp = make_file(dir_ / "temp-output");
    const int status = in_child([&] {
        ::signal(SIGINT, SIG_IGN);
        install_stop_signals();
        auto file = record_cleanup(CleanupKind::File, temp);
        if (!file) ::_exit(3);
        ::raise(SIGINT);
        ::_exit(7);
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_TRUE(fs::exists(temp));
}

TEST_F(CleanupRecordTest, AFullRecordRefusesLoudlyAndTakesEntriesAgainOnceReleased) {
    std::vector<CleanupEntry> entries;
    for (size_t i = 0; i < kCleanupEntries; ++i) {
        auto entry = reserve_cleanup(CleanupKind::File);
        ASSERT_TRUE(entry) << i;
        entries.push_back(std::move(entry).value());
    }
    auto refused = reserve_cleanup(CleanupKind::File);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message().find("at once"), std::string::npos) << refused.error().message();
    entries.pop_back();
    EXPECT_TRUE(reserve_cleanup(CleanupKind::Directory));
}

// Threads make and remove spill directories through RecordingFileOps while the process is
// killed: whichever instant the signal hits, no directory may be left behind.
TEST_F(CleanupRecordTest, SpillDirectoriesMadeByThreadsAreGoneWhateverInstantTheSignalHits) {
    for (int round = 0; round < 3; ++round) {
        const int status = in_child([&] {
            install_stop_signals();
            const auto ops = std::make_shared<RecordingFileOps>(FileOps::system());
            std::atomic<int> cycles{0};
            std::vector<std::thread> threads;
            for (int t = 0; t < 4; ++t) {
                threads.emplace_back([&] {
                    for (uint64_t n = 0;; ++n) {
                        auto spill = create_spill_dir(ops, dir_.string());
                        if (!spill) {
                            // Said before the exit, so that a failure here explains itself.
                            std::fprintf(stderr, "spill directory %llu: %s\n", static_cast<unsigned long long>(n),
                                         spill.error().message().c_str());
                            ::_exit(4);
                        }
                        for (uint64_t f = 0; f < 3; ++f) {
                            auto file = (*spill)->create_file(run_file_name(f));
                            if (!file || !(*file)->close()) ::_exit(5);
                        }
                        cycles.fetch_add(1);
                    }
                });
            }
            while (cycles.load() < 50 * (round + 1)) std::this_thread::yield();
            ::kill(::getpid(), SIGTERM);  // to the process: any thread may take it
            for (;;) ::pause();
        });
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), SIGTERM);
        std::vector<std::string> left;
        for (const auto& e : fs::directory_iterator(dir_)) left.push_back(e.path().string());
        EXPECT_TRUE(left.empty()) << left.size() << " left, e.g. " << left.front();
    }
}

}  // namespace
}  // namespace tessarune::job
