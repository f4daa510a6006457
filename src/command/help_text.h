// What --help prints.
#pragma once

#include <string_view>

namespace tessarune::command {

inline constexpr std::string_view kHelpText =
    R"(usage: tessarune [OPTIONS] [FILE ...]
   or: tessarune [OPTIONS] --files0-from=F
Sort lines (default), JSON Lines (--jsonl) or CSV (--csv) read from the FILEs, or standard
input when there is none or FILE is -, in bounded memory. Lines whose keys compare equal are
ordered by their whole text, unless -s keeps them in input order; JSON Lines and CSV records
with equal keys always keep their input order. Lines compare as the locale says (LC_ALL,
LC_COLLATE, LC_CTYPE, LC_NUMERIC, LC_TIME, LANG): as bytes in C, POSIX and C.UTF-8.

Formats:
      --jsonl               each line is a JSON value
      --csv                 comma-separated values; the header row stays first
      --delimiter C         the CSV delimiter (default ,)
      --no-header           the CSV inputs have no header row: name columns @1, @2...
      --decompress          lines too: inputs decompressed, -o F.gz/F.zst compressed
Keys:
  -k, --key KEYDEF          lines: POS1[,POS2], POS = F[.C][OPTS] with OPTS of bdfghiMnRrV,
                            counted from 1, repeatable; --jsonl, --csv: KEY[,KEY...],
                            KEY = NAME[:OPT...], NAME a dotted path, a column's name or @N,
                            "quoted" for a literal name; OPT: text (default), number,
                            timestamp, asc, desc, nulls_first, nulls_last (a null is lowest
                            unless told); e.g. -k 'user.country,amount:number:desc:nulls_last'
  -t, --field-separator SEP fields of lines end at SEP instead of at blanks (\0: NUL);
                            with --csv, the delimiter
  -b, --ignore-leading-blanks  ignore leading blanks of keys
  -d, --dictionary-order    only blanks, letters and digits count
  -f, --ignore-case         fold lower case to upper case
  -g, --general-numeric-sort  compare floating-point numbers
  -h, --human-numeric-sort  compare numbers with SI units (2K, 1G)
  -i, --ignore-nonprinting  only printable characters count
  -M, --month-sort          (unknown) < JAN < ... < DEC
  -n, --numeric-sort        compare numbers (records: the one key is a number)
  -R, --random-sort         shuffle, keeping equal keys together
      --random-source FILE  take the shuffle from FILE's bytes
  -V, --version-sort        natural order of version numbers in text
      --sort WORD           general-numeric -g, human-numeric -h, month -M, numeric -n,
                            random -R, version -V
  -r, --reverse             reverse the order (records: of every key)
  -s, --stable              equal keys keep their input order (no comparison of whole lines)
  -u, --unique              keep only the first item of each run of equal keys
  -z, --zero-terminated     lines end with NUL, not newline
Other modes:
  -c, --check, --check=diagnose-first  check that the input is sorted; report the first
                            disorder
  -C, --check=quiet, --check=silent  the same, with no report: only the exit status
  -m, --merge               merge files that are already sorted, streaming (each is checked)
      --files0-from F       read the input names from F, each ended by NUL (- : standard input)
Resources:
  -S, --max-bytes, --buffer-size SIZE  memory for items: a number of KiB, or with a suffix
                            b, K, M, G, T, P, E, or % of the memory (default 256M; less than
                            64K counts as 64K)
      --threads, --parallel N  sorting threads (default: the processors, at most 8)
  -T, --tmp-dir, --temporary-directory DIR  where to spill (repeated: the first usable;
                            default $TMPDIR, else /tmp)
      --max-open, --batch-size N  runs merged at once (default 64)
Output:
  -o, --output FILE         write to FILE, replaced only once the sort succeeded (a link's
                            target is replaced; a FIFO or device is written to directly)
      --progress            show a progress bar on standard error when it is a terminal
                            (default: no bar)
      --stats               print what the sort did to standard error
      --help                show this help
      --version             print the version

The obsolete key syntax +POS1 [-POS2], counted from 0, is also read.
)";

}  // namespace tessarune::command
