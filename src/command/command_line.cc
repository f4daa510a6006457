#include "command/command_line.h"

#include <getopt.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "format/line_key.h"
#include "job/key_definition.h"
#include "job/record_key_text.h"

namespace tessarune::command {

std::string_view version() { return TESSARUNE_VERSION; }

namespace {

using job::c_quote;
using job::shell_quote;

constexpr uint64_t kMaxUint = std::numeric_limits<uint64_t>::max();
// The least memory a sort is given, whatever -S says: with less, every run holds a handful of
// records and merging thousands of runs costs more than the whole sort.
constexpr uint64_t kMinMaxBytes = uint64_t{64} << 10;
constexpr uint64_t kMaxThreads = 1024;  // the sorter's own limit
constexpr uint64_t kDefaultThreads = 8;
// Descriptors the process holds besides the inputs of a merge: standard input, output, error.
constexpr uint64_t kReservedDescriptors = 3;

Unexpected<UsageError> usage(std::string message, bool try_help = true) {
    return Unexpected(UsageError{std::move(message), try_help});
}

// The second line of a two-line message, which the caller does not prefix.
std::string next_line(std::string_view text) {
    std::string line = "\n";  // appended piece by piece: g++ 12 warns falsely (-Wrestrict) on "x" + std::string
    line.append(kProgramName).append(": ").append(text);
    return line;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// ---- numbers as the traditional command reads them ----

using Count = job::OptionCount;

Count read_count(std::string_view s, size_t pos) { return job::read_option_count(s, pos); }

UsageError invalid_argument(std::string_view option, std::string_view arg) {
    return {"invalid " + std::string(option) + " argument " + c_quote(arg), false};
}
UsageError invalid_suffix(std::string_view option, std::string_view arg) {
    return {"invalid suffix in " + std::string(option) + " argument " + c_quote(arg), false};
}
UsageError too_large(std::string_view option, std::string_view arg) {
    return {std::string(option) + " argument " + c_quote(arg) + " too large", false};
}

// A whole count with no suffix, for --parallel and --batch-size.
Expected<Count, UsageError> read_plain_count(std::string_view option, std::string_view arg) {
    const Count c = read_count(arg, 0);
    if (!c.valid) return Unexpected(invalid_argument(option, arg));
    if (c.end != arg.size()) return Unexpected(invalid_suffix(option, arg));
    return c;
}

// -S SIZE: a count of KiB, or of the unit its suffix names, or a percentage of the memory.
Expected<uint64_t, UsageError> read_size(std::string_view option, std::string_view arg, uint64_t physical_memory) {
    const Count c = read_count(arg, 0);
    if (!c.valid) return Unexpected(invalid_argument(option, arg));
    const std::string_view suffix = arg.substr(c.end);
    constexpr std::string_view kSuffixes = "bkKmMgGtTPEZY%";
    if (suffix.size() > 1 || (suffix.size() == 1 && kSuffixes.find(suffix[0]) == std::string_view::npos)) {
        return Unexpected(invalid_suffix(option, arg));
    }
    if (c.overflow) return Unexpected(too_large(option, arg));
    const char unit = suffix.empty() ? 'K' : suffix[0];
    if (unit == '%') {
        uint64_t product = 0;
        if (!__builtin_mul_overflow(physical_memory, c.value, &product)) return product / 100;
        if (!__builtin_mul_overflow(physical_memory / 100, c.value, &product)) return product;
        return Unexpected(too_large(option, arg));
    }
    constexpr std::string_view kUnits = "bKMGTPEZY";
    const auto unit_index = kUnits.find(unit == 'b' ? 'b' : static_cast<char>(unit & ~0x20));
    const size_t shift = 10 * unit_index;
    if (c.value == 0) return uint64_t{0};
    if (shift >= 64 || c.value > (kMaxUint >> shift)) return Unexpected(too_large(option, arg));
    return c.value << shift;
}

// ---- keys of lines ----

using job::kBothBlanks;
using job::KeyDefinition;
using job::modifier_flag;
// The ordering options that JSON Lines and CSV do not take (-n and -r they do; -b is refused apart).
constexpr uint32_t kLinesOnlyFlags = format::kAllLineKeyFlags & ~(kBothBlanks | format::kNumeric | format::kReverse);

// A key definition's message is a usage error with no hint of --help.
template <typename T>
Expected<T, UsageError> key_usage(Expected<T, std::string> result) {
    if (!result) return usage(std::move(result).error(), false);
    if constexpr (std::is_void_v<T>) {
        return {};
    } else {
        return std::move(result).value();
    }
}

// ---- option words ----

struct Word {
    std::string_view word;
    char meaning;
};
constexpr std::array<Word, 6> kSortWords{{{"general-numeric", 'g'},
                                          {"human-numeric", 'h'},
                                          {"month", 'M'},
                                          {"numeric", 'n'},
                                          {"random", 'R'},
                                          {"version", 'V'}}};
constexpr std::array<Word, 3> kCheckWords{{{"quiet", 'C'}, {"silent", 'C'}, {"diagnose-first", 'c'}}};

// A word of `words` or an unambiguous prefix of one, with the traditional command's messages.
Expected<char, UsageError> match_word(std::span<const Word> words, std::string_view option, std::string_view arg) {
    std::optional<char> found;
    bool ambiguous = false;
    for (const Word& w : words) {
        if (w.word == arg) return w.meaning;
        if (!w.word.starts_with(arg)) continue;
        if (found && *found != w.meaning) ambiguous = true;
        found = w.meaning;
    }
    if (found && !ambiguous) return *found;
    std::string message = std::string(ambiguous ? "ambiguous" : "invalid") + " argument " + c_quote(arg) + " for '" +
                          std::string(option) + "'\nValid arguments are:";
    for (size_t i = 0; i < words.size(); ++i) {
        const bool same = i > 0 && words[i].meaning == words[i - 1].meaning;
        message += (same ? ", '" : "\n  - '") + std::string(words[i].word) + "'";
    }
    return usage(std::move(message));
}

// ---- the options getopt reads ----

enum Code : int {
    kOperand = 1,
    kCheck = 256,
    kCompressProgram,
    kDebug,
    kFiles0From,
    kRandomSource,
    kSort,
    kBatchSize,
    kParallel,
    kHelp,
    kVersion,
    kJsonl,
    kCsv,
    kDelimiter,
    kProgress,
    kNoProgress,
    kStats,
    kDecompress,
    kNoHeader,
};

// '-': operands come back in their place (code 1), as the obsolete +POS needs; ':': a missing
// argument is told apart from an unknown option. y takes an argument that is ignored.
constexpr const char* kShortOptions = "-:bcCdfghik:mMno:rRsS:t:T:uVy:z";

// The traditional command's long options, in its order (which ambiguity messages list).
constexpr std::array<option, 30> kSortLong{{
    {"ignore-leading-blanks", no_argument, nullptr, 'b'},
    {"check", optional_argument, nullptr, kCheck},
    {"compress-program", required_argument, nullptr, kCompressProgram},
    {"debug", no_argument, nullptr, kDebug},
    {"dictionary-order", no_argument, nullptr, 'd'},
    {"ignore-case", no_argument, nullptr, 'f'},
    {"files0-from", required_argument, nullptr, kFiles0From},
    {"general-numeric-sort", no_argument, nullptr, 'g'},
    {"ignore-nonprinting", no_argument, nullptr, 'i'},
    {"key", required_argument, nullptr, 'k'},
    {"merge", no_argument, nullptr, 'm'},
    {"month-sort", no_argument, nullptr, 'M'},
    {"numeric-sort", no_argument, nullptr, 'n'},
    {"human-numeric-sort", no_argument, nullptr, 'h'},
    {"version-sort", no_argument, nullptr, 'V'},
    {"random-sort", no_argument, nullptr, 'R'},
    {"random-source", required_argument, nullptr, kRandomSource},
    {"sort", required_argument, nullptr, kSort},
    {"output", required_argument, nullptr, 'o'},
    {"reverse", no_argument, nullptr, 'r'},
    {"stable", no_argument, nullptr, 's'},
    {"batch-size", required_argument, nullptr, kBatchSize},
    {"buffer-size", required_argument, nullptr, 'S'},
    {"field-separator", required_argument, nullptr, 't'},
    {"temporary-directory", required_argument, nullptr, 'T'},
    {"unique", no_argument, nullptr, 'u'},
    {"zero-terminated", no_argument, nullptr, 'z'},
    {"parallel", required_argument, nullptr, kParallel},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
}};

// Ours; another name of a resource shares its code, so the two are one option to getopt.
constexpr std::array<option, 12> kOwnLong{{
    {"jsonl", no_argument, nullptr, kJsonl},
    {"csv", no_argument, nullptr, kCsv},
    {"delimiter", required_argument, nullptr, kDelimiter},
    {"progress", no_argument, nullptr, kProgress},
    {"no-progress", no_argument, nullptr, kNoProgress},
    {"stats", no_argument, nullptr, kStats},
    {"decompress", no_argument, nullptr, kDecompress},
    {"no-header", no_argument, nullptr, kNoHeader},
    {"threads", required_argument, nullptr, kParallel},
    {"max-open", required_argument, nullptr, kBatchSize},
    {"max-bytes", required_argument, nullptr, 'S'},
    {"tmp-dir", required_argument, nullptr, 'T'},
}};

// How getopt_long matches a long option: the exact name, else the one option that the name
// begins, else ambiguous unless every such option is the same to it.
struct Match {
    int found = -1;
    std::vector<size_t> ambiguous;  // in table order
};

Match match_long(std::span<const option> table, std::string_view name) {
    Match m;
    for (size_t i = 0; i < table.size(); ++i) {
        if (table[i].name == name) return Match{static_cast<int>(i), {}};
    }
    for (size_t i = 0; i < table.size(); ++i) {
        if (!std::string_view(table[i].name).starts_with(name)) continue;
        if (m.found < 0) {
            m.found = static_cast<int>(i);
            continue;
        }
        const option& first = table[static_cast<size_t>(m.found)];
        if (first.has_arg == table[i].has_arg && first.val == table[i].val) continue;
        if (m.ambiguous.empty()) m.ambiguous.push_back(static_cast<size_t>(m.found));
        m.ambiguous.push_back(i);
    }
    return m;
}

struct Event {
    int code = -1;                    // -1: no more options; kOperand; an option's code
    const char* arg = nullptr;        // the option's argument, or the operand
    std::string name;                 // the option as messages name it: "-S", "--buffer-size"
    std::optional<UsageError> error;  // what getopt refused
};

// getopt_long over a copy of the arguments, with each long option looked up first among the
// traditional command's own.
class Scanner {
public:
    explicit Scanner(std::span<const char* const> args) {
        words_.emplace_back(kProgramName);
        words_.insert(words_.end(), args.begin(), args.end());
        for (std::string& w : words_) argv_.push_back(w.data());
        argv_.push_back(nullptr);
        std::copy(kSortLong.begin(), kSortLong.end(), std::back_inserter(sort_table_));
        sort_table_.push_back({});
        all_table_ = sort_table_;
        all_table_.pop_back();
        std::copy(kOwnLong.begin(), kOwnLong.end(), std::back_inserter(all_table_));
        all_table_.push_back({});
        optind = 0;  // a full reset of getopt's state
        opterr = 0;
    }

    Event next() {
        const int at = optind == 0 ? 1 : optind;
        std::string_view word;
        if (!in_cluster_ && at < argc()) word = argv_[static_cast<size_t>(at)];
        const bool is_long = word.size() > 2 && word.starts_with("--");
        const std::string_view name = is_long ? word.substr(2, word.find('=') - 2) : std::string_view();
        const std::vector<option>& table =
            is_long && std::any_of(kSortLong.begin(), kSortLong.end(),
                                   [&](const option& o) { return std::string_view(o.name).starts_with(name); })
                ? sort_table_
                : all_table_;
        int index = -1;
        const int code = getopt_long(argc(), argv_.data(), kShortOptions, table.data(), &index);
        in_cluster_ = code != -1 && optind == at;

        Event e;
        e.code = code;
        e.arg = optarg;
        const std::span<const option> entries(table.data(), table.size() - 1);
        if (code == ':' || code == '?') {
            e.error = is_long ? long_error(code, entries, word, name) : short_error(code);
        } else if (code > kOperand) {
            e.name = index >= 0 ? "--" + std::string(entries[static_cast<size_t>(index)].name)
                                : std::string{'-', static_cast<char>(code)};
        }
        // -y's argument is one for compatibility only: a separate word that is not a
        // number is no argument of it.
        if (code == 'y' && optarg == argv_[static_cast<size_t>(optind) - 1] &&
            !std::all_of(optarg, optarg + std::char_traits<char>::length(optarg), is_digit)) {
            --optind;
        }
        return e;
    }

    // The word after an operand, which an obsolete +POS1 may take as its -POS2.
    const char* peek() const { return optind < argc() ? argv_[static_cast<size_t>(optind)] : nullptr; }
    void skip() { ++optind; }

    // After the last option: the operands after "--".
    std::vector<std::string> rest() const {
        return {words_.begin() + std::min<std::ptrdiff_t>(optind, argc()), words_.end()};
    }

private:
    int argc() const { return static_cast<int>(words_.size()); }

    static UsageError long_error(int code, std::span<const option> entries, std::string_view word,
                                 std::string_view name) {
        const Match m = match_long(entries, name);
        if (!m.ambiguous.empty()) {
            std::string message = "option '" + std::string(word) + "' is ambiguous; possibilities:";
            for (size_t i : m.ambiguous) message += " '--" + std::string(entries[i].name) + "'";
            return {message};
        }
        if (m.found < 0) return {"unrecognized option '" + std::string(word) + "'"};
        const std::string full = entries[static_cast<size_t>(m.found)].name;
        if (code == ':') return {"option '--" + full + "' requires an argument"};
        return {"option '--" + full + "' doesn't allow an argument"};
    }

    static UsageError short_error(int code) {
        const std::string letter(1, static_cast<char>(optopt));
        if (code == ':') return {"option requires an argument -- '" + letter + "'"};
        return {"invalid option -- '" + letter + "'"};
    }

    std::vector<std::string> words_;
    std::vector<char*> argv_;
    std::vector<option> sort_table_, all_table_;
    bool in_cluster_ = false;
};

// ---- the parse ----

// +POS1 alone is a key unless $_POSIX2_VERSION names the 2001 edition, which took it for a file
// (followed by -POS2 it is a key whatever the edition).
bool obsolete_start_alone(const CommandEnvironment& env) {
    long version = 200809;
    if (env.posix2_version && !env.posix2_version->empty()) {
        const std::string& text = *env.posix2_version;
        long v = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v);
        if (error == std::errc() && end == text.data() + text.size()) version = v;
    }
    return version < 200112 || version >= 200809;
}

job::RecordFormat format_of(std::span<const char* const> args) {
    Scanner scanner(args);
    job::RecordFormat format = job::RecordFormat::Lines;
    for (Event e = scanner.next(); e.code != -1; e = scanner.next()) {
        if (e.code == kJsonl) format = job::RecordFormat::JsonLines;
        if (e.code == kCsv) format = job::RecordFormat::Csv;
    }
    return format;
}

class Parser {
public:
    Parser(const CommandEnvironment& env, job::RecordFormat format) : env_(env), lines_(format == job::RecordFormat::Lines) {
        line_.spec.format = format;
    }

