#include "job/sort_job.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "job/input_files.h"
#include "run/testing/fault_file_ops.h"

namespace tessarune::job {
namespace {

namespace fs = std::filesystem;

// What a MemoryOutput was given and told, kept by the test after the job dropped the target.
struct Written {
    std::string data;
    bool opened = false;
    bool committed = false;
    bool discarded = false;
};

class MemoryOutput final : public OutputTarget {
public:
    explicit MemoryOutput(Written& written) : written_(written) {}
    const std::string& name() const override { return name_; }
    EngineStatus open() override {
        written_.opened = true;
        return {};
    }
    EngineStatus write(Bytes data) override {
        EXPECT_TRUE(written_.opened);
        written_.data.append(reinterpret_cast<const char*>(data.data()), data.size());
        return {};
    }
    EngineStatus commit() override {
        written_.committed = true;
        return {};
    }
    void discard() override { written_.discarded = true; }

private:
    std::string name_ = "memory";
    Written& written_;
};

class SortJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("sort_job_test_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "tmp");
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write_file(const std::string& name, const std::string& data) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << data;
        return path.string();
    }

    JobSpec spec_for(std::vector<std::string> inputs) {
        JobSpec spec;
        spec.inputs = std::move(inputs);
        spec.tmp_dirs = {(dir_ / "tmp").string()};
        return spec;
    }

    EngineResult<JobReport> run(const JobSpec& spec, Written& written,
                                std::shared_ptr<FileOps> ops = FileOps::system()) {
        JobEnvironment env;
        env.ops = std::move(ops);
        env.output = std::make_unique<MemoryOutput>(written);
        return run_job(spec, env);
    }

    std::string sorted(const JobSpec& spec, JobReport* report = nullptr) {
        Written written;
        EngineResult<JobReport> result = run(spec, written);
        EXPECT_TRUE(result.ok()) << result.error().message();
        EXPECT_TRUE(written.committed);
        if (report != nullptr && result.ok()) *report = result.value();
        return written.data;
    }

    bool tmp_is_empty() const { return fs::is_empty(dir_ / "tmp"); }

    fs::path dir_;
};

// The machine's sort, in the C locale.
std::string sort_command(const std::string& args) {
    std::string out;
    FILE* pipe = ::popen(("LC_ALL=C sort " + args).c_str(), "r");
    if (pipe == nullptr) return "popen failed";
    char buf[65536];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    EXPECT_EQ(::pclose(pipe), 0) << args;
    return out;
}

// The -k option that says what `field` says, and the flags it shows.
std::string key_option(const format::LineKeyField& field) {
    static constexpr std::pair<uint32_t, char> kLetters[] = {
        {format::kNumeric, 'n'},      {format::kGeneralNumeric, 'g'}, {format::kHumanNumeric, 'h'},
        {format::kMonth, 'M'},        {format::kVersion, 'V'},        {format::kFoldCase, 'f'},
        {format::kDictionary, 'd'},   {format::kPrintable, 'i'},      {format::kReverse, 'r'}};
    std::string k = "-k" + std::to_string(field.start_field + 1) + "." + std::to_string(field.start_char + 1);
    if (field.flags & format::kSkipStartBlanks) k += 'b';
    for (auto [flag, letter] : kLetters) {
        if (field.flags & flag) k += letter;
    }
    if (field.end_field) {
        k += "," + std::to_string(*field.end_field + 1);
        if (field.end_char != 0) k += "." + std::to_string(field.end_char);
        if (field.flags & format::kSkipEndBlanks) k += 'b';
    }
    return k;
}

// Random key fields and the options that say them; global flags (-r, -s, -u) folded as the
// command's front door folds them.
struct RandomKeys {
    format::LineKeyPlan plan;
    std::string options;
};

RandomKeys random_keys(std::mt19937_64& rng, bool reverse, bool last_resort, char tab) {
    static constexpr uint32_t kOrders[] = {0, format::kNumeric, format::kGeneralNumeric, format::kHumanNumeric,
                                           format::kMonth, format::kVersion};
    static constexpr uint32_t kTextFlags[] = {format::kFoldCase, format::kDictionary, format::kPrintable};
    RandomKeys keys;
    keys.plan.tab = tab == 0 ? -1 : tab;
    keys.plan.last_resort = last_resort;
    keys.plan.last_resort_reverse = reverse;
    if (tab != 0) keys.options += std::string(" -t'") + tab + "'";
    const int fields = static_cast<int>(rng() % 3) + 1;
    for (int i = 0; i < fields; ++i) {
        format::LineKeyField field;
        field.start_field = rng() % 4;
        field.start_char = rng() % 3 == 0 ? rng() % 3 : 0;
        if (rng() % 3 != 0) {
            field.end_field = field.start_field + rng() % 2;
            field.end_char = rng() % 4 == 0 ? rng() % 4 : 0;
        }
        field.flags = kOrders[rng() % std::size(kOrders)];
        if (field.flags == 0 && rng() % 2 == 0) field.flags |= kTextFlags[rng() % std::size(kTextFlags)];
        if (rng() % 3 == 0) field.flags |= format::kSkipStartBlanks;
        if (field.end_field && rng() % 3 == 0) field.flags |= format::kSkipEndBlanks;
        if (rng() % 4 == 0) field.flags |= format::kReverse;
        keys.options += " " + key_option(field);
        if (field.flags == 0 && reverse) field.flags = format::kReverse;  // inherits the global -r
        keys.plan.fields.push_back(field);
    }
    return keys;
}

std::string random_lines(std::mt19937_64& rng, size_t count, char tab, char end) {
    static const char* const kWords[] = {"", " ", "a", "B", "abc", "Abc", "a-b", "x y", "jan", "FEB", "Mar",
                                         "dec", "1", "-2", "3.5", "10", "-0", "1e2", "0x1F", "2K", "1M", "-3G",
                                         "1.2.3", "v1.10", "v1.9", "\t", "\x80z", "\xff", "z\x01"};
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        const int words = static_cast<int>(rng() % 6);
        for (int w = 0; w < words; ++w) {
            if (w != 0) text += tab == 0 ? (rng() % 4 == 0 ? "  " : " ") : std::string(1, tab);
            text += kWords[rng() % std::size(kWords)];
        }
        text += end;
    }
    return text;
}

