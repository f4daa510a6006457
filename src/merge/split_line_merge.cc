#include "merge/split_line_merge.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace tessarune::merge {
namespace {

// Below this many bytes the merge goes in one piece: the split's reads would not pay.
constexpr uint64_t kLeastSplitBytes = uint64_t{8} << 20;
// Bisection stops when this little is left; the lines there are read one by one.
constexpr uint64_t kScanBytes = uint64_t{64} << 10;
constexpr size_t kChunk = size_t{16} << 10;
constexpr uint64_t kLinesPerSlice = uint64_t{1} << 16;

EngineResult<size_t> pread_some(int fd, uint8_t* to, size_t size, uint64_t at) {
    while (true) {
        const ssize_t got = ::pread(fd, to, size, static_cast<off_t>(at));
        if (got >= 0) return static_cast<size_t>(got);
        if (errno != EINTR) return Unexpected{EngineError::from_errno(errno)};
    }
}

// One input as the split reads it: lines at byte offsets, and their keys.
class Probe {
public:
    Probe(const std::optional<format::LineKeyPlan>& plan, uint8_t separator, int fd, uint64_t size)
        : plan_(plan), separator_(separator), fd_(fd), size_(size) {}

    // The first line start at or after `at` (size_ if none).
    EngineResult<uint64_t> line_start(uint64_t at) {
        if (at == 0) return uint64_t{0};
        uint8_t chunk[kChunk];
        for (uint64_t pos = at - 1; pos < size_;) {
            auto got = pread_some(fd_, chunk, static_cast<size_t>(std::min<uint64_t>(kChunk, size_ - pos)), pos);
            if (!got) return Unexpected{std::move(got.error())};
            if (*got == 0) break;
            if (const void* sep = std::memchr(chunk, separator_, *got)) {
                return pos + static_cast<uint64_t>(static_cast<const uint8_t*>(sep) - chunk) + 1;
            }
            pos += *got;
        }
        return size_;
    }

    // The start of the line that ends right before `at`, a line start above 0.
    EngineResult<uint64_t> previous_start(uint64_t at) {
        uint8_t chunk[kChunk];
        uint64_t end = at - 1;  // the separator of that line is at `end`
        while (end > 0) {
            const uint64_t from = end > kChunk ? end - kChunk : 0;
            auto got = pread_some(fd_, chunk, static_cast<size_t>(end - from), from);
            if (!got) return Unexpected{std::move(got.error())};
            for (size_t i = *got; i > 0; --i) {
                if (chunk[i - 1] == separator_) return from + i;
            }
            end = from;
        }
        return uint64_t{0};
    }

    // Reads the line at `at` (a line start below size_) and makes its key; returns where the
    // next line starts.
    EngineResult<uint64_t> read_line(uint64_t at, ByteBuffer& key) {
        line_.clear();
        uint64_t pos = at;
        uint64_t next = size_;
        while (pos < size_) {
            line_.reserve(line_.size() + kChunk);
            uint8_t* to = line_.data() + line_.size();
            auto got = pread_some(fd_, to, static_cast<size_t>(std::min<uint64_t>(kChunk, size_ - pos)), pos);
            if (!got) return Unexpected{std::move(got.error())};
            if (*got == 0) break;
            if (const void* sep = std::memchr(to, separator_, *got)) {
                const auto n = static_cast<size_t>(static_cast<const uint8_t*>(sep) - to);
                line_.set_size(line_.size() + n);
                next = pos + n + 1;
                break;
            }
            line_.set_size(line_.size() + *got);
            pos += *got;
        }
        key.clear();
        if (plan_) {
            format::append_line_key(*plan_, line_.span(), key, scratch_);
        } else {
            key.append(line_.span());
        }
        return next;
    }

    // Where the lines reach `pivot`: the first line start whose key is not below it.
    EngineResult<uint64_t> cut_at(Bytes pivot) {
        uint64_t lo = 0;      // every line that starts before lo is below the pivot
        uint64_t hi = size_;  // no line that starts at hi or after is
        while (hi - lo > kScanBytes) {
            auto start = line_start(lo + (hi - lo) / 2);
            if (!start) return start;
            if (*start >= hi) break;
            auto next = read_line(*start, key_);
            if (!next) return next;
            if (compare(key_.span(), pivot) < 0) {
                lo = std::min(*next, hi);
            } else {
                hi = *start;
            }
        }
        while (lo < hi) {
            auto next = read_line(lo, key_);
            if (!next) return next;
            if (compare(key_.span(), pivot) >= 0) return lo;
            lo = *next;
        }
        return hi;
    }

    static int compare(Bytes a, Bytes b) {
        const size_t n = std::min(a.size(), b.size());
        const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
        if (c != 0) return c;
        return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
    }

    // Whether the last byte is the separator (or the input is empty).
    EngineResult<bool> ends_with_separator() {
        if (size_ == 0) return true;
        uint8_t last = 0;
        auto got = pread_some(fd_, &last, 1, size_ - 1);
        if (!got) return Unexpected{std::move(got.error())};
        return *got == 1 && last == separator_;
    }

private:
    const std::optional<format::LineKeyPlan>& plan_;
    uint8_t separator_;
    int fd_;
    uint64_t size_;
    ByteBuffer line_;
    ByteBuffer key_;
    ByteBuffer scratch_;
};

}  // namespace