    Expected<CommandLine, UsageError> parse(std::span<const char* const> args) {
        Scanner scanner(args);
        for (Event e = scanner.next(); e.code != -1; e = scanner.next()) {
            if (e.error) return Unexpected(std::move(*e.error));
            if (e.code == kHelp || e.code == kVersion) {
                (e.code == kHelp ? line_.help : line_.version) = true;
                return std::move(line_);
            }
            if (e.code == kOperand) {
                auto status = operand(scanner, e.arg);
                if (!status) return Unexpected(std::move(status).error());
                continue;
            }
            auto status = option(e.code, e.name, e.arg ? std::string_view(e.arg) : std::string_view());
            if (!status) return Unexpected(std::move(status).error());
        }
        for (std::string& name : scanner.rest()) operands_.push_back(std::move(name));
        auto status = finish();
        if (!status) return Unexpected(std::move(status).error());
        return std::move(line_);
    }

private:
    using Status = Expected<void, UsageError>;

    Status operand(Scanner& scanner, const char* arg) {
        if (lines_ && arg[0] == '+') {
            if (std::optional<KeyDefinition> key = job::parse_obsolete_start(arg)) {
                const bool with_end = job::is_obsolete_end(scanner.peek());
                if (with_end || obsolete_start_alone(env_)) {
                    if (with_end) {
                        auto status = key_usage(job::parse_obsolete_end(scanner.peek(), *key));
                        if (!status) return status;
                        scanner.skip();
                    }
                    keys_.push_back(*key);
                    return {};
                }
            }
        }
        operands_.emplace_back(arg);
        return {};
    }

