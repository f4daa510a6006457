"""The native CSV scanner and key against the Python reader (tests/reference_formats.py), which
is Python's csv module: on generated files full of awkward records, the same records, cells,
payload bytes and keys, and the same first error on the same line."""

import io
import os
import random

import pytest

from reference_formats import CsvKey, CsvRows
from tessarune import InputError

RECORDS = 1_000_000 if os.environ.get("TESSARUNE_SLOW") == "1" else 100_000
COLUMNS = [f"c{i}" for i in range(6)]

# The last one is a stray quote: kept in an unquoted field, not generated inside a quoted one.
TEXT = ["a", "b", "Z", "0", "7", " ", "\t", "-", ".", "é", "€", "😀", "\x00", "'", "x\"y"]
NUMBERS = ["", " -12.50", "1_000", "٣", "nan", "+5", "1e5", "-0", "00.00", "\t3", "-.5", "12abc",
           "  - 3", "99999999999999999999", "0.000", "-007.70"]
BAD_UTF8 = [b"\xff", b"\x80", b"\xc0\x80", b"\xc1\xbf", b"\xe0\x9f\xbf", b"\xed\xa0\x80", b"\xf0\x8f\xbf\xbf",
            b"\xf4\x90\x80\x80", b"\xf5\x80", b"\xe2\x82", b"\xf0\x9f\x98"]
ENDINGS = ["\n", "\r\n", "\r"]


def quoted(rng, delimiter):
    parts = rng.choices(TEXT[:-1] + [delimiter, '""', "\n", "\r\n", "\r"], k=rng.randrange(6))
    return '"' + "".join(parts) + '"'


def field(rng, delimiter):
    kind = rng.random()
    if kind < 0.3:
        return rng.choice(NUMBERS)
    if kind < 0.55:
        return quoted(rng, delimiter)
    # Unquoted: a quote inside is kept, one in front opens a quoted field.
    return "".join(rng.choices(TEXT, k=rng.randrange(5)))


def make_file(rng):
    """A CSV file and its delimiter; some files carry one fault."""
    delimiter = rng.choice([",", ",", ";", "\t", "|", " ", "a", "\x00"])
    lines = []
    for _ in range(rng.randrange(1, 200)):
        if rng.random() < 0.05:
            lines.append(rng.choice(ENDINGS))  # a blank line
            continue
        cells = [field(rng, delimiter) for _ in range(rng.randrange(1, 7))]
        if rng.random() < 0.0001:
            cells.append('"' + 'q""\n' + "q" * 140_000 + '"')  # beyond the csv module's default limit
        lines.append(delimiter.join(cells) + rng.choice(ENDINGS))
    if rng.random() < 0.3:
        lines[-1] = lines[-1].rstrip("\r\n")
    data = "".join(lines).encode()
    fault = rng.random()
    if fault < 0.1:
        at = rng.randrange(len(data) + 1)
        data = data[:at] + rng.choice(BAD_UTF8) + data[at:]
    elif fault < 0.15:
        data += rng.choice([b'"open', b'"open\n', b'"x\r\n\r\n', b'\xe2\x82'])
    elif fault < 0.2:
        at = rng.randrange(len(data) + 1)
        data = data[:at] + b'"q"!' + data[at:]  # text after a closing quote
    if rng.random() < 0.1:
        data = b"\xef\xbb\xbf" + data
    return data, delimiter


def reference(data, delimiter, keyer):
    """[(first line, cells, payload, key or key error)], and the error as 'LINE: message'."""
    rows = CsvRows(io.BytesIO(data), delimiter, "f")
    records = []
    try:
        for row, payload in rows:
            try:
                key = keyer(row)
            except ValueError as e:
                key = str(e)
            records.append((rows.line, [c.encode() for c in row], payload, key))
    except InputError as e:
        return records, f"{e.line}: {e.message}"
    return records, None


def native(keytest, data, delimiter, columns, piece):
    try:
        scanned = keytest.csv_records(data, delimiter.encode(), piece)
    except ValueError as e:
        return None, str(e)
    records = []
    for raw, first_line, fields in scanned:
        try:
            key = keytest.csv_key(fields, columns)
        except IndexError as e:
            key = str(e)
        payload = raw if raw.endswith((b"\n", b"\r")) else raw + b"\n"
        records.append((first_line, fields, payload, key))
    return records, None


def test_native_csv_matches_the_python_reader(keytest):
    seed = int(os.environ.get("TESSARUNE_SEED", random.randrange(1 << 30)))
    compared = errors = 0
    file_number = 0
    while compared < RECORDS:
        rng = random.Random(seed + file_number)
        data, delimiter = make_file(rng)
        columns = rng.choices(range(len(COLUMNS)), k=rng.randrange(1, 4))
        piece = rng.choice([0, 0, 1, rng.randrange(2, 64), 4096])
        keyer = CsvKey(COLUMNS, [COLUMNS[c] for c in columns], "f")
        want, want_error = reference(data, delimiter, keyer)
        got, got_error = native(keytest, data, delimiter, columns, piece)
        where = (f"file {file_number} of TESSARUNE_SEED={seed}, piece {piece}, "
                 f"data {data[:300]!r}")
        assert got_error == want_error, where
        if want_error is None:
            assert got == want, where
            compared += len(want)
        else:
            errors += 1
        file_number += 1
    # The generator makes each kind of fault often enough to matter.
    assert errors > file_number // 10, f"only {errors} of {file_number} files failed"
