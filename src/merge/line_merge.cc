#include "merge/line_merge.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <utility>

#include "key/key_compare.h"

namespace tessarune::merge {
namespace {

// memcmp order, a proper prefix first. Inline and a word at a time: the keys that tie on their
// prefix mostly differ within a few words, where a call to memcmp costs more than the work.
int compare_bytes(Bytes a, Bytes b) {
    const size_t n = std::min(a.size(), b.size());
    size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; i + 8 <= n; i += 8) {
            uint64_t x, y;
            std::memcpy(&x, a.data() + i, 8);
            std::memcpy(&y, b.data() + i, 8);
            if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y) ? -1 : 1;
        }
    }
    for (; i < n; ++i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// A descriptor at its position, or from an offset with pwrite (so that two merges can write
// their parts of one file).
class DescriptorSink final : public LineSink {
public:
    DescriptorSink(int fd, std::optional<uint64_t> offset) : fd_(fd), offset_(offset) {}

    EngineStatus write(Bytes data) override {
        size_t done = 0;
        while (done < data.size()) {
            const void* from = data.data() + done;
            const size_t size = data.size() - done;
            const ssize_t put = offset_ ? ::pwrite(fd_, from, size, static_cast<off_t>(*offset_))
                                        : ::write(fd_, from, size);
            if (put < 0) {
                if (errno == EINTR) continue;
                return Unexpected{EngineError::from_errno(errno)};
            }
            if (offset_) *offset_ += static_cast<uint64_t>(put);
            done += static_cast<size_t>(put);
        }
        return {};
    }

private:
    int fd_;
    std::optional<uint64_t> offset_;
};

}  // namespace

LineMerge::LineMerge(std::optional<format::LineKeyPlan> plan, Options options, const std::vector<int>& input_fds,
                     LineSink* output, const std::vector<format::LineReader::Range>& ranges)
    : plan_(std::move(plan)), options_(options), output_(output) {
    inputs_.reserve(input_fds.size());
    for (size_t i = 0; i < input_fds.size(); ++i) {
        std::optional<format::LineReader::Range> range;
        if (!ranges.empty()) range = ranges[i];
        inputs_.emplace_back(format::LineReader(input_fds[i], options.separator, range));
    }
    if (output_ != nullptr) out_.set_capacity(std::max<size_t>(options_.output_buffer, 1));
}

LineMerge::LineMerge(std::optional<format::LineKeyPlan> plan, Options options, const std::vector<int>& input_fds,
                     int output_fd, const std::vector<format::LineReader::Range>& ranges)
    : LineMerge(std::move(plan), options, input_fds, nullptr, ranges) {
    if (output_fd >= 0) {
        own_output_ = std::make_unique<DescriptorSink>(output_fd, options.output_offset);
        output_ = own_output_.get();
        out_.set_capacity(std::max<size_t>(options_.output_buffer, 1));
    }
}

EngineResult<LineMerge::Advance> LineMerge::advance(size_t i) {
    Input& in = inputs_[i];
    if (!in.reader.next_line(&in.line)) {
        if (in.reader.error()) {
            failed_input_ = i;
            return Unexpected{*in.reader.error()};
        }
        in.done = true;
        in.prefix = in.prefix2 = ~uint64_t{0};
        return Advance::End;
    }
    in.bytes_read += in.line.size() + 1;
    Bytes earlier;
    if (plan_) {
        std::swap(in.key_buffer, in.earlier);
        in.key_buffer.clear();
        format::append_line_key(*plan_, in.line, in.key_buffer, scratch_);
        in.key = in.key_buffer.span();
        earlier = in.earlier.span();
    } else {
        in.key = in.line;
        earlier = in.reader.previous();
    }
    in.prefix = key_window(in.key, 0);
    in.prefix2 = key_window(in.key, 8);
    if (options_.check_order && in.reader.line_number() > 1) {
        const int c = compare_bytes(earlier, in.key);
        if (c > 0 || (c == 0 && options_.strict_order)) {
            disorder_.input = i;
            disorder_.line_number = in.reader.line_number();
            disorder_.line.assign(in.line.begin(), in.line.end());
            return Advance::OutOfOrder;
        }
    }
    return Advance::Line;
}