    Status option(int code, const std::string& name, std::string_view arg) {
        job::JobSpec& out = line_.spec;
        switch (code) {
            case 'b': case 'd': case 'f': case 'g': case 'h': case 'i': case 'M': case 'n': case 'R': case 'r': case 'V':
                global_ |= modifier_flag(static_cast<char>(code), kBothBlanks);
                return {};
            case kSort: {
                const char letter = TR_TRY(match_word(kSortWords, "--sort", arg));
                global_ |= modifier_flag(letter, 0);
                return {};
            }
            case 'c': case 'C': return set_check(static_cast<char>(code));
            case kCheck: {
                const char letter = arg.data() ? TR_TRY(match_word(kCheckWords, "--check", arg)) : 'c';
                return set_check(letter);
            }
            case 'k':
                if (!lines_) {
                    key_texts_.emplace_back(arg);
                    return {};
                }
                keys_.push_back(TR_TRY(key_usage(job::parse_key_definition(arg))));
                return {};
            case 't': return set_tab(arg);
            case 'o':
                if (out.output && *out.output != arg) return usage("multiple output files specified", false);
                out.output = std::string(arg);
                return {};
            case 'S': out.max_bytes = std::max(TR_TRY(read_size(name, arg, env_.physical_memory)), kMinMaxBytes); return {};
            case 'T': out.tmp_dirs.emplace_back(arg); return {};
            case kParallel: {
                const Count c = TR_TRY(read_plain_count(name, arg));
                if (c.value == 0) return usage("number in parallel must be nonzero", false);
                threads_ = std::min(c.value, kMaxThreads);
                return {};
            }
            case kBatchSize: return set_batch_size(name, arg);
            case 's': out.stable = true; return {};
            case 'u': out.unique = true; return {};
            case 'z': zero_ = true; return {};
            case 'm': merge_ = true; return {};
            case 'y': return {};
            case kFiles0From: line_.files0_from = std::string(arg); return {};
            case kRandomSource: line_.random_source = std::string(arg); return {};
            case kDebug: return usage("option --debug is not supported: it has no annotated output");
            case kCompressProgram:
                return usage("option --compress-program is not supported: spilled runs are always compressed with LZ4");
            case kJsonl: case kCsv: {
                const char* now = code == kJsonl ? "--jsonl" : "--csv";
                if (format_named_ && format_named_ != std::string_view(now)) {
                    return usage(std::string("argument ") + now + ": not allowed with argument " + format_named_);
                }
                format_named_ = now;
                return {};
            }
            case kDelimiter: delimiter_ = std::string(arg); return {};
            case kProgress: line_.progress = true; return {};
            case kNoProgress: line_.progress = false; return {};
            case kStats: line_.stats = true; return {};
            case kDecompress: line_.spec.decompress = true; return {};
            case kNoHeader: no_header_ = true; return {};
            default: TR_CHECK(false); return {};
        }
    }

