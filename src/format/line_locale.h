// LineLocale: what the user's locale changes in the keys of lines, each part from its own
// category, as the C library resolves them from the environment (LC_ALL, else LC_COLLATE,
// LC_CTYPE, LC_NUMERIC or LC_TIME, else LANG):
//
//   LC_COLLATE  how texts compare: the whole line, text fields, the last resort (Collation)
//   LC_CTYPE    which bytes are blanks, letters and digits (-b, -d, fields), printable (-i),
//               and the upper case of each (-f, -M)
//   LC_NUMERIC  the decimal point and thousands separator of -n and -h, and how -g reads
//   LC_TIME     the month names of -M
//
// Bytes stay bytes: a character of several bytes is not one letter, blank or upper-case pair.
// A locale that changes none of these (C, POSIX, and C.UTF-8 on these machines) is no
// LineLocale at all: plans without one keep the C locale's rules and speed.
#pragma once

#include <locale.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "format/collation.h"
#include "format/number_key.h"

namespace tessarune::format {

// Bytes of a class, by value; each table is 256 entries.
struct ByteClasses {
    std::array<bool, 256> blank{};       // isblank
    std::array<bool, 256> dictionary{};  // kept by -d: isalnum or isblank (a newline too)
    std::array<bool, 256> printable{};   // kept by -i: isprint
    std::array<uint8_t, 256> upper{};    // toupper
};

class LineLocale {
public:
    // The locale the environment names; nullptr when it orders and reads lines as the C locale
    // does, or names a locale that is not installed (then the C library, and the command,
    // fall back to C for every category).
    static std::shared_ptr<const LineLocale> from_environment();
    // The same for a locale name given for every category ("de_DE.UTF-8").
    static std::shared_ptr<const LineLocale> named(const char* name);

    ~LineLocale();
    LineLocale(const LineLocale&) = delete;
    LineLocale& operator=(const LineLocale&) = delete;

    // nullptr: texts compare as bytes.
    const Collation* collation() const { return collation_.get(); }
    // Whether the byte classes are the C locale's (the fast paths of line keys assume them).
    bool c_classes() const { return c_classes_; }
    const ByteClasses& classes() const { return classes_; }
    const NumberSyntax& number_syntax() const { return number_syntax_; }
    // The month names as -M matches them: upper case, blanks dropped; JAN ... DEC in C.
    const std::array<std::string, 12>& months() const { return months_; }
    bool c_months() const { return c_months_; }
    // For strtold_l (-g): its LC_NUMERIC is this locale's.
    locale_t handle() const { return locale_; }

private:
    explicit LineLocale(locale_t locale);
    bool like_c() const;

    locale_t locale_;
    std::unique_ptr<Collation> collation_;
    ByteClasses classes_;
    bool c_classes_ = true;
    NumberSyntax number_syntax_;
    std::array<std::string, 12> months_;
    bool c_months_ = true;
};

}  // namespace tessarune::format