// Whole lines and random key fields, several inputs, some sorts spilling into merge passes,
// against the machine's sort with the same options.
TEST_F(SortJobTest, MatchesTheSortCommand) {
    std::mt19937_64 rng(20240611);
    for (int trial = 0; trial < 40; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        const bool zero = trial % 7 == 3;
        const char end = zero ? '\0' : '\n';
        const char tab = rng() % 3 == 0 ? ':' : 0;
        const bool spill = trial % 3 == 0;
        const size_t lines = spill ? 2500 : 1 + rng() % 300;
        JobSpec spec = spec_for({});
        std::string files;
        const int inputs = static_cast<int>(rng() % 3) + 1;
        for (int i = 0; i < inputs; ++i) {
            std::string text = random_lines(rng, lines, tab, end);
            if (i == inputs - 1 && !text.empty() && rng() % 2 == 0) text.pop_back();  // no end on the last line
            spec.inputs.push_back(write_file("in" + std::to_string(i), text));
            files += " " + spec.inputs.back();
        }
        spec.reverse = rng() % 3 == 0;
        spec.unique = rng() % 4 == 0;
        spec.stable = !spec.unique && rng() % 3 == 0;
        spec.separator = static_cast<uint8_t>(end);
        if (spill) {
            spec.max_bytes = 64 << 10;
            spec.batch_size = 2 + rng() % 3;
            spec.threads = 1 + rng() % 2;
        }
        std::string options = std::string(spec.reverse ? " -r" : "") + (spec.unique ? " -u" : "") +
                              (spec.stable ? " -s" : "") + (zero ? " -z" : "");
        if (trial % 4 != 0) {
            RandomKeys keys = random_keys(rng, spec.reverse, !spec.stable && !spec.unique, tab);
            keys.plan.zero_terminated = zero;
            spec.line_plan = std::move(keys.plan);
            options += keys.options;
        }
        SCOPED_TRACE("sort" + options);
        const std::string expected = sort_command(options + files);
        JobReport report;
        EXPECT_TRUE(sorted(spec, &report) == expected);
        EXPECT_EQ(report.stats.runs_spilled != 0, spill);
        EXPECT_TRUE(tmp_is_empty());
    }
}

// A CSV row as Python's csv module writes it with the default dialect.
std::string csv_row(const std::vector<std::string>& cells) {
    std::string row;
    for (size_t i = 0; i < cells.size(); ++i) {
        if (i != 0) row += ',';
        const std::string& c = cells[i];
        if (c.find_first_of(",\"\r\n") == std::string::npos) {
            row += c;
            continue;
        }
        row += '"';
        for (char ch : c) row += ch == '"' ? std::string("\"\"") : std::string(1, ch);
        row += '"';
    }
    return row + "\r\n";
}