    Status set_check(char letter) {
        if (check_ && check_ != letter) return usage("options '-cC' are incompatible", false);
        check_ = letter;
        return {};
    }

    Status set_tab(std::string_view arg) {
        if (!lines_) {
            tab_text_ = std::string(arg);
            return {};
        }
        if (arg.empty()) return usage("empty tab", false);
        int tab = static_cast<unsigned char>(arg[0]);
        if (arg.size() > 1) {
            if (arg != "\\0") return usage("multi-character tab " + c_quote(arg), false);
            tab = 0;
        }
        if (tab_ >= 0 && tab_ != tab) return usage("incompatible tabs", false);
        tab_ = tab;
        return {};
    }

    Status set_batch_size(const std::string& name, std::string_view arg) {
        const Count c = TR_TRY(read_plain_count(name, arg));
        if (c.value < 2) {
            return usage(invalid_argument(name, arg).message + next_line("minimum " + name + " argument is '2'"), false);
        }
        const uint64_t most = env_.descriptor_limit > kReservedDescriptors ? env_.descriptor_limit - kReservedDescriptors : 0;
        if (c.overflow || c.value > most) {
            return usage(too_large(name, arg).message +
                             next_line("maximum " + name + " argument with current rlimit is " + std::to_string(most)),
                         false);
        }
        line_.spec.batch_size = c.value;
        return {};
    }

