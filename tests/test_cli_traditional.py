"""The command against `sort`: random option combinations over random lines in the C locale and
in locales of three collations, and the traditional modes and spellings one at a time. Each case runs both commands in a fresh
copy of the same files; standard output, the exit status and the files afterwards must be the
same, and so must the disorder message of -c and the first line of a usage error."""

import os
import random
import subprocess

import pytest

from command import SORT, as_sort_says, command, needs_sort, run_sort

pytestmark = needs_sort

SLOW = os.environ.get("TESSARUNE_SLOW") == "1"
CASES_RANDOM = 4000 if SLOW else 400

# Pieces of lines: blanks, separators, numbers of every reading, months, versions, case pairs,
# control and high bytes. No NaN: `sort -g` orders NaNs by bytes of theirs that it leaves
# unset, so its order of them changes with what it sorted before.
WORDS = [b"a", b"B", b"b", b"Z", b"z", b"x:y", b" ", b"  ", b"\t", b"-", b"+", b".", b",", b":",
         b"0", b"00", b"7", b"12", b"-3.25", b".5", b"-0", b"1e3", b"0x1F", b"1K", b"2M", b"-5G",
         b"jan", b"FEB", b" mar", b"Dec", b"v1.2", b"v1.10", b"1.0~rc1", b"a.tar.gz", b"inf",
         b"999999999999999999999", b"\r", b"\x01", b"\x7f", b"\xe9", b"\xff"]
KINDS = "ghMnV"
# What the locales read otherwise: accents and case pairs beyond ASCII (and their bytes alone,
# which are invalid UTF-8), ligatures, their month names, numbers with their separators.
LOCALE_WORDS = WORDS + [
    "é".encode(), "É".encode(), "e".encode(), "ä".encode(), "Ä".encode(), "å".encode(), "ö".encode(),
    "ß".encode(), "ss".encode(), "æ".encode(), "École".encode(), "ecole".encode(), "Äpfel".encode(),
    "apfel".encode(), "_x".encode(), "x_".encode(), "Mär".encode(), "MAI".encode(), "okt".encode(),
    "maj".encode(), "1,234".encode(), "1.234,5".encode(), "3,5".encode(), "\u202f".encode(), b"\xc3",
    "\u00a0".encode(), b"\0", b"a\0b",
]
LOCALES = ["en_US.UTF-8", "de_DE.UTF-8", "sv_SE.UTF-8", "C.UTF-8"]
CASES_PER_LOCALE = 1500 if SLOW else 250


def random_line(rng, zero, words=WORDS):
    if zero:  # NUL ends a line there, and a newline is part of one
        words = [w for w in words if b"\0" not in w] + [b"\n"]
    return b"".join(rng.choice(words) for _ in range(rng.randint(0, 6)))


def random_modifiers(rng, p):
    """Ordering letters, mostly a combination `sort` accepts."""
    mods = "".join(m for m in "bfr" if rng.random() < p)
    kind = rng.choice(KINDS) if rng.random() < p * 2 else ""
    if not kind or rng.random() < 0.1:
        mods += rng.choice(["", "", "d", "i"])
    return mods + kind


def random_position(rng, end):
    field = rng.randint(1, 4)
    if rng.random() < 0.3:
        return f"{field}.{rng.randint(0 if end else 1, 5)}"
    return str(field)


def random_options(rng):
    args = []
    for letter in random_modifiers(rng, 0.15):
        args.append("-" + letter)
    if rng.random() < 0.3:
        args += ["-t", rng.choice([":", ",", " ", "\t"])]
    for _ in range(rng.choice([0, 0, 1, 1, 2, 3])):
        spec = random_position(rng, False) + random_modifiers(rng, 0.15)
        if rng.random() < 0.6:
            spec += "," + random_position(rng, True) + random_modifiers(rng, 0.1)
        args.append("-k" + spec)
    for flag, p in (("-z", 0.15), ("-u", 0.2), ("-s", 0.25)):
        if rng.random() < p:
            args.append(flag)
    return args


def in_copies(tmp_path, files):
    """Two fresh directories holding the same files: one for each command."""
    dirs = []
    for side in ("ours", "theirs"):
        d = tmp_path / side
        if d.exists():
            for p in d.iterdir():
                if p.is_file():
                    p.unlink()
        else:
            d.mkdir()
        (d / "tmp").mkdir(exist_ok=True)
        for name, data in files.items():
            (d / name).write_bytes(data)
        dirs.append(d)
    return dirs


def contents(directory):
    return {p.name: p.read_bytes() for p in sorted(directory.iterdir()) if p.is_file()}


def run_in(directory, program, args, stdin, env=None):
    """`program` run in `directory`; `sort` is named so whatever its path, as in its messages."""
    name = "sort" if program == SORT else program
    return subprocess.run([name, *args], executable=program, cwd=directory, input=stdin, capture_output=True,
                          env={**os.environ, "LC_ALL": "C", **(env or {})}, timeout=300)