TEST_F(SortJobTest, CsvSortsRowsByNamedColumnsUnderTheFirstHeader) {
    std::mt19937_64 rng(7);
    static const char* const kCells[] = {"", "a", "b,c", "say \"hi\"", "two\nlines", "Z", "é", "10", "9", "-1.5"};
    std::vector<std::vector<std::string>> rows;
    std::string inputs[2] = {"\xEF\xBB\xBF" "name,score,note\r\n", "name,score,note\r\n"};
    for (int i = 0; i < 300; ++i) {
        rows.push_back({kCells[rng() % std::size(kCells)], std::to_string(static_cast<int>(rng() % 41) - 20),
                        std::to_string(i)});
        inputs[i % 2] += csv_row(rows.back());
    }
    inputs[1].resize(inputs[1].size() - 2);  // the last row without its line break
    JobSpec spec = spec_for({write_file("a.csv", inputs[0]), write_file("b.csv", inputs[1])});
    spec.format = RecordFormat::Csv;

    // In input order: the first input's rows, then the second's; the sort is stable.
    std::vector<std::vector<std::string>> ordered;
    for (int part = 0; part < 2; ++part) {
        for (size_t i = part; i < rows.size(); i += 2) ordered.push_back(rows[i]);
    }
    auto expect_order = [&](auto less) {
        std::vector<std::vector<std::string>> want = ordered;
        std::stable_sort(want.begin(), want.end(), less);
        std::string text = "name,score,note\r\n";
        for (const auto& row : want) {
            text += csv_row(row);
            if (row[2] == std::to_string(rows.size() - 1)) text.replace(text.size() - 2, 2, "\n");  // given one
        }
        EXPECT_EQ(sorted(spec), text);
    };
    using format::RecordKey;
    spec.record_keys = {RecordKey{.path = {"name"}, .name = "name"}};
    expect_order([](const auto& x, const auto& y) { return x[0] < y[0]; });
    // Each key its own type and direction: the score as a number, largest first, then the name.
    auto number = [](const std::string& cell) { return std::strtod(cell.c_str(), nullptr); };
    spec.record_keys = {RecordKey{.path = {"score"}, .name = "score", .type = format::KeyType::Number, .descending = true},
                        RecordKey{.path = {"name"}, .name = "name"}};
    expect_order([&](const auto& x, const auto& y) {
        return number(y[1]) < number(x[1]) || (number(y[1]) == number(x[1]) && x[0] < y[0]);
    });

    Written written;
    spec.record_keys = {RecordKey{.path = {"nope"}, .name = "nope"}};
    EngineResult<JobReport> missing = run(spec, written);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().message(), spec.inputs[0] + ":1: no column 'nope' in the header");
    EXPECT_EQ(missing.error().kind(), ErrorKind::BadInput);
    EXPECT_FALSE(written.opened);
    EXPECT_TRUE(written.discarded);

    spec.record_keys = {};
    spec.inputs.push_back(write_file("c.csv", "name,score\r\nx,1\r\n"));
    EngineResult<JobReport> differs = run(spec, written);
    ASSERT_FALSE(differs.ok());
    EXPECT_EQ(differs.error().message(), spec.inputs[2] + ":1: the header differs from the first input's");
}

TEST_F(SortJobTest, JsonLinesSortByPathSkippingBlankLines) {
    std::mt19937_64 rng(11);
    std::vector<std::pair<int64_t, std::string>> records;  // key, line
    std::string input = "\xEF\xBB\xBF";
    for (int i = 0; i < 400; ++i) {
        const int64_t k = static_cast<int64_t>(rng() % 50) - 25;
        std::string line = "{\"a\": {\"b\": " + std::to_string(k) + "}, \"i\": " + std::to_string(i) + "}";
        records.emplace_back(k, line);
        input += line + "\n";
        if (i % 50 == 0) input += "  \n";
    }
    input.pop_back();
    JobSpec spec = spec_for({write_file("in.jsonl", input)});
    spec.format = RecordFormat::JsonLines;
    spec.record_keys = {format::RecordKey{.path = {"a", "b"}, .name = "a.b", .descending = true}};
    std::stable_sort(records.begin(), records.end(), [](const auto& x, const auto& y) { return y.first < x.first; });
    std::string expected;
    for (const auto& [k, line] : records) expected += line + "\n";
    EXPECT_EQ(sorted(spec), expected);

    // Line numbers count every line, blank ones too.
    spec.inputs = {write_file("bad.jsonl", "{\"a\": 1}\n\n{\"a\": \n")};
    Written written;
    EngineResult<JobReport> bad = run(spec, written);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().kind(), ErrorKind::BadInput);
    EXPECT_EQ(bad.error().message().rfind(spec.inputs[0] + ":3: not JSON", 0), 0u) << bad.error().message();

    // A path no record has is a mistake, told before the output is touched; one that some
    // records lack reads as null in those.
    spec.inputs = {write_file("some.jsonl", "{\"b\": 1}\n{\"a\": {\"b\": null}}\n{\"a\": {\"b\": 2}}\n")};
    EXPECT_EQ(sorted(spec), "{\"a\": {\"b\": 2}}\n{\"b\": 1}\n{\"a\": {\"b\": null}}\n");
    spec.record_keys.push_back(format::RecordKey{.path = {"zz"}, .name = "zz"});
    Written mistyped;
    EngineResult<JobReport> unknown = run(spec, mistyped);
    ASSERT_FALSE(unknown.ok());
    EXPECT_EQ(unknown.error().message(), "no record has the key zz");
    EXPECT_FALSE(mistyped.opened);
}

