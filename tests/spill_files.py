"""Looking at and damaging a sorter's spill files from the outside, for the reading tests.

A sorter spills into tmp_dir/tessarune-XXXXXX/run-NNNNNN. A run file is a sequence of blocks,
each a 16-byte header (compressed length C, raw length R, both u32 little-endian, then the u64
XXH3 hash of the raw bytes) followed by C bytes of LZ4; the raw blocks, 131072 bytes each but
the last, concatenated are the records, each a LEB128 head (kind in its low 2 bits, length N
above them): kind 0 a line of N bytes whose key is 40 line 00 00, kind 1 an N-byte key holding
its payload, kind 2 a LEB128 payload length, the N-byte key and the payload.
"""

import glob
import os
import struct
import time

RAW_BLOCK = 131072
HEADER = 16


def spill_dirs(tmp_dir):
    return sorted(glob.glob(os.path.join(str(tmp_dir), "tessarune-*")))


def run_files(tmp_dir):
    return sorted(glob.glob(os.path.join(str(tmp_dir), "tessarune-*", "run-*")))


def first_run(tmp_dir):
    runs = run_files(tmp_dir)
    assert runs, f"nothing was spilled into {tmp_dir}"
    return runs[0]


def blocks(path):
    """(file offset of the header, C, R) for every block of a run file."""
    found = []
    with open(path, "rb") as f:
        data = f.read()
    offset = 0
    while offset < len(data):
        c, r = struct.unpack_from("<II", data, offset)
        found.append((offset, c, r))
        offset += HEADER + c
    assert offset == len(data), f"{path} does not end on a block boundary"
    return found


def record_size(path, records):
    """The size in the record stream of each record of a run whose records are all one size."""
    raw = sum(r for _, _, r in blocks(path))
    assert raw % records == 0, f"{raw} raw bytes do not split into {records} equal records"
    return raw // records


def first_record_in_block(path, records, block):
    """The index of the first record that reaches into `block`: cutting the file at that block
    makes reading this record fail (all records the same size)."""
    return block * RAW_BLOCK // record_size(path, records)


def truncate_at_block(path, block):
    offset = blocks(path)[block][0]
    os.truncate(path, offset)


def patch_header(path, block, c=None, r=None):
    offset, old_c, old_r = blocks(path)[block]
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(struct.pack("<II", old_c if c is None else c, old_r if r is None else r))


def wait_for_file(path_pattern, timeout=30.0):
    deadline = time.monotonic() + timeout
    while True:
        found = sorted(glob.glob(path_pattern))
        if found:
            return found
        assert time.monotonic() < deadline, f"no file matches {path_pattern}"
        time.sleep(0.001)


def settle_spills(sorter, max_bytes, key):
    """Makes every spill started so far finish: a record that fills a half on its own starts a
    spill after the running one, and the next add waits for the running one to end. Both
    records are added under `key`, which should sort after every other key."""
    sorter.add_encoded(key, bytes(max_bytes // 2))
    sorter.add_encoded(key, b"")