bool LineMerge::before_past_prefixes(uint32_t a, uint32_t b) const {
    const Input& x = inputs_[a];
    const Input& y = inputs_[b];
    if (x.done || y.done) return !x.done || (y.done && a < b);
    // The prefixes hold the first 16 bytes (zeros past a shorter key): compare the rest.
    int c = 0;
    if (x.key.size() > 16 && y.key.size() > 16) {
        c = compare_bytes(x.key.subspan(16), y.key.subspan(16));
    } else {
        c = compare_bytes(x.key, y.key);
    }
    return c < 0 || (c == 0 && a < b);
}

uint32_t LineMerge::build(size_t node) {
    const size_t k = inputs_.size();
    if (node >= k) return static_cast<uint32_t>(node - k);
    const uint32_t left = build(2 * node);
    const uint32_t right = build(2 * node + 1);
    if (before(left, right)) {
        losers_[node] = right;
        return left;
    }
    losers_[node] = left;
    return right;
}

void LineMerge::replay(uint32_t input) {
    uint32_t winner = input;
    for (size_t node = (input + inputs_.size()) / 2; node >= 1; node /= 2) {
        if (before(losers_[node], winner)) std::swap(losers_[node], winner);
    }
    losers_[0] = winner;
}

EngineStatus LineMerge::flush() {
    if (out_.size() == 0) return {};
    TR_RETURN_IF_ERROR(output_->write(out_.span()));
    out_.clear();
    return {};
}

EngineStatus LineMerge::write_line(Bytes line) {
    if (output_ == nullptr) return {};
    if (out_.size() + line.size() + 1 > out_.capacity()) {
        if (auto s = flush(); !s) return s;
        if (line.size() + 1 > out_.capacity()) {
            out_.append(line);
            out_.push_back(options_.separator);
            return flush();
        }
    }
    uint8_t* at = out_.data() + out_.size();
    std::memcpy(at, line.data(), line.size());
    at[line.size()] = options_.separator;
    out_.set_size(out_.size() + line.size() + 1);
    return {};
}

EngineResult<LineMerge::Step> LineMerge::run(uint64_t max_lines) {
    if (!started_) {
        started_ = true;
        if (inputs_.empty()) return Step::Done;
        for (size_t i = 0; i < inputs_.size(); ++i) {
            auto got = advance(i);
            if (!got) return Unexpected{std::move(got.error())};
            if (*got == Advance::OutOfOrder) return Step::OutOfOrder;
        }
        losers_.assign(inputs_.size(), 0);
        losers_[0] = build(1);
    }
    for (uint64_t count = 0; count < max_lines; ++count) {
        const uint32_t top = inputs_.empty() ? 0 : losers_[0];
        if (inputs_.empty() || inputs_[top].done) {
            if (output_ != nullptr) TR_RETURN_IF_ERROR(flush());
            return Step::Done;
        }
        Input& in = inputs_[top];
        if (!(options_.unique && wrote_any_ && compare_bytes(last_written_.span(), in.key) == 0)) {
            if (auto s = write_line(in.line); !s) return Unexpected{std::move(s.error())};
            if (options_.unique) {
                last_written_.clear();
                last_written_.append(in.key);
                wrote_any_ = true;
            }
        }
        auto got = advance(top);
        if (!got) return Unexpected{std::move(got.error())};
        if (*got == Advance::OutOfOrder) {
            if (output_ != nullptr) TR_RETURN_IF_ERROR(flush());
            return Step::OutOfOrder;
        }
        replay(top);
    }
    return Step::More;
}

}  // namespace tessarune::merge