TEST_F(SortJobTest, FailedSpillLeavesNothingBehind) {
    std::string input;
    for (int i = 0; i < 20000; ++i) input += std::to_string((i * 7919) % 20000) + "\n";
    JobSpec spec = spec_for({write_file("in", input)});
    spec.max_bytes = 64 << 10;
    for (uint64_t nth : {1, 3}) {
        auto ops = run_testing::FaultFileOps::create();
        ops->fail_writes(nth, ENOSPC);
        Written written;
        EngineResult<JobReport> report = run(spec, written, ops);
        ASSERT_FALSE(report.ok());
        EXPECT_EQ(report.error().kind(), ErrorKind::StorageFull) << report.error().message();
        EXPECT_FALSE(written.opened);
        EXPECT_TRUE(written.discarded);
        EXPECT_TRUE(tmp_is_empty());
    }
}

// A temporary directory that cannot be used is an error only once a spill needs it.
TEST_F(SortJobTest, MissingTemporaryDirectoryFailsOnlyTheSpill) {
    std::string small = "b\na\n";
    std::string large;
    for (int i = 0; i < 20000; ++i) large += std::to_string(i % 977) + "\n";
    const std::string missing = (dir_ / "missing").string();
    JobSpec spec = spec_for({write_file("small", small)});
    spec.tmp_dirs = {missing};
    spec.max_bytes = 64 << 10;
    EXPECT_EQ(sorted(spec), "a\nb\n");

    spec.inputs = {write_file("large", large)};
    Written written;
    EngineResult<JobReport> report = run(spec, written);
    ASSERT_FALSE(report.ok());
    EXPECT_EQ(report.error().message(), "cannot create temporary file in '" + missing + "': No such file or directory");
    EXPECT_FALSE(written.opened);
}

// Inputs are all checked before any output is made, with the traditional command's words.
TEST_F(SortJobTest, BadInputsStopTheJobBeforeOutput) {
    const std::string good = write_file("good", "x\n");
    const std::string missing = (dir_ / "missing").string();
    const std::string directory = (dir_ / "tmp").string();
    struct Case {
        std::vector<std::string> inputs;
        std::string message;
    } cases[] = {
        {{good, directory, missing}, "cannot read: " + missing + ": No such file or directory"},
        {{good, directory}, "read failed: " + directory + ": Is a directory"},
    };
    for (const Case& c : cases) {
        Written written;
        EngineResult<JobReport> report = run(spec_for(c.inputs), written);
        ASSERT_FALSE(report.ok());
        EXPECT_EQ(report.error().message(), c.message);
        EXPECT_FALSE(written.opened);
    }
}

TEST_F(SortJobTest, FilesFromListAndRandomSource) {
    FileOps& ops = *FileOps::system();
    EngineResult<std::vector<std::string>> names = read_files0_from(ops, write_file("list", std::string("a\0b c", 5)));
    ASSERT_TRUE(names.ok());
    EXPECT_EQ(*names, (std::vector<std::string>{"a", "b c"}));
    const std::string empty_name = write_file("empty_name", std::string("a\0\0", 3));
    const std::string empty = write_file("empty", "");
    EXPECT_EQ(read_files0_from(ops, empty_name).error().message(), empty_name + ":2: invalid zero-length file name");
    EXPECT_EQ(read_files0_from(ops, empty).error().message(), "no input from '" + empty + "'");

    const std::string seed_a = write_file("seed_a", std::string(100000, 'a'));
    const std::string seed_b = write_file("seed_b", std::string(65536, 'a') + "b");
    const std::string seed_c = write_file("seed_c", "c");
    EXPECT_EQ(random_seed_from_file(ops, seed_a).value(), random_seed_from_file(ops, seed_b).value());
    EXPECT_NE(random_seed_from_file(ops, seed_a).value(), random_seed_from_file(ops, seed_c).value());
}

}  // namespace
}  // namespace tessarune::job
