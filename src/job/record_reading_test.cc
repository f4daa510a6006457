// The RecordFeeder into a sink of its own, against the sort job over the same file: records
// put in the order of the keys the sink was given, stably, must come out as the job writes
// them. This is what the cluster sort relies on when it cuts those keys into ranges.
#include "job/record_reading.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "job/key_definition.h"
#include "job/sort_job.h"
#include "key/key_compare.h"

namespace tessarune::job {
namespace {

namespace fs = std::filesystem;

class MemoryOutput final : public OutputTarget {
public:
    explicit MemoryOutput(std::string& data) : data_(data) {}
    const std::string& name() const override { return name_; }
    EngineStatus open() override { return {}; }
    EngineStatus write(Bytes data) override {
        data_.append(reinterpret_cast<const char*>(data.data()), data.size());
        return {};
    }
    EngineStatus commit() override { return {}; }
    void discard() override {}

private:
    std::string name_ = "memory";
    std::string& data_;
};

struct Collected final : RecordSink {
    EngineStatus add(Bytes key, Bytes payload) override {
        records.emplace_back(std::string(key.begin(), key.end()), std::string(payload.begin(), payload.end()));
        return {};
    }
    std::vector<std::pair<std::string, std::string>> records;
};

Bytes bytes_of(const std::string& s) { return Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

class RecordReadingTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("record_reading_test_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // The file's records through a sink, ordered by their keys, against the job's output.
    void expect_sink_order_is_the_jobs(JobSpec spec, const std::string& data) {
        const std::string path = (dir_ / "in").string();
        std::ofstream(path, std::ios::binary) << data;
        spec.inputs = {path};
        spec.tmp_dirs = {dir_.string()};
        spec.stable = true;

        std::string expected;
        JobEnvironment env;
        env.output = std::make_unique<MemoryOutput>(expected);
        EngineResult<JobReport> report = run_job(spec, env);
        ASSERT_TRUE(report.ok()) << report.error().message();

        Collected sink;
        RecordFeeder feeder(spec, sink, nullptr);
        auto file = FileOps::system()->open_input(path);
        ASSERT_TRUE(file.ok());
        const EngineStatus added = feeder.add_input(path, **file);
        ASSERT_TRUE(added.ok()) << added.error().message();
        std::stable_sort(sink.records.begin(), sink.records.end(), [](const auto& a, const auto& b) {
            return compare_keys(bytes_of(a.first), bytes_of(b.first)) < 0;
        });
        std::string got(reinterpret_cast<const char*>(feeder.csv_header().data()), feeder.csv_header().size());
        for (const auto& record : sink.records) got += record.second;
        EXPECT_EQ(got, expected);
        EXPECT_EQ(feeder.records_added(), sink.records.size());
    }

    fs::path dir_;
};

std::string random_lines(uint32_t seed, const char* last) {
    std::mt19937 rng(seed);
    std::string out;
    for (int n = 0; n < 3000; ++n) {
        out += std::to_string(rng() % 40) + " " + std::to_string(static_cast<int>(rng() % 2001) - 1000) + " " +
               std::to_string(n) + (rng() % 50 == 0 ? std::string("\0x", 2) : "") + "\n";
    }
    return out + last;
}

format::LineKeyPlan line_plan(std::vector<std::string> keys) {
    LineOrdering ordering;
    ordering.last_resort = false;
    for (const std::string& key : keys) ordering.keys.push_back(parse_key_definition(key).value());
    return make_line_key_plan(ordering).value();
}

TEST_F(RecordReadingTest, LinesKeyAsTheJobOrdersThem) {
    JobSpec whole;
    expect_sink_order_is_the_jobs(whole, random_lines(1, "no newline"));
    whole.reverse = true;
    expect_sink_order_is_the_jobs(whole, random_lines(2, ""));
    JobSpec fields;
    fields.line_plan = line_plan({"2,2n", "1,1r"});
    expect_sink_order_is_the_jobs(fields, random_lines(3, "7 -3 last"));
}

TEST_F(RecordReadingTest, JsonAndCsvKeyAsTheJobOrdersThem) {
    JobSpec json;
    json.format = RecordFormat::JsonLines;
    json.record_keys = {format::RecordKey{.path = {"u", "id"}, .name = "u.id", .descending = true},
                        format::RecordKey{.path = {"t"}, .name = "t", .nulls = format::NullOrder::Last}};
    std::string lines = "\xef\xbb\xbf";
    std::mt19937 rng(4);
    for (int n = 0; n < 2000; ++n) {
        lines += "{\"u\": {\"id\": " + std::to_string(rng() % 30) + "}, \"t\": " + (rng() % 2 ? "\"x\"" : "1.5") +
                 ", \"n\": " + std::to_string(n) + "}\n" + (n % 97 == 0 ? "  \n" : "");
    }
    expect_sink_order_is_the_jobs(json, lines);

    JobSpec csv;
    csv.format = RecordFormat::Csv;
    csv.record_keys = {format::RecordKey{.path = {"v"}, .name = "v", .type = format::KeyType::Number}};
    std::string table = "w,v\r\n";
    for (int n = 0; n < 2000; ++n) {
        table += "\"c" + std::to_string(n) + ",\nq\"," + std::to_string(static_cast<int>(rng() % 100) - 50) + "\r\n";
    }
    expect_sink_order_is_the_jobs(csv, table + "x,1");
}

TEST_F(RecordReadingTest, ExpectedCsvHeaderRefusesAnotherOne) {
    JobSpec csv;
    csv.format = RecordFormat::Csv;
    csv.record_keys = {format::RecordKey{.path = {"a"}, .name = "a"}};
    Collected sink;
    RecordFeeder feeder(csv, sink, nullptr);
    EXPECT_FALSE(feeder.expect_csv_header({"b"}, "first").ok()) << "no column a to key by";
    ASSERT_TRUE(feeder.expect_csv_header({"a", "b"}, "first").ok());
    const std::string path = (dir_ / "in.csv").string();
    std::ofstream(path, std::ios::binary) << "a,c\n1,2\n";
    auto file = FileOps::system()->open_input(path);
    ASSERT_TRUE(file.ok());
    const EngineStatus added = feeder.add_input(path, **file);
    ASSERT_FALSE(added.ok());
    EXPECT_EQ(added.error().kind(), ErrorKind::BadInput);
    EXPECT_NE(added.error().message().find(path + ":1: "), std::string::npos) << added.error().message();
    EXPECT_TRUE(sink.records.empty());
}

}  // namespace
}  // namespace tessarune::job
