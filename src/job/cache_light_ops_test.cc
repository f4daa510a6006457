// The page-cache hints of a large job: every window of the input given up once read, every
// window of each run and of the output sent to the disk and settled one window later, and
// none of it for a small job; the output the same either way.
#include "job/cache_light_ops.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>

#include "job/output_target.h"
#include "job/sort_job.h"
#include "run/forwarding_file_ops.h"

namespace tessarune::job {
namespace {

namespace fs = std::filesystem;

// What the hints asked of each file, by the order files were opened.
struct HintLog {
    std::mutex mutex;
    std::map<int, std::vector<std::pair<uint64_t, bool>>> written;  // file: (offset, settled)
    std::map<int, uint64_t> uncached;                                 // file: the last offset
    int files = 0;
};

class HintedWrite final : public WritableFile {
public:
    HintedWrite(std::unique_ptr<WritableFile> inner, HintLog& log, int id) : inner_(std::move(inner)), log_(log), id_(id) {}
    EngineResult<size_t> write(const uint8_t* data, size_t n) override { return inner_->write(data, n); }
    EngineStatus close() override { return inner_->close(); }
    void write_behind(uint64_t offset, uint64_t length, bool settle) override {
        EXPECT_EQ(length, kCacheWindow);
        const std::lock_guard<std::mutex> lock(log_.mutex);
        log_.written[id_].emplace_back(offset, settle);
    }

private:
    std::unique_ptr<WritableFile> inner_;
    HintLog& log_;
    int id_;
};

class HintedRead final : public ReadableFile {
public:
    HintedRead(std::unique_ptr<ReadableFile> inner, HintLog& log, int id) : inner_(std::move(inner)), log_(log), id_(id) {}
    EngineResult<size_t> read(uint8_t* data, size_t n) override { return inner_->read(data, n); }
    void drop_before(uint64_t offset) override { inner_->drop_before(offset); }
    void uncache_before(uint64_t offset) override {
        const std::lock_guard<std::mutex> lock(log_.mutex);
        EXPECT_GT(offset, log_.uncached[id_]);
        log_.uncached[id_] = offset;
    }

private:
    std::unique_ptr<ReadableFile> inner_;
    HintLog& log_;
    int id_;
};

class HintRecordingOps final : public ForwardingFileOps {
public:
    explicit HintRecordingOps(HintLog& log) : ForwardingFileOps(FileOps::system()), log_(log) {}
    EngineResult<std::unique_ptr<WritableFile>> create_new_file_in(OpenDir& dir, const std::string& name) override {
        return hinted(inner().create_new_file_in(dir, name));
    }
    EngineResult<std::unique_ptr<WritableFile>> create_private_file(const std::string& path) override {
        return hinted(inner().create_private_file(path));
    }
    EngineResult<std::unique_ptr<ReadableFile>> open_input(const std::string& path) override {
        EngineResult<std::unique_ptr<ReadableFile>> opened = inner().open_input(path);
        if (!opened) return opened;
        return std::unique_ptr<ReadableFile>(std::make_unique<HintedRead>(std::move(*opened), log_, next_id()));
    }

private:
    int next_id() {
        const std::lock_guard<std::mutex> lock(log_.mutex);
        return log_.files++;
    }
    EngineResult<std::unique_ptr<WritableFile>> hinted(EngineResult<std::unique_ptr<WritableFile>> made) {
        if (!made) return made;
        return std::unique_ptr<WritableFile>(std::make_unique<HintedWrite>(std::move(*made), log_, next_id()));
    }
    HintLog& log_;
};

TEST(CacheLightOps, LargeJobsHandTheirWindowsToTheSystemAndSmallOnesDoNot) {
    const fs::path dir = fs::temp_directory_path() / ("cache-light-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string input;
    std::mt19937_64 rng(3);
    // Lines that LZ4 cannot shrink much, so that each run spans windows.
    const std::string symbols = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    while (input.size() < 6 * kCacheWindow) {
        for (int i = 0; i < 64; ++i) input += symbols[rng() % symbols.size()];
        input += '\n';
    }
    std::ofstream(dir / "in", std::ios::binary) << input;

    std::string outputs[2];
    for (const bool large : {true, false}) {
        HintLog log;
        const auto light = std::make_shared<CacheLightOps>(std::make_shared<HintRecordingOps>(log));
        JobSpec spec;
        spec.inputs = {(dir / "in").string()};
        spec.output = (dir / "out").string();
        spec.max_bytes = 40 << 20;  // runs of two windows or more
        spec.tmp_dirs = {dir.string()};
        JobEnvironment env;
        env.ops = light;
        env.cache = light.get();
        env.memory = large ? 4 * input.size() - 1 : 4 * input.size();
        env.output = std::move(output_file(env.ops, *spec.output).value());
        ASSERT_TRUE(run_job(spec, env).ok());
        std::stringstream out;
        out << std::ifstream(dir / "out", std::ios::binary).rdbuf();
        outputs[large ? 0 : 1] = out.str();

        const std::lock_guard<std::mutex> lock(log.mutex);
        if (!large) {
            EXPECT_TRUE(log.written.empty() && log.uncached.empty());
            continue;
        }
        ASSERT_EQ(log.uncached.size(), 1u) << "the one input";
        EXPECT_GE(log.uncached.begin()->second, input.size() - 2 * kCacheWindow);
        size_t files_written = 0;
        for (const auto& [file, hints] : log.written) {
            // Window by window: each started, then settled once the next one is started.
            std::vector<std::pair<uint64_t, bool>> expected;
            for (uint64_t k = 0; expected.size() < hints.size(); ++k) {
                expected.emplace_back(k * kCacheWindow, false);
                if (k > 0) expected.emplace_back((k - 1) * kCacheWindow, true);
            }
            expected.resize(hints.size());
            EXPECT_EQ(hints, expected) << "file " << file;
            files_written += 1;
        }
        EXPECT_GE(files_written, 2u) << "runs and the output: " << log.files << " files";
    }
    EXPECT_EQ(outputs[0], outputs[1]);
    EXPECT_EQ(outputs[0].size(), input.size());
    fs::remove_all(dir);
}

}  // namespace
}  // namespace tessarune::job
