#include "merge/line_merge.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace tessarune::merge {
namespace {

constexpr size_t kOutputBuffer = size_t{256} << 10;

int compare(const ByteBuffer& a, const ByteBuffer& b) {
    const size_t n = std::min(a.size(), b.size());
    const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c;
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

}  // namespace

LineMerge::LineMerge(std::optional<format::LineKeyPlan> plan, Options options, const std::vector<int>& input_fds,
                     int output_fd)
    : plan_(std::move(plan)), options_(options), output_fd_(output_fd) {
    inputs_.reserve(input_fds.size());
    for (const int fd : input_fds) inputs_.push_back(Input{format::LineReader(fd, options.separator), {}, {}, {}});
    if (output_fd_ >= 0) out_.set_capacity(kOutputBuffer);
}

IoResult<LineMerge::Advance> LineMerge::advance(size_t i) {
    Input& in = inputs_[i];
    auto next = in.reader.next();
    if (!next) {
        failed_input_ = i;
        return Unexpected{std::move(next.error())};
    }
    if (!*next) return Advance::End;
    in.line = **next;
    std::swap(in.key, in.earlier);
    in.key.clear();
    if (plan_) {
        format::append_line_key(*plan_, in.line, in.key, scratch_);
    } else {
        in.key.append(in.line);
    }
    if (in.reader.line_number() > 1) {
        const int c = compare(in.earlier, in.key);
        if (c > 0 || (c == 0 && options_.strict_order)) {
            disorder_.input = i;
            disorder_.line_number = in.reader.line_number();
            disorder_.line.assign(in.line.begin(), in.line.end());
            return Advance::OutOfOrder;
        }
    }
    return Advance::Line;
}

bool LineMerge::before(uint32_t a, uint32_t b) const {
    const int c = compare(inputs_[a].key, inputs_[b].key);
    return c < 0 || (c == 0 && a < b);
}

void LineMerge::sift_down() {
    const size_t n = heap_.size();
    size_t at = 0;
    const uint32_t moving = heap_[0];
    while (true) {
        size_t child = 2 * at + 1;
        if (child >= n) break;
        if (child + 1 < n && before(heap_[child + 1], heap_[child])) ++child;
        if (!before(heap_[child], moving)) break;
        heap_[at] = heap_[child];
        at = child;
    }
    heap_[at] = moving;
}

IoStatus LineMerge::flush() {
    size_t done = 0;
    while (done < out_.size()) {
        const ssize_t put = ::write(output_fd_, out_.data() + done, out_.size() - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            return Unexpected{IoError::from_errno(errno)};
        }
        done += static_cast<size_t>(put);
    }
    out_.clear();
    return {};
}

IoStatus LineMerge::write_line(Bytes line) {
    if (output_fd_ < 0) return {};
    if (out_.size() + line.size() + 1 > out_.capacity()) {
        if (auto s = flush(); !s) return s;
        if (line.size() + 1 > out_.capacity()) {
            out_.append(line);
            out_.push_back(options_.separator);
            return flush();
        }
    }
    out_.append(line);
    out_.push_back(options_.separator);
    return {};
}

IoResult<LineMerge::Step> LineMerge::run(uint64_t max_lines) {
    if (!started_) {
        started_ = true;
        for (size_t i = 0; i < inputs_.size(); ++i) {
            auto got = advance(i);
            if (!got) return Unexpected{std::move(got.error())};
            if (*got == Advance::OutOfOrder) return Step::OutOfOrder;
            if (*got == Advance::Line) heap_.push_back(static_cast<uint32_t>(i));
        }
        // Least first, ties by input: a sorted array is a heap.
        std::sort(heap_.begin(), heap_.end(), [this](uint32_t a, uint32_t b) { return before(a, b); });
    }
    for (uint64_t count = 0; count < max_lines; ++count) {
        if (heap_.empty()) {
            if (output_fd_ >= 0) {
                if (auto s = flush(); !s) return Unexpected{std::move(s.error())};
            }
            return Step::Done;
        }
        const uint32_t top = heap_[0];
        Input& in = inputs_[top];
        if (!(options_.unique && wrote_any_ && compare(last_written_, in.key) == 0)) {
            if (auto s = write_line(in.line); !s) return Unexpected{std::move(s.error())};
            if (options_.unique) {
                last_written_.clear();
                last_written_.append(in.key.span());
                wrote_any_ = true;
            }
        }
        auto got = advance(top);
        if (!got) return Unexpected{std::move(got.error())};
        if (*got == Advance::OutOfOrder) {
            if (output_fd_ >= 0) {
                if (auto s = flush(); !s) return Unexpected{std::move(s.error())};
            }
            return Step::OutOfOrder;
        }
        if (*got == Advance::Line) {
            sift_down();
        } else {
            heap_[0] = heap_.back();
            heap_.pop_back();
            if (!heap_.empty()) sift_down();
        }
    }
    return Step::More;
}

}  // namespace tessarune::merge
