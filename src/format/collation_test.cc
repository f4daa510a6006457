#include "format/collation.h"

#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "format/line_locale.h"
#include "key/key_compare.h"

namespace tessarune::format {
namespace {

// The locales the tests sort in; scripts/setup.sh generates them.
constexpr const char* kLocales[] = {"en_US.UTF-8", "de_DE.UTF-8", "sv_SE.UTF-8"};

Bytes bytes_of(const std::string& s) { return Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

std::string transformed(locale_t locale, const std::string& piece) {
    std::string out(piece.size() * 8 + 16, '\0');
    out.resize(strxfrm_l(out.data(), piece.c_str(), out.size(), locale));
    return out;
}

// The keys as the C library gives them: the primary key is the strxfrm of the text up to its
// first NUL, cut at the first level separator; the transformed one strxfrm of each piece.
std::string reference_key(locale_t locale, const std::string& text, bool primary) {
    using namespace std::string_literals;
    if (text.empty()) return "\0"s;
    if (primary) {
        const std::string all = transformed(locale, text.substr(0, text.find('\0')));
        return "\1" + all.substr(0, all.find('\1')) + "\0"s;
    }
    std::string key = "\1";
    for (size_t start = 0;;) {
        const size_t end = std::min(text.find('\0', start), text.size());
        if (start != 0) key += "\1";
        key += transformed(locale, text.substr(start, end - start)) + "\0"s;
        if (end == text.size()) return key + "\0"s;
        start = end + 1;
    }
}

std::string key(const Collation& c, const std::string& text, bool primary) {
    ByteBuffer out;
    ByteBuffer scratch;
    if (primary) {
        c.append_primary(bytes_of(text), out, scratch);
    } else {
        c.append_transformed(bytes_of(text), out, scratch);
    }
    return std::string(out.begin(), out.end());
}

// Short texts of ASCII letters of both cases, digits, blanks and punctuation, accented letters
// in UTF-8, their bytes alone (invalid UTF-8), and NULs.
std::vector<std::string> random_texts(size_t count, uint32_t seed) {
    static const char* const kPieces[] = {"a", "A", "b", "B", "s", "S", "z", "0", "1", "9", " ", "\t", "-", "_",
                                          ".", ",", "\xc3\xa9", "\xc3\x89", "\xc3\xa4", "\xc3\x84", "\xc3\x9f",
                                          "\xc3", "\xff", "\x01", std::string(1, '\0').c_str()};
    std::mt19937 rng(seed);
    std::vector<std::string> texts;
    for (size_t i = 0; i < count; ++i) {
        std::string t;
        for (int n = static_cast<int>(rng() % 6); n > 0; --n) {
            const size_t k = rng() % std::size(kPieces);
            t += k + 1 == std::size(kPieces) ? std::string(1, '\0') : std::string(kPieces[k]);
        }
        texts.push_back(t);
    }
    return texts;
}

class CollationIn : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        locale_ = newlocale(LC_ALL_MASK, GetParam(), static_cast<locale_t>(nullptr));
        if (locale_ == static_cast<locale_t>(nullptr)) FAIL() << GetParam() << " is not installed: run scripts/setup.sh";
        collation_ = Collation::of(locale_);
        ASSERT_NE(collation_, nullptr);
    }
    void TearDown() override {
        collation_.reset();
        if (locale_ != static_cast<locale_t>(nullptr)) freelocale(locale_);
    }
    locale_t locale_ = static_cast<locale_t>(nullptr);
    std::unique_ptr<Collation> collation_;
};

TEST_P(CollationIn, KeysFromTheTableAreTheCLibrarys) {
    for (const std::string& text : random_texts(3000, 7)) {
        for (const bool primary : {true, false}) {
            ASSERT_EQ(key(*collation_, text, primary), reference_key(locale_, text, primary))
                << (primary ? "primary" : "transformed") << " key of '" << text << "'";
        }
    }
}

TEST_P(CollationIn, PrimaryKeysAreNeverContraryToTheComparison) {
    const std::vector<std::string> texts = random_texts(1500, 11);
    std::vector<std::string> keys;
    for (const std::string& t : texts) keys.push_back(key(*collation_, t, true));
    ByteBuffer sa;
    ByteBuffer sb;
    for (size_t i = 0; i < texts.size(); ++i) {
        for (size_t j = 0; j < texts.size(); ++j) {
            const int by_key = compare_keys(bytes_of(keys[i]), bytes_of(keys[j]));
            const int c = collation_->compare(bytes_of(texts[i]), bytes_of(texts[j]), sa, sb);
            if (by_key < 0) {
                ASSERT_LT(c, 0) << "'" << texts[i] << "' and '" << texts[j] << "'";
            }
        }
    }
}

TEST_P(CollationIn, ComparesPieceByPieceWithTheEmptyTextFirst) {
    ByteBuffer sa;
    ByteBuffer sb;
    auto cmp = [&](const std::string& a, const std::string& b) {
        const int c = collation_->compare(bytes_of(a), bytes_of(b), sa, sb);
        return (c > 0) - (c < 0);
    };
    using namespace std::string_literals;
    EXPECT_EQ(cmp("", "_"), -1);  // "_" weighs something at the last level only
    EXPECT_EQ(cmp("a"s, "a\0"s), -1);
    EXPECT_EQ(cmp("a\0b"s, "a\0b"s), 0);
    EXPECT_EQ(cmp("a\0b"s, "A"s), cmp("a", "A"));
    EXPECT_EQ(cmp("a\0z"s, "a\0b"s), cmp("z", "b"));
    for (const char* a : {"apfel", "Äpfel", "10", "_x", "École"}) {
        for (const char* b : {"Apfel", "9", "x_", "ecole"}) {
            const int c = strcoll_l(a, b, locale_);
            EXPECT_EQ(cmp(a, b), (c > 0) - (c < 0)) << a << " " << b;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Locales, CollationIn, ::testing::ValuesIn(kLocales));

TEST(LineLocale, TakesEachPartFromItsLocale) {
    EXPECT_EQ(LineLocale::named("C"), nullptr);
    EXPECT_EQ(LineLocale::named("C.UTF-8"), nullptr);  // bytes, as in C
    EXPECT_EQ(LineLocale::named("no_SUCH.locale"), nullptr);
    const std::shared_ptr<const LineLocale> de = LineLocale::named("de_DE.UTF-8");
    ASSERT_NE(de, nullptr) << "de_DE.UTF-8 is not installed: run scripts/setup.sh";
    EXPECT_NE(de->collation(), nullptr);
    EXPECT_EQ(de->number_syntax().decimal_point, ',');
    EXPECT_EQ(de->number_syntax().thousands_separator, '.');
    EXPECT_EQ(de->months()[2], "M\xc3\xa4R");  // bytes are upper-cased one by one
    const std::shared_ptr<const LineLocale> sv = LineLocale::named("sv_SE.UTF-8");
    ASSERT_NE(sv, nullptr);
    EXPECT_EQ(sv->number_syntax().thousands_separator, -1);  // U+202F, of three bytes
    EXPECT_EQ(sv->months()[4], "MAJ");
}

}  // namespace
}  // namespace tessarune::format