EngineResult<std::optional<LineMergeSplit>> split_line_merge(const std::optional<format::LineKeyPlan>& plan,
                                                         uint8_t separator, const std::vector<int>& fds,
                                                         const std::vector<uint64_t>& sizes) {
    uint64_t total = 0;
    size_t largest = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        total += sizes[i];
        if (sizes[i] > sizes[largest]) largest = i;
    }
    if (fds.empty() || total < kLeastSplitBytes) return std::optional<LineMergeSplit>();

    ByteBuffer pivot;
    {
        Probe probe(plan, separator, fds[largest], sizes[largest]);
        auto start = probe.line_start(sizes[largest] / 2);
        if (!start) return Unexpected{std::move(start.error())};
        if (*start >= sizes[largest]) return std::optional<LineMergeSplit>();
        auto next = probe.read_line(*start, pivot);
        if (!next) return Unexpected{std::move(next.error())};
    }
    LineMergeSplit split;
    split.sizes = sizes;
    ByteBuffer before;
    ByteBuffer at;
    for (size_t i = 0; i < fds.size(); ++i) {
        Probe probe(plan, separator, fds[i], sizes[i]);
        auto cut = probe.cut_at(pivot.span());
        if (!cut) return Unexpected{std::move(cut.error())};
        auto ends = probe.ends_with_separator();
        if (!ends) return Unexpected{std::move(ends.error())};
        // The output gives a last line without its separator one.
        const uint64_t added = *ends ? 0 : 1;
        split.cuts.push_back(*cut);
        split.second_output_at += *cut + (*cut == sizes[i] ? added : 0);
        split.output_size += sizes[i] + added;
        if (*cut == 0 || *cut == sizes[i]) continue;
        // The halves check their own lines: the two at the cut are checked here.
        auto previous = probe.previous_start(*cut);
        if (!previous) return Unexpected{std::move(previous.error())};
        auto r1 = probe.read_line(*previous, before);
        if (!r1) return Unexpected{std::move(r1.error())};
        auto r2 = probe.read_line(*cut, at);
        if (!r2) return Unexpected{std::move(r2.error())};
        if (Probe::compare(before.span(), at.span()) > 0) return std::optional<LineMergeSplit>();
    }
    if (split.second_output_at == 0 || split.second_output_at == split.output_size) {
        return std::optional<LineMergeSplit>();  // one half would hold everything
    }
    return std::optional<LineMergeSplit>(std::move(split));
}

TwoWayLineMerge::TwoWayLineMerge(const std::optional<format::LineKeyPlan>& plan, LineMerge::Options options,
                                 const std::vector<int>& fds, int output_fd, uint64_t output_at,
                                 LineMergeSplit split)
    : split_(std::move(split)), fds_(fds), separator_(options.separator) {
    std::vector<format::LineReader::Range> first_ranges;
    std::vector<format::LineReader::Range> second_ranges;
    for (size_t i = 0; i < fds.size(); ++i) {
        first_ranges.push_back({0, split_.cuts[i]});
        second_ranges.push_back({split_.cuts[i], split_.sizes[i]});
    }
    options.output_offset = output_at;
    first_ = std::make_unique<LineMerge>(plan, options, fds, output_fd, first_ranges);
    options.output_offset = output_at + split_.second_output_at;
    second_ = std::make_unique<LineMerge>(plan, options, fds, output_fd, second_ranges);
    thread_ = std::thread([this] {
        EngineResult<LineMerge::Step> step = LineMerge::Step::More;
        while (!stop_.load(std::memory_order_relaxed)) {
            step = second_->run(kLinesPerSlice);
            if (!step || *step != LineMerge::Step::More) break;
        }
        second_result_.emplace(std::move(step));
        second_finished_.store(true, std::memory_order_release);
    });
}

TwoWayLineMerge::~TwoWayLineMerge() {
    stop_.store(true, std::memory_order_relaxed);
    if (thread_.joinable()) thread_.join();
}

EngineResult<LineMerge::Step> TwoWayLineMerge::finish(EngineResult<LineMerge::Step> step, const LineMerge& half,
                                                  bool second) {
    if (!step) {
        failed_input_ = half.failed_input();
        return step;
    }
    if (*step == LineMerge::Step::OutOfOrder) {
        disorder_ = half.disorder();
        if (second) {
            // Its number in the whole input: the lines of the first half come before it.
            const size_t i = disorder_.input;
            uint8_t chunk[kChunk];
            for (uint64_t pos = 0; pos < split_.cuts[i];) {
                auto got = pread_some(fds_[i], chunk,
                                      static_cast<size_t>(std::min<uint64_t>(kChunk, split_.cuts[i] - pos)), pos);
                if (!got) return Unexpected{std::move(got.error())};
                if (*got == 0) break;
                disorder_.line_number += static_cast<uint64_t>(std::count(chunk, chunk + *got, separator_));
                pos += *got;
            }
        }
    }
    return step;
}

EngineResult<LineMerge::Step> TwoWayLineMerge::run(uint64_t max_lines) {
    if (!first_done_) {
        auto step = first_->run(max_lines);
        if (!step || *step == LineMerge::Step::OutOfOrder) {
            stop_.store(true, std::memory_order_relaxed);
            return finish(std::move(step), *first_, false);
        }
        if (*step == LineMerge::Step::More) return step;
        first_done_ = true;
    }
    if (!second_finished_.load(std::memory_order_acquire)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return LineMerge::Step::More;
    }
    if (thread_.joinable()) thread_.join();
    return finish(std::move(*second_result_), *second_, true);
}

}  // namespace tessarune::merge