def compare(tmp_path, files, args, stdin=b"", env=None, where="", messages=True):
    ours, theirs = in_copies(tmp_path, files)
    got = run_in(ours, command(), args, stdin, env)
    expected = run_in(theirs, SORT, args, stdin, env)
    case = f"{where}args {args!r}: {got.stderr!r}"
    assert (got.returncode, got.stdout) == (expected.returncode, expected.stdout), case
    assert contents(ours) == contents(theirs), case
    assert os.listdir(ours / "tmp") == [], case
    said, want = as_sort_says(got.stderr), expected.stderr
    if not messages:  # `sort` speaks the locale's language; the command speaks English
        return expected
    if b"disorder" in want:
        assert said == want, case
    elif expected.returncode == 2 and b"sort: " in want:
        assert said.split(b"\n")[0] == want.split(b"\n")[0], case
    return expected


def random_case(rng, words=WORDS, env=None):
    """(files, args, stdin) of one case: a sort, a merge of sorted or unsorted inputs, or an
    order check."""
    options = random_options(rng)
    zero = "-z" in options
    end = b"\0" if zero else b"\n"
    mode = rng.choices(["sort", "merge sorted", "merge unsorted", "check"], [55, 15, 10, 20])[0]
    spill = mode == "sort" and rng.random() < 0.2
    count = rng.randint(1, 1 if mode == "check" else 4)
    files = {}
    for i in range(count):
        n = rng.randint(2500, 4000) if spill else rng.randint(0, 60)
        lines = [random_line(rng, zero, words) for _ in range(n)]
        data = end.join(lines) + (end if lines and rng.random() < 0.8 else b"")
        if mode in ("merge sorted", "check") and rng.random() < 0.85:
            sorted_ = run_sort(options, data, env=env)
            if sorted_.returncode != 0:
                return files, options, b""  # options `sort` refuses: compared as they are
            data = sorted_.stdout
            if mode == "check" and rng.random() < 0.5:
                lines = data.split(end)[:-1]
                if len(lines) > 1:
                    j = rng.randrange(len(lines) - 1)
                    lines[j], lines[j + 1] = lines[j + 1], lines[j]
                    data = end.join(lines) + end
        files[f"in{i}"] = data
    names = list(files)
    stdin = b""
    if mode == "sort" and rng.random() < 0.2:
        stdin = files.pop(names[-1])
        names[-1] = "-"
    args = list(options)
    if mode.startswith("merge"):
        args.append("-m")
    if mode == "check":
        args.append(rng.choice(["-c", "-C"]))
    if spill:
        args += ["-S", "64K"]
    args += ["-T", "tmp"]
    if rng.random() < 0.3:
        args.append("--parallel=%d" % rng.randint(1, 2))
    if mode != "check" and rng.random() < 0.15 and files:
        args += ["-o", rng.choice(list(files))]
    rng.shuffle(names)
    return files, args + names, stdin


def random_cases_like_sort(tmp_path, cases, words=WORDS, env=None):
    seed = int(os.environ.get("TESSARUNE_SEED", random.randrange(2**32)))
    rng = random.Random(seed)
    statuses = {}
    for i in range(cases):
        files, args, stdin = random_case(rng, words, env)
        where = f"TESSARUNE_SEED={seed}, {env or 'LC_ALL=C'}, case {i}: "
        status = compare(tmp_path, files, args, stdin, env=env, where=where, messages=env is None).returncode
        statuses[status] = statuses.get(status, 0) + 1
    # The cases must mostly sort, and some checks must find disorder.
    assert statuses.get(0, 0) > cases // 2 and statuses.get(1, 0) > 0, statuses


def test_random_options_like_sort(tmp_path):
    random_cases_like_sort(tmp_path, CASES_RANDOM)


def installed_locales():
    listed = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    return {name.lower().replace("-", "") for name in listed}


@pytest.mark.parametrize("locale", LOCALES)
def test_random_options_like_sort_in_a_locale(locale, tmp_path):
    """The same in a locale whose collation, case, numbers and months differ from C's. The
    locales are part of the machine's setup (scripts/setup.sh): a missing one fails."""
    if locale.lower().replace("-", "") not in installed_locales():
        pytest.fail(f"the locale {locale} is not installed: run scripts/setup.sh")
    random_cases_like_sort(tmp_path, CASES_PER_LOCALE, LOCALE_WORDS, {"LC_ALL": locale})


FILES = {
    "a": b"apple 3\nbanana 10\ncherry 2\n",
    "b": b"apricot 1\nbanana 10\nbanana 7\ndate 5",  # no newline at the end
    "u": b"b 1\na 2\nc 3\nB 1\n",
    "dup": b"a\nb\nb\nc\n",
    "nums": b"-2\n0.5\n1K\n3M\n",
    "vers": b"v1.2\nv1.10\nv2.0~rc1\nv2.0\n",
    "r1": b"9\n5\n1\n",
    "r2": b"8\n5\n2\n",
    "list": b"a\0b\0dup\0",
    "z": b"b\0a\0",
}

