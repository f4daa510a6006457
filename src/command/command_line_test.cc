#include "command/command_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

namespace tessarune::command {
namespace {

using Args = std::vector<std::string>;

Expected<CommandLine, UsageError> parse(const Args& args, const CommandEnvironment& env = {}) {
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    return parse_command_line(argv, env);
}

std::string field_text(const format::LineKeyField& f) {
    std::ostringstream out;
    out << f.start_field << '.' << f.start_char << '-';
    if (f.end_field) {
        out << *f.end_field << '.' << f.end_char;
    } else {
        out << '$';
    }
    out << '/';
    // b and B: blanks skipped at the start and at the end.
    const std::string_view letters = "bBnrghMVRfdi";
    for (size_t i = 0; i < letters.size(); ++i) {
        if (f.flags & (1u << i)) out << letters[i];
    }
    return out.str();
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& s : items) out += (out.empty() ? "" : ",") + s;
    return out;
}

// What the parse gave, as words "name=value"; a case names the words it expects.
std::vector<std::string> summary(const Expected<CommandLine, UsageError>& result) {
    if (!result) return {"error=" + result.error().message};
    const CommandLine& line = result.value();
    const job::JobSpec& s = line.spec;
    std::vector<std::string> fields, paths;
    for (const auto& f : s.line_plan.fields) fields.push_back(field_text(f));
    for (const auto& k : s.record_keys) {
        paths.push_back("[" + joined(k.path) + (k.column ? "@" + std::to_string(*k.column) : "") + "]" +
                        format::key_type_name(k.type) + (k.descending ? "-" : "+") + std::to_string(int(k.nulls)));
    }
    const char* modes[] = {"sort", "merge", "check"};
    return {
        "fields=" + joined(fields),
        "tab=" + std::to_string(s.line_plan.tab),
        "zero=" + std::to_string(s.line_plan.zero_terminated) + std::to_string(s.separator),
        "last_resort=" + std::to_string(s.line_plan.last_resort) + std::to_string(s.line_plan.last_resort_reverse),
        "reverse=" + std::to_string(s.reverse),
        "stable=" + std::to_string(s.stable),
        "unique=" + std::to_string(s.unique),
        std::string("mode=") + modes[static_cast<int>(s.mode)] + (s.check_quiet ? "-quiet" : ""),
        "inputs=" + joined(s.inputs),
        "output=" + s.output.value_or("-"),
        "max_bytes=" + std::to_string(s.max_bytes),
        "threads=" + std::to_string(s.threads),
        "batch=" + std::to_string(s.batch_size),
        "tmp=" + joined(s.tmp_dirs),
        "keys=" + joined(paths),
        "csv=" + std::string(1, static_cast<char>(s.csv_delimiter)) + std::to_string(s.csv_header),
        "help=" + std::to_string(line.help),
    };
}

struct Case {
    Args args;
    std::vector<std::string> expect;
    CommandEnvironment env = {};
};

CommandEnvironment with_posix2(const char* version) {
    CommandEnvironment env;
    env.posix2_version = version;
    return env;
}

CommandEnvironment machine(uint64_t cpus, const char* tmpdir) {
    CommandEnvironment env;
    env.cpus = cpus;
    env.tmpdir = tmpdir;
    env.physical_memory = 1000000;
    return env;
}

TEST(CommandLine, ArgumentsGiveTheJobSpec) {
    const std::vector<Case> cases = {
        // Whole lines: bytes unless an ordering option other than -r is given.
        {{}, {"fields=", "last_resort=00", "reverse=0", "mode=sort", "inputs=", "threads=1", "tmp=/tmp"}},
        {{"-r", "f"}, {"fields=", "last_resort=01", "reverse=1", "inputs=f"}},
        {{"-b"}, {"fields=0.0-$/bB", "last_resort=10"}},
        {{"-n", "--sort=mon"}, {"error=options '-Mn' are incompatible"}},
        {{"--sort", "month", "-r"}, {"fields=0.0-$/rM", "last_resort=11"}},
        // Keys without modifiers of their own take all the global ones; with any, none.
        {{"-nr", "-k2,2", "-k3b,3", "-s"}, {"fields=1.0-1.0/nr,2.0-2.0/b", "last_resort=01", "reverse=1"}},
        {{"-b", "-k1.2,1.3", "-u"}, {"fields=0.1-0.3/bB", "last_resort=00"}},
        {{"-k1.2b,3.4Vr", "-k2,1"}, {"fields=0.1-2.4/brV,1.0-0.0/", "last_resort=10"}},
        {{"-k99999999999999999999999"}, {"fields=18446744073709551614.0-$/"}},
        {{"-nM", "-k1n"}, {"fields=0.0-$/n"}},
        {{"-nM", "-k1n", "-k2"}, {"error=options '-Mn' are incompatible"}},
        {{"-k1,1MrbRh"}, {"error=options '-hMR' are incompatible"}},
        {{"-t", "\\0", "-z", "-k2"}, {"tab=0", "zero=10", "fields=1.0-$/"}},
        {{"-t", ":", "-t:"}, {"tab=58", "zero=010"}},
        // The obsolete +POS1 [-POS2], counted from 0, among the operands in their place.
        {{"a", "+1", "-2", "b"}, {"fields=1.0-1.0/", "inputs=a,b"}},
        {{"+0.1n", "-1.2b"}, {"fields=0.1-1.2/Bn"}},
        {{"+1", "-0", "-s"}, {"fields=18446744073709551615.0-$/"}},
        {{"+1x", "+1.", "--", "+2"}, {"fields=", "inputs=+1x,+1.,+2"}},
        {{"+1"}, {"fields=", "inputs=+1"}, with_posix2("200112")},
        {{"+1", "-2"}, {"fields=1.0-1.0/"}, with_posix2("200112")},
        {{"+1"}, {"fields=1.0-$/"}, with_posix2("199209")},
        // Prefixes mean what they mean to the traditional command first, then ours.
        {{"--p=3", "--st", "--t=/x", "--rev", "--tm", "/y"}, {"threads=3", "stable=1", "reverse=1", "tmp=/x,/y"}},
        {{"--th=5000", "--max-b=1M", "--max-o", "9", "--pro", "--stats"}, {"threads=1024", "max_bytes=1048576", "batch=9"}},
        {{"--ma=1"}, {"error=option '--ma=1' is ambiguous; possibilities: '--max-open' '--max-bytes'"}},
        {{"--c"}, {"error=option '--c' is ambiguous; possibilities: '--check' '--compress-program'"}},
        {{"--debug"}, {"error=option --debug is not supported: it has no annotated output"}},
        // Resources, with the machine's environment.
        {{"-S", "10"}, {"max_bytes=65536", "threads=8", "tmp=/tmp/env"}, machine(16, "/tmp/env")},
        {{"-S", "50%", "-S", "1T", "-T", "a", "-T", "b"}, {"max_bytes=1099511627776", "threads=3", "tmp=a,b"}, machine(3, "")},
        {{"-S", " +20%"}, {"max_bytes=200000"}, machine(1, "")},
        {{"--batch-size=1021"}, {"batch=1021"}},
        {{"--batch-size=1022"}, {"error=--batch-size argument '1022' too large\ntessarune: maximum --batch-size argument with current rlimit is 1021"}},
        // Modes.
        {{"-c", "f"}, {"mode=check", "inputs=f"}},
        {{"--check=s", "-C"}, {"mode=check-quiet"}},
        {{"-m", "-o", "out", "-o", "out", "a", "b"}, {"mode=merge", "output=out", "inputs=a,b"}},
        {{"-C", "--check"}, {"error=options '-cC' are incompatible"}},
        // -y takes a number only; --help stops the parse.
        {{"-y", "x", "-y", "5", "-y7", "f"}, {"inputs=x,f"}},
        {{"-r", "--help", "--bogus"}, {"help=1"}},
        // JSON Lines and CSV.
        // Keys of records: each its own type, direction and nulls; -r reverses them all, -n
        // types a single key.
        {{"-k", "a.b,c:desc:nulls_last", "--jsonl", "-k", R"("d.,:\\".e:timestamp)", "-r"},
         {"keys=[a,b]text-0,[c]text+2,[d.,:\\,e]timestamp-0", "reverse=1", "fields="}},
        {{"--jsonl", "-k", "x", "-n", "-r"}, {"keys=[x]number-0"}},
        {{"--csv", "-t", ";", "-k", "x,@3:n"}, {"keys=[x]text+0,[@2]number+0", "csv=;1"}},
        {{"--csv", "--delimiter", "|", "-t", ";", "--no-header", "-k", "@1"}, {"keys=[@0]text+0", "csv=|0"}},
        {{"--csv", "-t", "\\0"}, {"error=the delimiter must be one character: '\\\\0'"}},
        {{"--jsonl", "-t", ","}, {"error=-t applies to lines and CSV only"}},
        {{"--jsonl", "-z"}, {"error=-z applies to lines only"}},
        {{"--csv", "-m"}, {"mode=merge"}},
        {{"--jsonl", "-f"}, {"error=the ordering options but -n and -r apply to lines only: give a key its type, as in -k 'amount:number:desc'"}},
        {{"--jsonl", "-b"}, {"error=the ordering options but -n and -r apply to lines only: give a key its type, as in -k 'amount:number:desc'"}},
        {{"--jsonl", "-n", "-k", "a,b"}, {"error=-n applies to a single key: give each key its type, as in -k 'country,amount:number'"}},
        {{"--jsonl", "-k", "a:up"}, {"error=invalid key 'a:up': unknown option 'up' (options: text, number, timestamp, asc, desc, nulls_first, nulls_last)"}},
        {{"--jsonl", "-k", "a:n:text"}, {"error=invalid key 'a:n:text': a second type 'text'"}},
        {{"--jsonl", "-k", "a..b"}, {"error=invalid key 'a..b': an empty name"}},
        {{"--csv", "--no-header", "-k", "name"}, {"error=invalid key 'name': a CSV without a header has no column names: use @N"}},
        {{"--csv", "-k", "@0"}, {"error=invalid key '@0': @ is followed by a column number from 1; quote a name that starts with @"}},
        {{"--jsonl", "--no-header"}, {"error=--no-header applies to --csv only"}},
        {{"--jsonl", "--csv"}, {"error=argument --csv: not allowed with argument --jsonl"}},
        {{"--delimiter=,"}, {"error=--delimiter applies to --csv only"}},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> got = summary(parse(c.args, c.env));
        for (const std::string& want : c.expect) {
            EXPECT_NE(std::find(got.begin(), got.end(), want), got.end())
                << "arguments: " << ::testing::PrintToString(c.args) << "\nwanted: " << want
                << "\ngot: " << ::testing::PrintToString(got);
        }
    }
}

struct SortRun {
    int status = -1;
    std::string err;
};

// The traditional sort command, run in the C locale on no input.
SortRun run_sort(const Args& args) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> argv{const_cast<char*>("sort")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    char* envp[] = {const_cast<char*>("LC_ALL=C"), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "sort", &actions, nullptr, argv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    SortRun run;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) run.err.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    if (spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    return run;
}

std::string replace_all(std::string s, std::string_view from, std::string_view to) {
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size()) s.replace(at, from.size(), to);
    return s;
}

TEST(CommandLine, UsageErrorsAreTheTraditionalCommands) {
    if (run_sort({"--version"}).status != 0) GTEST_SKIP() << "no sort command to compare with";
    const std::vector<Args> bad = {
        {"--s"}, {"--x=1"}, {"---"}, {"-a"}, {"-k"}, {"-y"}, {"--key"}, {"--debug=x"}, {"--help=x"}, {"--r"},
        {"--ver"}, {"--="}, {"--s=1"}, {"-2"}, {"--sort=foo"}, {"--sort="}, {"--check=foo"}, {"--check=\x01"},
        {"-nM"}, {"-k1,1MrbRh"}, {"-dfgiMhnRrVb"}, {"-fdn"}, {"-k1n", "-k2", "-gM"}, {"-k0"}, {"-k1.0"},
        {"-k1,0.5"}, {"-k1x"}, {"-k1."}, {"-k,1"}, {"-k1,-1"}, {"-k1.2.3,4"}, {"-k0.x"}, {"-k1,\\ 2"},
        {"-k1\xff"}, {"-t", "ab"}, {"-t", ""}, {"-t", "\\t"}, {"-t", "a'\x01"}, {"-t", "a", "-t", "b"},
        {"-o", "a", "-o", "b"}, {"-S", "10x"}, {"-S", "1Z"}, {"-S", "16E"}, {"-S", ""}, {"-S", "-1"},
        {"--buffer-size=1p"}, {"--buffer-=x"}, {"--parallel", "0"}, {"--parallel", "x"}, {"--parallel=2k"},
        {"--batch-size", "1"}, {"--batch-size", "99999999999999999999"}, {"--batch-size", "3x"}, {"-cC"},
        {"-c", "-o", "x"}, {"--check=silent", "-o", "x"}, {"-c", "a", "b'c"}, {"-C", "a", "b\x01'c"},
        {"--files0-from=x", "a"}, {"--files0-from=x", "-c", "a", "b"}, {"+1", "-2x"}, {"+1", "-2."},
        {"-nM", "-c", "-o", "x"}, {"-k1nM", "-t", "ab"},
    };
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    CommandEnvironment env;
    env.descriptor_limit = limit.rlim_cur;
    for (const Args& args : bad) {
        const SortRun sort = run_sort(args);
        std::string expected = replace_all(sort.err, "\nsort: ", "\ntessarune: ");
        expected = replace_all(expected, "Try 'sort --help'", "Try 'tessarune --help'");
        if (expected.starts_with("sort: ")) expected.replace(0, 4, kProgramName);
        // The traditional command ends with status 1 for an invalid word; every usage error
        // is 2 here.
        EXPECT_TRUE(sort.status == 2 || (sort.status == 1 && sort.err.find("Valid arguments") != std::string::npos))
            << ::testing::PrintToString(args) << " " << sort.status;
        const auto ours = parse(args, env);
        ASSERT_FALSE(ours.ok()) << ::testing::PrintToString(args);
        std::string got = std::string(kProgramName) + ": " + ours.error().message + "\n";
        if (ours.error().try_help) got += "Try 'tessarune --help' for more information.\n";
        EXPECT_EQ(got, expected) << ::testing::PrintToString(args);
    }
}

}  // namespace
}  // namespace tessarune::command
