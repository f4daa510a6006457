#include "job/merge_job.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "run/testing/fault_file_ops.h"

namespace tessarune::job {
namespace {

namespace fs = std::filesystem;
using run_testing::FaultFileOps;

// The output kept in memory. It can also truncate a file when opened, as a target that
// writes its file in place does.
class MemoryTarget final : public OutputTarget {
public:
    struct State {
        std::string data;
        bool opened = false;
        bool committed = false;
        bool discarded = false;
        bool wrote_before_open = false;
    };
    MemoryTarget(State& state, std::string truncates) : state_(state), truncates_(std::move(truncates)) {}

    const std::string& name() const override { return name_; }
    EngineStatus open() override {
        state_.opened = true;
        if (!truncates_.empty()) std::ofstream(truncates_, std::ios::trunc);
        return {};
    }
    EngineStatus write(Bytes data) override {
        if (!state_.opened) state_.wrote_before_open = true;
        state_.data.append(reinterpret_cast<const char*>(data.data()), data.size());
        return {};
    }
    EngineStatus commit() override {
        state_.committed = true;
        return {};
    }
    void discard() override { state_.discarded = true; }

private:
    State& state_;
    std::string truncates_;
    std::string name_ = "memory";
};

// One set of options as the command line gives them, and as the job's spec holds them.
struct KeyOptions {
    std::vector<std::string> args;
    JobSpec spec;
};

format::LineKeyField field(uint64_t start, std::optional<uint64_t> end, uint32_t flags) {
    format::LineKeyField f;
    f.start_field = start;
    f.end_field = end;
    f.flags = flags;
    return f;
}

std::vector<KeyOptions> key_options() {
    std::vector<KeyOptions> all;
    auto add = [&](std::vector<std::string> args, auto edit) {
        KeyOptions o{std::move(args), JobSpec{}};
        edit(o.spec);
        all.push_back(std::move(o));
    };
    add({}, [](JobSpec&) {});
    add({"-r"}, [](JobSpec& s) { s.reverse = true; });
    add({"-u"}, [](JobSpec& s) { s.unique = true; });
    add({"-k2,2n"}, [](JobSpec& s) {
        s.line_plan.fields = {field(1, 1, format::kNumeric)};
        s.line_plan.last_resort = true;
    });
    add({"-r", "-k2,2n"}, [](JobSpec& s) {
        s.reverse = true;
        s.line_plan.fields = {field(1, 1, format::kNumeric)};
        s.line_plan.last_resort = true;
        s.line_plan.last_resort_reverse = true;
    });
    add({"-s", "-k1,1f"}, [](JobSpec& s) {
        s.stable = true;
        s.line_plan.fields = {field(0, 0, format::kFoldCase)};
    });
    add({"-u", "-k2,2n"}, [](JobSpec& s) {
        s.unique = true;
        s.line_plan.fields = {field(1, 1, format::kNumeric)};
    });
    add({"-k1,1r", "-k3"}, [](JobSpec& s) {
        s.line_plan.fields = {field(0, 0, format::kReverse), field(2, std::nullopt, 0)};
        s.line_plan.last_resort = true;
    });
    add({"-z", "-k2,2n"}, [](JobSpec& s) {
        s.separator = 0;
        s.line_plan.zero_terminated = true;
        s.line_plan.fields = {field(1, 1, format::kNumeric)};
        s.line_plan.last_resort = true;
    });
    return all;
}

std::string random_line(std::mt19937_64& rng) {
    static const char* const kWords[] = {"a", "b", "B", "ab", "aB", "c", ""};
    static const char* const kNumbers[] = {"-3", "0", "1", "1.5", "2", "10", "x", "007"};
    std::uniform_int_distribution<size_t> word(0, std::size(kWords) - 1);
    std::uniform_int_distribution<size_t> number(0, std::size(kNumbers) - 1);
    std::string line = kWords[word(rng)];
    line += rng() % 4 == 0 ? "  " : " ";
    line += kNumbers[number(rng)];
    if (rng() % 2 == 0) line += std::string(" ") + kWords[word(rng)];
    return line;
}

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string quoted(const std::vector<std::string>& args) {
    std::string out;
    for (const std::string& a : args) out += " '" + a + "'";
    return out;
}

class MergeJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string path = (fs::temp_directory_path() / "merge-job-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(path.data()), nullptr);
        dir_ = path;
        fs::create_directory(dir_ / "tmp");
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path write_file(const std::string& name, const std::vector<std::string>& lines, char separator) {
        const fs::path path = dir_ / name;
        std::ofstream out(path, std::ios::binary);
        for (const std::string& line : lines) out << line << separator;
        return path;
    }

    // The traditional command's stdout, and its exit status.
    std::pair<std::string, int> oracle(const std::string& args) {
        const fs::path out = dir_ / "oracle.out";
        const fs::path err = dir_ / "oracle.err";
        const std::string command = "LC_ALL=C sort" + args + " >'" + out.string() + "' 2>'" + err.string() + "'";
        const int status = std::system(command.c_str());
        oracle_errors_ = contents(err);
        return {contents(out), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
    }

    std::vector<std::string> lines_of(const std::string& text, char separator) {
        std::vector<std::string> lines;
        std::string::size_type at = 0;
        while (at < text.size()) {
            const auto end = text.find(separator, at);
            lines.push_back(text.substr(at, end - at));
            at = end + 1;
        }
        return lines;
    }

    std::string tmp() const { return (dir_ / "tmp").string(); }
    bool tmp_empty() const { return fs::is_empty(dir_ / "tmp"); }

    EngineResult<JobReport> merge(JobSpec spec, MemoryTarget::State& state, std::shared_ptr<FileOps> ops,
                                  std::string truncates = "") {
        spec.mode = JobMode::Merge;
        JobEnvironment env;
        env.ops = std::move(ops);
        env.output = std::make_unique<MemoryTarget>(state, std::move(truncates));
        return run_merge_job(spec, env);
    }

    fs::path dir_;
    std::string oracle_errors_;
};

// Random inputs, sorted or not, under random key options, through the job and through the
// traditional command's -m: the same bytes. A small batch size or few free descriptors make
// batches of temporary files; short reads split lines across reads.
TEST_F(MergeJobTest, MergesAsTheTraditionalCommandDoes) {
    std::mt19937_64 rng(7);
    const std::vector<KeyOptions> options = key_options();
    for (int round = 0; round < 160; ++round) {
        const KeyOptions& o = options[rng() % options.size()];
        const char separator = static_cast<char>(o.spec.separator);
        const bool sorted = rng() % 3 != 0;
        const size_t count = 1 + rng() % 7;
        std::vector<std::string> names;
        for (size_t i = 0; i < count; ++i) {
            std::vector<std::string> lines(rng() % 12);
            for (std::string& line : lines) line = random_line(rng);
            const fs::path path = write_file("in" + std::to_string(i), lines, separator);
            if (sorted) {
                const auto [text, status] = oracle(quoted(o.args) + " '" + path.string() + "'");
                ASSERT_EQ(status, 0) << oracle_errors_;
                write_file(path.filename(), lines_of(text, separator), separator);
            }
            names.push_back(path.string());
        }
        JobSpec spec = o.spec;
        spec.inputs = names;
        spec.batch_size = 2 + rng() % 4;
        spec.tmp_dirs = {tmp()};
        auto ops = FaultFileOps::create();
        if (rng() % 3 == 0) ops->limit_free_descriptors(10 + rng() % 4);
        if (rng() % 3 == 0) ops->limit_reads(1 + rng() % 7);

        MemoryTarget::State state;
        auto report = merge(spec, state, ops);
        ASSERT_TRUE(report) << report.error().message();
        std::vector<std::string> args = o.args;
        args.push_back("-m");
        args.push_back("--batch-size=" + std::to_string(spec.batch_size));
        args.insert(args.end(), names.begin(), names.end());
        const auto [expected, status] = oracle(quoted(args));
        ASSERT_EQ(status, 0) << oracle_errors_;
        ASSERT_EQ(state.data, expected) << "round " << round << ":" << quoted(args);
        EXPECT_TRUE(state.opened && state.committed && !state.wrote_before_open && !state.discarded);
        uint64_t input_bytes = 0;
        for (const std::string& name : names) input_bytes += fs::file_size(name);
        EXPECT_EQ(report->bytes_read, input_bytes);
        EXPECT_TRUE(tmp_empty());
    }
}

// -c and -c -u on a sorted input, or one with two lines swapped: the disorder found, or none,
// as the traditional command's exit status and message say.
TEST_F(MergeJobTest, ChecksAsTheTraditionalCommandDoes) {
    std::mt19937_64 rng(11);
    const std::vector<KeyOptions> options = key_options();
    int disorders = 0;
    for (int round = 0; round < 160; ++round) {
        const KeyOptions& o = options[rng() % options.size()];
        const char separator = static_cast<char>(o.spec.separator);
        std::vector<std::string> lines(rng() % 15);
        for (std::string& line : lines) line = random_line(rng);
        fs::path path = write_file("in", lines, separator);
        // Sorted without -u, so that -c -u finds equal keys too.
        std::vector<std::string> sort_args;
        for (const std::string& a : o.args) {
            if (a != "-u") sort_args.push_back(a);
        }
        auto [text, status] = oracle(quoted(sort_args) + " '" + path.string() + "'");
        ASSERT_EQ(status, 0);
        lines = lines_of(text, separator);
        if (lines.size() >= 2 && rng() % 2 == 0) {
            const size_t at = rng() % (lines.size() - 1);
            std::swap(lines[at], lines[at + 1 + rng() % (lines.size() - at - 1)]);
        }
        write_file("in", lines, separator);

        JobSpec spec = o.spec;
        spec.mode = JobMode::Check;
        spec.inputs = {path.string()};
        JobEnvironment env;
        auto ops = FaultFileOps::create();
        if (rng() % 2 == 0) ops->limit_reads(1 + rng() % 7);
        env.ops = ops;
        auto report = run_check_job(spec, env);
        ASSERT_TRUE(report) << report.error().message();

        std::tie(text, status) = oracle(quoted(o.args) + " -c '" + path.string() + "'");
        ASSERT_EQ(report->disorder.has_value(), status == 1) << "round " << round << ": " << oracle_errors_;
        if (!report->disorder) continue;
        ++disorders;
        const Disorder& d = *report->disorder;
        EXPECT_EQ(d.input_name, path.string());
        const std::string prefix = "sort: " + path.string() + ":" + std::to_string(d.line_number) + ": disorder: ";
        EXPECT_EQ(oracle_errors_, prefix + d.line + separator) << "round " << round << quoted(o.args);
    }
    EXPECT_GT(disorders, 20);
}

// -o naming an input that the target truncates when it opens (the input larger than what is
// read before the first write): the input is read from a copy.
TEST_F(MergeJobTest, ReadsTheOutputFileFromACopy) {
    std::vector<std::string> many;
    for (int i = 0; i < 120000; ++i) many.push_back("line " + std::to_string(100000 + i));
    const fs::path a = write_file("a", many, '\n');
    const fs::path b = write_file("b", {"a", "m", "z"}, '\n');
    const std::string expected = oracle(quoted({"-m", a.string(), b.string(), a.string()})).first;
    JobSpec spec;
    spec.inputs = {a.string(), b.string(), a.string()};
    spec.output = a.string();
    spec.tmp_dirs = {tmp()};
    MemoryTarget::State state;
    auto report = merge(spec, state, FileOps::system(), a.string());
    ASSERT_TRUE(report) << report.error().message();
    EXPECT_TRUE(state.data == expected);
    EXPECT_TRUE(tmp_empty());
}

// A batch needs the temporary directory: one that cannot be made, or a temporary file that
// cannot be written, fails the job, names no output, leaves nothing behind.
TEST_F(MergeJobTest, FailsWhenATemporaryFileCannotBeMadeOrWritten) {
    JobSpec spec;
    for (const char* name : {"a", "b", "c"}) spec.inputs.push_back(write_file(name, {name}, '\n').string());
    spec.batch_size = 2;
    spec.tmp_dirs = {tmp()};

    auto no_dir = FaultFileOps::create();
    no_dir->fail_make_dir(1, EACCES);
    MemoryTarget::State state;
    auto report = merge(spec, state, no_dir);
    ASSERT_FALSE(report);
    EXPECT_EQ(report.error().message(), "cannot create temporary file in '" + tmp() + "': Permission denied");
    EXPECT_TRUE(state.discarded && !state.committed);

    auto full = FaultFileOps::create();
    full->fail_writes(1, ENOSPC, 100);
    state = MemoryTarget::State{};
    report = merge(spec, state, full);
    ASSERT_FALSE(report);
    EXPECT_EQ(report.error().message().rfind("write failed: " + tmp() + "/", 0), 0u) << report.error().message();
    EXPECT_NE(report.error().message().find(": No space left on device"), std::string::npos);
    EXPECT_TRUE(state.discarded && !state.committed && state.data.empty());
    EXPECT_TRUE(tmp_empty());

    // Without the need of a batch, the directory is never asked for.
    spec.batch_size = 3;
    spec.tmp_dirs = {"/nonexistent"};
    state = MemoryTarget::State{};
    report = merge(spec, state, FileOps::system());
    ASSERT_TRUE(report) << report.error().message();
    EXPECT_EQ(state.data, "a\nb\nc\n");
}

// A read that fails in the middle of the last input, after a batch has been merged into a
// temporary file: the job fails naming that input, and leaves nothing behind.
TEST_F(MergeJobTest, AFailedReadNamesItsInputAndLeavesNothing) {
    std::vector<std::string> many;
    for (int i = 0; i < 20000; ++i) many.push_back("line " + std::to_string(100000 + i));
    JobSpec spec;
    spec.inputs = {write_file("a", {"a"}, '\n').string(), write_file("b", {"b"}, '\n').string(),
                   write_file("c", many, '\n').string()};
    spec.batch_size = 2;
    spec.tmp_dirs = {tmp()};
    // The last read call is the end of c, the one before its last bytes, and the one before
    // that in its middle.
    auto counting = FaultFileOps::create();
    MemoryTarget::State state;
    ASSERT_TRUE(merge(spec, state, counting));
    ASSERT_GT(counting->read_calls(), 5u);

    auto failing = FaultFileOps::create();
    failing->fail_reads(counting->read_calls() - 2, EIO);
    state = MemoryTarget::State{};
    auto report = merge(spec, state, failing);
    ASSERT_FALSE(report);
    EXPECT_EQ(report.error().message(), "read failed: " + spec.inputs[2] + ": Input/output error");
    EXPECT_TRUE(state.discarded && !state.committed);
    EXPECT_TRUE(tmp_empty());
}

TEST_F(MergeJobTest, NamesTheInputThatCannotBeRead) {
    JobSpec spec;
    spec.inputs = {write_file("a", {"a"}, '\n').string(), (dir_ / "missing").string()};
    MemoryTarget::State state;
    auto report = merge(spec, state, FileOps::system());
    ASSERT_FALSE(report);
    EXPECT_EQ(report.error().message(), "cannot read: " + spec.inputs[1] + ": No such file or directory");
    EXPECT_FALSE(state.opened);
}

}  // namespace
}  // namespace tessarune::job

namespace tessarune::job {
namespace {

// CSV records merged by a typed key across batches of temporary files: the header once, rows
// of several lines whole, equal keys in input order, -u keeping the first; -c names the line a
// record starts on.
TEST_F(MergeJobTest, CsvRecordsMergeByTypedKeysWithOneHeader) {
    std::vector<std::vector<std::string>> inputs(5, {"id,v"});
    std::vector<std::pair<double, std::string>> all;  // key, row
    for (int i = 0; i < 200; ++i) {
        const double v = i / 7;  // runs of equal keys across inputs
        const std::string row = "\"r" + std::to_string(i) + "\n2nd\"," + std::to_string(v);
        inputs[static_cast<size_t>(i) % 5].push_back(row);
        all.emplace_back(-v, row);
    }
    JobSpec spec;
    spec.format = RecordFormat::Csv;
    spec.record_keys = {format::RecordKey{.path = {"v"}, .name = "v", .type = format::KeyType::Number, .descending = true}};
    spec.batch_size = 2;
    spec.tmp_dirs = {tmp()};
    for (size_t i = 0; i < inputs.size(); ++i) {
        // Each input descending, as the merge expects.
        std::vector<std::string> rows = inputs[i];
        std::reverse(rows.begin() + 1, rows.end());
        inputs[i] = rows;
        spec.inputs.push_back(write_file("in" + std::to_string(i) + ".csv", rows, '\n').string());
    }
    // Input order among equal keys: by input, then by row within the input.
    std::vector<std::pair<double, std::string>> expected;
    for (const auto& rows : inputs) {
        for (size_t r = 1; r < rows.size(); ++r) expected.emplace_back(-std::stod(rows[r].substr(rows[r].rfind(',') + 1)), rows[r]);
    }
    std::stable_sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string want = "id,v\n";
    for (const auto& [key, row] : expected) want += row + "\n";
    MemoryTarget::State state;
    ASSERT_TRUE(merge(spec, state, FileOps::system()).ok());
    EXPECT_EQ(state.data, want);
    EXPECT_TRUE(tmp_empty());

    spec.unique = true;
    MemoryTarget::State unique;
    ASSERT_TRUE(merge(spec, unique, FileOps::system()).ok());
    EXPECT_EQ(lines_of(unique.data, '\n').size(), 1 + 2 * (200 / 7 + 1)) << "header, and each first row's two lines";

    spec.unique = false;
    spec.mode = JobMode::Check;
    spec.inputs = {write_file("unsorted.csv", {"id,v", "\"a\nb\",2", "c,3"}, '\n').string()};
    JobEnvironment env;
    EngineResult<JobReport> checked = run_check_job(spec, env);
    ASSERT_TRUE(checked.ok());
    ASSERT_TRUE(checked->disorder.has_value());
    EXPECT_EQ(checked->disorder->line_number, 4u);
    EXPECT_EQ(checked->disorder->line, "c,3");
}

}  // namespace
}  // namespace tessarune::job