CASES = [
    ["-c", "a"], ["-C", "u"], ["--check=quiet", "u"], ["--check=silent", "u"],
    ["--check=diagnose-first", "u"], ["--check", "dup"], ["-cu", "dup"], ["-c", "-k2,2n", "a"],
    ["-c", "-z", "z"], ["-c", "-"], ["-c", "a", "b"], ["-c", "-o", "out", "a"], ["-c", "-C", "a"],
    ["-c", "missing"], ["-hc", "nums"], ["-Vc", "vers"],
    ["-m", "a", "b"], ["-m", "a", "-"], ["-m", "-k2,2n", "r1", "r2"], ["-m", "r1", "a", "r2"],
    ["--merge", "--batch-size=2", "-T", ".", "a", "b", "dup", "nums"],
    ["-m", "a", "missing"], ["-m", "-o", "a", "a", "b"],
    ["-o", "a", "a", "b"], ["-o", "u", "-u", "u", "dup"],
    ["--files0-from", "list"], ["--files0-from=-"], ["--files0-from", "list", "a"],
    ["--files0-from", "missing"],
    ["-T", "no/such/dir", "-T", ".", "u", "a"], ["--sort=month", "u"],
    ["-s", "-k1,1", "-f", "b", "a"], ["-k1,1", "-f", "b", "u"], ["-S", "1P", "u"],
    ["-o", "x", "-o", "y", "u"],
    # Long options by any prefix, each meaning what it means for `sort`.
    ["--rev", "u"], ["--p=1", "u"], ["--st", "-k1,1f", "u"], ["--t", ".", "u"], ["--s", "u"],
    ["--uniq", "--ignore-c", "u"], ["--files0=list"],
    # The obsolete key positions.
    ["+1", "u"], ["+0", "-1", "-r", "u", "a"], ["+1n", "-2", "a", "b"], ["+0.1", "+1nr", "u"],
]


@pytest.mark.parametrize("args", CASES, ids=" ".join)
def test_like_sort(args, tmp_path):
    # Standard input is the list of names for --files0-from=-, a line for the rest.
    stdin = b"a\0b\0" if "--files0-from=-" in args else b"m 0\n"
    compare(tmp_path, FILES, args, stdin)


@pytest.mark.parametrize("version", ["200809", "199209"])
def test_obsolete_keys_follow_posix2_version(version, tmp_path):
    compare(tmp_path, FILES, ["+1", "-2", "u"], env={"_POSIX2_VERSION": version})


@pytest.mark.parametrize("args", [["--check=loud", "a"], ["--sort=nope", "a"]], ids=" ".join)
def test_invalid_words_exit_2_with_the_list_of_valid_ones(args, tmp_path):
    """`sort` exits 1 here; every failure of the command is 2."""
    ours, theirs = in_copies(tmp_path, FILES)
    got = run_in(ours, command(), args, b"")
    expected = run_in(theirs, SORT, args, b"")
    assert got.returncode == 2 and got.stdout == b""
    assert as_sort_says(got.stderr) == expected.stderr


def test_random_order_keeps_equal_keys_together_and_follows_the_source(tmp_path):
    lines = b"".join(b"%s %d\n" % (word, i) for i, word in enumerate([b"x", b"Y", b"y", b"z", b"X"] * 40))
    source = tmp_path / "source"
    source.write_bytes(os.urandom(64))
    outs = []
    for _ in range(2):
        got = subprocess.run([command(), "-k1,1fR", f"--random-source={source}"],
                             input=lines, capture_output=True, check=True).stdout
        keys = [line.split()[0].upper() for line in got.splitlines()]
        assert sorted(got.splitlines()) == sorted(lines.splitlines())
        groups = [k for i, k in enumerate(keys) if i == 0 or keys[i - 1] != k]
        assert len(groups) == len(set(groups)) == 3  # x and X fold together, and stay together
        outs.append(got)
    assert outs[0] == outs[1]


@pytest.mark.parametrize("args", [["-k1,1"], ["-k1,1", "-u"], ["-u"], ["-k2,2", "-k1,1", "-S", "1M"]], ids=" ".join)
def test_long_runs_of_one_leading_key_like_sort(args, tmp_path):
    """Megabytes of lines whose leading fields differ only in case go out in slices."""
    rng = random.Random(5)
    words = [b"error", b"Error", b"ERROR", b"err-or", b"\xc3\xa9rror"]
    lines = b"".join(b"%s %s %d\n" % (rng.choice(words), rng.choice(words), rng.randrange(10**6))
                     for _ in range(400_000))
    compare(tmp_path, {"in": lines}, [*args, "-T", "tmp", "in"], env={"LC_ALL": "en_US.UTF-8"}, messages=False)
