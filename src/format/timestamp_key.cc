#include "format/timestamp_key.h"

#include <cmath>

#include "key/time_key.h"

namespace tessarune::format {
namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr uint32_t kNanosPerSecond = 1'000'000'000;

constexpr int64_t kMinSeconds = days_from_civil(1, 1, 1) * kSecondsPerDay;
constexpr int64_t kMaxSeconds = days_from_civil(9999, 12, 31) * kSecondsPerDay + kSecondsPerDay - 1;
static_assert(kMinSeconds == -62135596800);
static_assert(kMaxSeconds == 253402300799);

bool is_leap_year(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int days_in_month(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

std::optional<Instant> in_range(int64_t seconds, uint32_t nanos) {
    if (seconds < kMinSeconds || seconds > kMaxSeconds) return std::nullopt;
    return Instant{seconds, nanos};
}

// Reads a text left to right; every read either takes what it asks for or fails.
class Cursor {
public:
    explicit Cursor(std::string_view text) : text_(text) {}

    bool at_end() const { return pos_ == text_.size(); }
    bool peek_is(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

    bool take(char c) {
        if (!peek_is(c)) return false;
        ++pos_;
        return true;
    }
    bool take_any(std::string_view chars) {
        if (pos_ >= text_.size() || chars.find(text_[pos_]) == std::string_view::npos) return false;
        ++pos_;
        return true;
    }
    char last() const { return text_[pos_ - 1]; }

    // Exactly `count` digits as a number in [0, max], or -1.
    int number(int count, int max) {
        if (text_.size() - pos_ < static_cast<size_t>(count)) return -1;
        int value = 0;
        for (int i = 0; i < count; ++i) {
            const char c = text_[pos_ + static_cast<size_t>(i)];
            if (c < '0' || c > '9') return -1;
            value = value * 10 + (c - '0');
        }
        pos_ += static_cast<size_t>(count);
        return value <= max ? value : -1;
    }

    // One or more digits read as nanoseconds (the first nine count); -1 when there are none.
    int64_t fraction_nanos() {
        const size_t start = pos_;
        int64_t nanos = 0;
        int64_t scale = kNanosPerSecond;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
            if (scale > 1) {
                scale /= 10;
                nanos += scale * (text_[pos_] - '0');
            }
            ++pos_;
        }
        return pos_ > start ? nanos : -1;
    }

private:
    std::string_view text_;
    size_t pos_ = 0;
};

std::string_view strip_blanks(std::string_view text) {
    const size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return {};
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// The offset from UTC in seconds (east positive) after a time; 0 when none is given.
std::optional<int64_t> read_offset(Cursor& in) {
    if (in.take_any("Zz")) return 0;
    if (!in.take_any("+-")) return 0;
    const int64_t sign = in.last() == '-' ? -1 : 1;
    const int hours = in.number(2, 23);
    if (hours < 0) return std::nullopt;
    int minutes = 0;
    if (in.take(':')) {
        minutes = in.number(2, 59);
    } else if (!in.at_end()) {
        minutes = in.number(2, 59);
    }
    if (minutes < 0) return std::nullopt;
    return sign * (hours * 3600 + minutes * 60);
}

}  // namespace

std::optional<Instant> parse_timestamp(std::string_view text) {
    Cursor in(strip_blanks(text));
    const int year = in.number(4, 9999);
    if (year < 1 || !in.take('-')) return std::nullopt;
    const int month = in.number(2, 12);
    if (month < 1 || !in.take('-')) return std::nullopt;
    const int day = in.number(2, 31);
    if (day < 1 || day > days_in_month(year, month)) return std::nullopt;

    int64_t seconds = days_from_civil(year, month, day) * kSecondsPerDay;
    int64_t nanos = 0;
    if (in.take_any("Tt ")) {
        const int hour = in.number(2, 23);
        if (hour < 0 || !in.take(':')) return std::nullopt;
        const int minute = in.number(2, 59);
        if (minute < 0) return std::nullopt;
        int second = 0;
        if (in.take(':')) {
            second = in.number(2, 59);
            if (second < 0) return std::nullopt;
            if (in.take('.')) {
                nanos = in.fraction_nanos();
                if (nanos < 0) return std::nullopt;
            }
        }
        const std::optional<int64_t> offset = read_offset(in);
        if (!offset) return std::nullopt;
        seconds += hour * 3600 + minute * 60 + second - *offset;
    }
    if (!in.at_end()) return std::nullopt;
    return in_range(seconds, static_cast<uint32_t>(nanos));
}

std::optional<Instant> instant_from_epoch_int(bool negative, Bytes digits) {
    size_t i = 0;
    while (i < digits.size() && digits[i] == '0') ++i;
    // Every instant in range has at most 12 digits of seconds; more cannot fit.
    if (digits.size() - i > 12) return std::nullopt;
    int64_t seconds = 0;
    for (; i < digits.size(); ++i) seconds = seconds * 10 + (digits[i] - '0');
    return in_range(negative ? -seconds : seconds, 0);
}

std::optional<Instant> instant_from_epoch_int64(int64_t seconds) { return in_range(seconds, 0); }

std::optional<Instant> instant_from_epoch_double(double x) {
    // Also refuses NaN, and keeps the conversion to int64 below defined.
    if (!(x >= static_cast<double>(kMinSeconds) && x < static_cast<double>(kMaxSeconds + 1))) return std::nullopt;
    const double whole = std::floor(x);
    const double scaled = (x - whole) * 1e9;  // x - whole is exact; the product rounds as Python's does
    double nanos = std::floor(scaled);
    const double rest = scaled - nanos;  // exact: scaled is below 2^30
    if (rest > 0.5 || (rest == 0.5 && std::fmod(nanos, 2.0) != 0)) nanos += 1;
    int64_t seconds = static_cast<int64_t>(whole);
    auto ns = static_cast<uint32_t>(nanos);
    if (ns == kNanosPerSecond) {
        ++seconds;
        ns = 0;
    }
    return in_range(seconds, ns);
}

std::optional<Instant> instant_from_number_text(const TextNumber& number) {
    switch (number.kind) {
        case NumberTextKind::Int:
            return instant_from_epoch_int(number.negative, number.digits);
        case NumberTextKind::Float:
            return instant_from_epoch_double(number.value);
        case NumberTextKind::Empty:
        case NumberTextKind::NotANumber:
            break;
    }
    return std::nullopt;
}

void append_instant(Instant instant, ByteBuffer& out) { append_instant_bytes(instant.seconds, instant.nanos, out); }

}  // namespace tessarune::format
