#include "job/record_key_text.h"

#include <charconv>
#include <optional>
#include <utility>

#include "job/message_quoting.h"

namespace tessarune::job {
namespace {

using format::KeyType;
using format::NullOrder;
using format::RecordKey;

constexpr std::string_view kOptions = "text, number, timestamp, asc, desc, nulls_first, nulls_last";

// Reads one key at `pos` and moves it past the key, onto the ',' that follows or the end.
class KeyReader {
public:
    KeyReader(std::string_view text, RecordFormat format, bool header)
        : text_(text), json_(format == RecordFormat::JsonLines), header_(header) {}

    bool done() const { return pos_ >= text_.size(); }

    Expected<RecordKey, std::string> name_alone() {
        RecordKey key;
        if (auto named = json_ ? read_path(key) : read_column(key); !named) return Unexpected(bad(0, named.error()));
        if (pos_ != text_.size()) return Unexpected(bad(0, "a name alone, with no ',' or ':' after it"));
        key.name = std::string(text_);
        return key;
    }

    Expected<RecordKey, std::string> next() {
        const size_t start = pos_;
        RecordKey key;
        if (auto named = json_ ? read_path(key) : read_column(key); !named) return Unexpected(bad(start, named.error()));
        key.name = std::string(text_.substr(start, pos_ - start));
        Given given;
        while (pos_ < text_.size() && text_[pos_] == ':') {
            const size_t from = ++pos_;
            while (pos_ < text_.size() && text_[pos_] != ':' && text_[pos_] != ',') ++pos_;
            if (auto applied = apply_option(text_.substr(from, pos_ - from), key, given); !applied) {
                return Unexpected(bad(start, applied.error()));
            }
        }
        if (pos_ < text_.size()) ++pos_;  // the ',' before the next key
        return key;
    }

private:
    std::string bad(size_t start, const std::string& why) const {
        size_t end = start;
        bool quoted = false;
        for (; end < text_.size() && (quoted || text_[end] != ','); ++end) {
            if (text_[end] == '"') quoted = !quoted;
            if (quoted && text_[end] == '\\') ++end;
        }
        return "invalid key " + c_quote(text_.substr(start, std::min(end, text_.size()) - start)) + ": " + why;
    }

    bool at_name_end() const { return pos_ >= text_.size() || text_[pos_] == ',' || text_[pos_] == ':'; }

    // A name in double quotes, the quote at pos_ included.
    Expected<std::string, std::string> read_quoted() {
        std::string out;
        for (++pos_; pos_ < text_.size(); ++pos_) {
            const char c = text_[pos_];
            if (c == '"') {
                ++pos_;
                return out;
            }
            if (c == '\\') {
                if (pos_ + 1 == text_.size() || (text_[pos_ + 1] != '"' && text_[pos_ + 1] != '\\')) {
                    return Unexpected(std::string("only \\\" and \\\\ are escapes in a quoted name"));
                }
                ++pos_;
            }
            out += text_[pos_];
        }
        return Unexpected(std::string("a quoted name has no closing quote"));
    }

    // Up to the next `stop`, ',' or ':'; a '"' inside is an error.
    Expected<std::string, std::string> read_plain(bool stop_at_dot) {
        const size_t from = pos_;
        while (!at_name_end() && !(stop_at_dot && text_[pos_] == '.')) {
            if (text_[pos_] == '"') return Unexpected(std::string("a quote inside a name: quote the whole name"));
            ++pos_;
        }
        if (pos_ == from) return Unexpected(std::string("an empty name"));
        return std::string(text_.substr(from, pos_ - from));
    }

    Expected<void, std::string> read_path(RecordKey& key) {
        for (;;) {
            std::string step = pos_ < text_.size() && text_[pos_] == '"' ? TR_TRY(read_quoted()) : TR_TRY(read_plain(true));
            key.path.push_back(std::move(step));
            if (pos_ < text_.size() && text_[pos_] == '.') {
                ++pos_;
                continue;
            }
            if (!at_name_end()) return Unexpected(std::string("a quoted name must be followed by '.', ':' or ','"));
            return {};
        }
    }

