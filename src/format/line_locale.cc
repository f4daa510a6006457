#include "format/line_locale.h"

#include <ctype.h>
#include <langinfo.h>

#include <cstring>
#include <utility>

namespace tessarune::format {
namespace {

ByteClasses classes_of(locale_t locale) {
    ByteClasses c;
    for (int b = 0; b < 256; ++b) {
        c.blank[b] = isblank_l(b, locale) != 0;
        c.dictionary[b] = isalnum_l(b, locale) != 0 || c.blank[b] || b == '\n';
        c.printable[b] = isprint_l(b, locale) != 0;
        c.upper[b] = static_cast<uint8_t>(toupper_l(b, locale));
    }
    return c;
}

bool same_classes(const ByteClasses& a, const ByteClasses& b) {
    return a.blank == b.blank && a.dictionary == b.dictionary && a.printable == b.printable && a.upper == b.upper;
}

// A separator or point of one byte, as the locale writes it; -1 when it has none or one of
// several bytes (U+202F in sv_SE), which the traditional reading leaves alone.
int single_byte(const char* s) {
    if (s == nullptr || s[0] == '\0' || s[1] != '\0') return -1;
    return static_cast<uint8_t>(s[0]);
}

struct OwnedLocale {
    locale_t handle;
    explicit OwnedLocale(const char* name) : handle(newlocale(LC_ALL_MASK, name, static_cast<locale_t>(nullptr))) {}
    ~OwnedLocale() {
        if (handle != static_cast<locale_t>(nullptr)) freelocale(handle);
    }
    OwnedLocale(const OwnedLocale&) = delete;
    OwnedLocale& operator=(const OwnedLocale&) = delete;
    locale_t release() { return std::exchange(handle, static_cast<locale_t>(nullptr)); }
};

}  // namespace

LineLocale::LineLocale(locale_t locale) : locale_(locale) {
    collation_ = Collation::of(locale_);

    classes_ = classes_of(locale_);
    const OwnedLocale c("C");
    c_classes_ = c.handle != static_cast<locale_t>(nullptr) && same_classes(classes_, classes_of(c.handle));

    const int point = single_byte(nl_langinfo_l(RADIXCHAR, locale_));
    number_syntax_.decimal_point = point < 0 ? '.' : static_cast<uint8_t>(point);
    number_syntax_.thousands_separator = single_byte(nl_langinfo_l(THOUSEP, locale_));

    static constexpr const char* kCMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                               "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    for (int m = 0; m < 12; ++m) {
        for (const char* p = nl_langinfo_l(ABMON_1 + m, locale_); *p != '\0'; ++p) {
            const auto b = static_cast<uint8_t>(*p);
            if (!classes_.blank[b]) months_[m].push_back(static_cast<char>(classes_.upper[b]));
        }
        c_months_ = c_months_ && months_[m] == kCMonths[m];
    }
}

LineLocale::~LineLocale() { freelocale(locale_); }

bool LineLocale::like_c() const {
    return collation_ == nullptr && c_classes_ && c_months_ && number_syntax_.decimal_point == '.' &&
           number_syntax_.thousands_separator < 0;
}

std::shared_ptr<const LineLocale> LineLocale::named(const char* name) {
    OwnedLocale locale(name);
    if (locale.handle == static_cast<locale_t>(nullptr)) return nullptr;
    std::shared_ptr<const LineLocale> made(new LineLocale(locale.release()));
    return made->like_c() ? nullptr : made;
}

std::shared_ptr<const LineLocale> LineLocale::from_environment() { return named(""); }

}  // namespace tessarune::format