    Status finish() {
        job::JobSpec& out = line_.spec;
        if (line_.files0_from && !operands_.empty()) {
            return usage("extra operand " + shell_quote(operands_[0]) +
                         "\nfile operands cannot be combined with --files0-from");
        }
        if (lines_) {
            auto status = finish_lines();
            if (!status) return status;
        } else {
            auto status = finish_records();
            if (!status) return status;
        }
        if (check_) {
            if (operands_.size() > 1) {
                return usage("extra operand " + shell_quote(operands_[1]) + " not allowed with -" + check_, false);
            }
            if (out.output) return usage(std::string("options '-") + check_ + "o' are incompatible", false);
            out.mode = job::JobMode::Check;
            out.check_quiet = check_ == 'C';
        } else if (merge_) {
            out.mode = job::JobMode::Merge;
        }
        out.reverse = (global_ & format::kReverse) != 0;
        out.inputs = std::move(operands_);
        out.threads = threads_ ? threads_ : std::clamp<uint64_t>(env_.cpus, 1, kDefaultThreads);
        if (out.tmp_dirs.empty()) {
            out.tmp_dirs.push_back(env_.tmpdir && !env_.tmpdir->empty() ? *env_.tmpdir : "/tmp");
        }
        return {};
    }

    Status finish_lines() {
        job::JobSpec& out = line_.spec;
        if (delimiter_) return usage("--delimiter applies to --csv only");
        if (no_header_) return usage("--no-header applies to --csv only");
        job::LineOrdering ordering{keys_, global_, tab_, zero_, !out.stable && !out.unique, env_.locale};
        out.line_plan = TR_TRY(key_usage(job::make_line_key_plan(ordering)));
        out.separator = zero_ ? '\0' : '\n';
        return {};
    }