    Expected<void, std::string> read_column(RecordKey& key) {
        if (pos_ < text_.size() && text_[pos_] == '"') {
            key.path.push_back(TR_TRY(read_quoted()));
            if (!at_name_end()) return Unexpected(std::string("a quoted name must be followed by ':' or ','"));
        } else if (pos_ < text_.size() && text_[pos_] == '@') {
            const std::string digits = TR_TRY(read_plain(false)).substr(1);
            size_t n = 0;
            const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
            if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || n == 0) {
                return Unexpected(std::string("@ is followed by a column number from 1; quote a name that starts with @"));
            }
            key.column = n - 1;
            return {};
        } else {
            key.path.push_back(TR_TRY(read_plain(false)));
        }
        if (!header_) return Unexpected(std::string("a CSV without a header has no column names: use @N"));
        return {};
    }

    // Which kinds of option a key has been given, while it is read.
    struct Given {
        bool type = false, direction = false, nulls = false;
    };

    static Expected<void, std::string> apply_option(std::string_view option, RecordKey& key, Given& given) {
        enum Kind { kType, kDirection, kNulls };
        struct Word {
            std::string_view word;
            Kind kind;
            uint8_t value;
        };
        static constexpr Word kWords[] = {
            {"text", kType, uint8_t(KeyType::Text)},
            {"number", kType, uint8_t(KeyType::Number)},
            {"n", kType, uint8_t(KeyType::Number)},
            {"timestamp", kType, uint8_t(KeyType::Timestamp)},
            {"asc", kDirection, 0},
            {"desc", kDirection, 1},
            {"r", kDirection, 1},
            {"nulls_first", kNulls, uint8_t(NullOrder::First)},
            {"nulls_last", kNulls, uint8_t(NullOrder::Last)},
        };
        for (const Word& w : kWords) {
            if (w.word != option) continue;
            bool& seen = w.kind == kType ? given.type : w.kind == kDirection ? given.direction : given.nulls;
            if (seen) return Unexpected("a second " + std::string(kind_name(w.kind)) + " " + c_quote(option));
            seen = true;
            key.typed = given.type;
            if (w.kind == kType) key.type = KeyType(w.value);
            if (w.kind == kDirection) key.descending = w.value != 0;
            if (w.kind == kNulls) key.nulls = NullOrder(w.value);
            return {};
        }
        return Unexpected("unknown option " + c_quote(option) + " (options: " + std::string(kOptions) + ")");
    }

    static const char* kind_name(int kind) { return kind == 0 ? "type" : kind == 1 ? "direction" : "place for nulls"; }

    std::string_view text_;
    bool json_;
    bool header_;
    size_t pos_ = 0;
};

}  // namespace

Expected<void, std::string> parse_record_keys(std::string_view text, RecordFormat format, bool header,
                                              std::vector<format::RecordKey>& keys) {
    if (text.empty()) return Unexpected(std::string("invalid key '': an empty name"));
    KeyReader reader(text, format, header);
    while (!reader.done()) keys.push_back(TR_TRY(reader.next()));
    if (!text.empty() && text.back() == ',') return Unexpected("invalid key " + c_quote(text) + ": an empty name");
    return {};
}

Expected<format::RecordKey, std::string> parse_record_key_name(std::string_view text, RecordFormat format, bool header) {
    if (text.empty()) return Unexpected(std::string("invalid key '': an empty name"));
    return KeyReader(text, format, header).name_alone();
}

Expected<void, std::string> place_nulls(format::RecordKey& key, bool last) {
    const NullOrder want = last ? NullOrder::Last : NullOrder::First;
    if (key.nulls != NullOrder::Low && key.nulls != want) {
        return Unexpected("the key " + c_quote(key.name) + " has its own place for nulls, which nulls_last=" +
                          (last ? "True" : "False") + " contradicts");
    }
    key.nulls = want;
    return {};
}

Expected<void, std::string> fold_record_options(std::vector<format::RecordKey>& keys, bool numeric, bool reverse) {
    if (numeric) {
        if (keys.size() != 1) {
            return Unexpected(std::string(
                "-n applies to a single key: give each key its type, as in -k 'country,amount:number'"));
        }
        if (keys[0].typed && keys[0].type != KeyType::Number) {
            return Unexpected("-n and the type " + std::string(format::key_type_name(keys[0].type)) + " of key " +
                              c_quote(keys[0].name) + " disagree");
        }
        keys[0].type = KeyType::Number;
        keys[0].typed = true;
    }
    if (reverse) {
        for (RecordKey& key : keys) key.descending = !key.descending;
    }
    return {};
}

}  // namespace tessarune::job