    // JSON Lines and CSV: keys are paths or columns, and most options of lines do not apply.
    Status finish_records() {
        job::JobSpec& out = line_.spec;
        const bool csv = out.format == job::RecordFormat::Csv;
        if (zero_) return usage("-z applies to lines only");
        if (tab_text_ && !csv) return usage("-t applies to lines and CSV only");
        if (delimiter_ && !csv) return usage("--delimiter applies to --csv only");
        if (no_header_ && !csv) return usage("--no-header applies to --csv only");
        if (global_ & (kLinesOnlyFlags | kBothBlanks)) {
            return usage("the ordering options but -n and -r apply to lines only: give a key its type, as in -k "
                         "'amount:number:desc'");
        }
        if (line_.random_source) return usage("--random-source applies to lines only");
        for (const std::string& s : key_texts_) {
            TR_RETURN_IF_ERROR(key_usage(job::parse_record_keys(s, out.format, !no_header_, out.record_keys)));
        }
        TR_RETURN_IF_ERROR(key_usage(job::fold_record_options(out.record_keys, (global_ & format::kNumeric) != 0,
                                                              (global_ & format::kReverse) != 0)));
        out.csv_header = !no_header_;
        if (csv) {
            const std::optional<std::string>& d = delimiter_ ? delimiter_ : tab_text_;
            if (d && d->size() != 1) return usage("the delimiter must be one character: " + c_quote(*d));
            if (d) out.csv_delimiter = static_cast<uint8_t>((*d)[0]);
        }
        return {};
    }

    const CommandEnvironment& env_;
    const bool lines_;
    CommandLine line_;
    uint32_t global_ = 0;                 // the global ordering options, as flags
    std::vector<KeyDefinition> keys_;            // lines: each -k and +POS1 [-POS2] in order
    std::vector<std::string> key_texts_;      // JSON Lines and CSV: each -k as given
    std::vector<std::string> operands_;
    std::optional<std::string> tab_text_;  // -t for CSV
    std::optional<std::string> delimiter_;
    int tab_ = -1;
    char check_ = 0;  // 'c' or 'C'
    bool zero_ = false, merge_ = false, no_header_ = false;
    uint64_t threads_ = 0;  // 0: as many as the processors, up to the default
    const char* format_named_ = nullptr;
};

}  // namespace

Expected<CommandLine, UsageError> parse_command_line(std::span<const char* const> args, const CommandEnvironment& env) {
    // The format changes what -k and -t mean, and it may be named after them.
    return Parser(env, format_of(args)).parse(args);
}

}  // namespace tessarune::command
