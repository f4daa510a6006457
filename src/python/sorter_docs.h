// The docstrings of Sorter and its methods. Each begins with the text signature, ended by
// a line "--" and an empty line, from which the interpreter makes __text_signature__.
#pragma once

namespace tessarune::python {

inline constexpr const char kSorterDoc[] =
    "Sorter(key=None, *, reverse=False, codec=None, max_bytes=268435456, tmp_dir=None, max_open=64, "
    "threads=1)\n"
    "--\n"
    "\n"
    "Sort more items than fit in memory: add them, then sort them once.\n"
    "\n"
    "Each item is turned into a sort key by `key`, or is its own key, and into bytes by `codec`, or\n"
    "by pickle, once, as it is added. Keys and bytes, and 16 bytes more for each item, are held in at\n"
    "most `max_bytes` of memory, unless one item alone needs more. Once half of that is full, a\n"
    "background thread sorts it and writes it, compressed with LZ4, to a private directory in\n"
    "`tmp_dir` while the other half fills. Sorting merges what was written with what is held, so\n"
    "items come out in key order, and items with equal keys come out in the order they were\n"
    "added. A merge reads at most `max_open` runs at once, each a block of up to 128 KiB at a\n"
    "time, holding the block and room for it compressed, about 269 KiB, and its next item, so it\n"
    "takes about `max_open` times the largest item, plus those blocks, besides what is held.\n"
    "\n"
    "The private directory is removed when reading ends, on `close()`, when a `with` block exits,\n"
    "or when the sorter is garbage collected. Threads sharing a sorter take turns, and a sorter\n"
    "must not be shared across a fork: make a new one in the child.\n"
    "\n"
    "Ctrl-C, or any signal handler that raises, interrupts waiting for a spill, merging, and\n"
    "reading; an interrupted merge or read ends the sort and removes what was spilled, which can take\n"
    "a moment when much was spilled, and the sorter then refuses to be read again.\n"
    "\n"
    "Args:\n"
    "    key: A function returning the sort key of an item: an int, float, Decimal, Fraction, str,\n"
    "        bytes, None, date, datetime, time, UUID, or a tuple or list of them, compared as Python\n"
    "        compares them (`key_bytes` tells how, and the order where Python refuses). None sorts\n"
    "        items by themselves. The first datetime decides whether the sorter's datetimes are\n"
    "        naive or aware; a key holding the other kind raises TypeError. NumPy integers, like\n"
    "        anything with `__index__`, are ints, and `np.float64`, `np.str_` and `np.bytes_` are a\n"
    "        float, a str and bytes; other NumPy scalars, such as `np.float32` and `np.bool_`, raise\n"
    "        TypeError, so convert them first.\n"
    "    reverse: Sort keys in descending order. Items with equal keys still come out in the order\n"
    "        they were added, as with `sorted(reverse=True)`.\n"
    "    codec: Encodes each item into bytes and decodes it back; pickle if None.\n"
    "    max_bytes: The most memory to hold keys and encoded items in, counting 16 bytes more for\n"
    "        each, at least 2.\n"
    "    tmp_dir: The directory to spill into, which must be writable, or None for\n"
    "        `tempfile.gettempdir()`.\n"
    "    max_open: The most spilled runs to merge at once, at least 2; more are merged in passes.\n"
    "    threads: The threads that sort each half and compress each run: with 1, the thread that\n"
    "        spills it, and with more, a pool of this sorter's own. Writing a run holds, beyond\n"
    "        `max_bytes`, a 1 MiB buffer of what it writes and, for each block compressed at once,\n"
    "        a 128 KiB block and room for it compressed, about 269 KiB: one block with 1 thread, and\n"
    "        with more, two for each thread, but at most 16, about 4.2 MiB.\n"
    "\n"
    "Raises:\n"
    "    TypeError: If `key` is not callable, or `codec` lacks `encode` and `decode` methods.\n"
    "    ValueError: If `max_bytes` or `max_open` is less than 2, or `threads` is less than 1.\n"
    "    OSError: If `tmp_dir` is not a directory, or a directory cannot be made in it.";

inline constexpr const char kAddDoc[] =
    "add($self, item, /)\n"
    "--\n"
    "\n"
    "Add an item, keyed and encoded now.\n"
    "\n"
    "Raises:\n"
    "    TypeError: If the key is not a sort key, or holds datetimes of the other kind (naive or\n"
    "        aware) than earlier keys, or the codec does not return bytes.\n"
    "    ValueError: If the sorter is closed, or a Decimal or Fraction key is beyond the limits\n"
    "        that `key_bytes` gives.\n"
    "    RuntimeError: If the sorter has been read, or an earlier error lost items.\n"
    "    OSError: If spilling to disk fails.";

inline constexpr const char kAddEncodedDoc[] =
    "add_encoded($self, key, payload, /)\n"
    "--\n"
    "\n"
    "Add bytes that the codec would decode, with their sort key, calling neither.\n"
    "\n"
    "The key is taken as `add` takes one, reversed too when the sorter is. `key_bytes(k)`, as a\n"
    "bytes key, sorts as k itself does, in either direction.";

inline constexpr const char kSortDoc[] =
    "sort($self, items=None, /)\n"
    "--\n"
    "\n"
    "Add every item given, then return every item added, decoded, in sorted order.\n"
    "\n"
    "Items are keyed and encoded as they are added. A sorter can be sorted only once; items\n"
    "given before one that fails stay added, and the sorter is not sorted. Once the iterator\n"
    "raises, as when decoding an item fails, it ends, as a generator does.\n"
    "\n"
    "Raises:\n"
    "    TypeError: If a key is not a sort key, or holds datetimes of the other kind (naive or\n"
    "        aware) than earlier keys, or the codec does not return bytes.\n"
    "    ValueError: If the sorter is closed, which the iterator raises too once it is, or a\n"
    "        Decimal or Fraction key is beyond the limits that `key_bytes` gives.\n"
    "    RuntimeError: If the sorter has been sorted, or an earlier error lost items.\n"
    "    OSError: If spilling, or reading what was spilled, fails.";

inline constexpr const char kEncodedDoc[] =
    "encoded($self)\n"
    "--\n"
    "\n"
    "Return the encoded items, as bytes, in sorted order, decoding none of them.";

inline constexpr const char kWriteToDoc[] =
    "write_to($self, handle)\n"
    "--\n"
    "\n"
    "Write every encoded item, in sorted order, to a binary handle, in chunks of about 1 MiB.\n"
    "\n"
    "The next chunk is merged on another thread while the handle writes this one. This reads\n"
    "the sorter, so it can be done only once.";

inline constexpr const char kCloseDoc[] =
    "close($self)\n"
    "--\n"
    "\n"
    "Drop every item and remove what was spilled; closing again does nothing.\n"
    "\n"
    "A `write_to` already running in another thread is not stopped: it writes every item, then\n"
    "removes what was spilled.";

inline constexpr const char kEnterDoc[] =
    "__enter__($self)\n"
    "--\n"
    "\n"
    "";

inline constexpr const char kExitDoc[] =
    "__exit__($self, *_exc_info)\n"
    "--\n"
    "\n"
    "";

inline constexpr const char kClassGetitemDoc[] =
    "__class_getitem__($cls, key)\n"
    "--\n"
    "\n"
    "";

inline constexpr const char kStatsDoc[] =
    "stats($self)\n"
    "--\n"
    "\n"
    "Return what the sorter has done so far, as a named tuple.\n"
    "\n"
    "items and bytes_in count what was added (key and encoded bytes); runs_spilled the runs\n"
    "that spills wrote and merge_passes the passes that merged runs before the final merge;\n"
    "bytes_spilled the record bytes of every run written and bytes_spilled_compressed what\n"
    "reached the files; peak_memory the most memory held for items at once, counted as\n"
    "max_bytes counts it. The times, in seconds: fill_seconds from the sorter's making to the\n"
    "start of its read, spill_wait_seconds of waiting for spills, spill_seconds of the spill\n"
    "threads' work (alongside adding), merge_pass_seconds, last_sort_seconds of sorting what was\n"
    "held at the read, and read_seconds from the start of the read to its end, or to now.";

inline constexpr const char kStatsTypeDoc[] =
    "What a sorter has done: counts of items, runs and bytes, and the time of each phase.";

inline constexpr const char kAddLinesDoc[] =
    "_add_lines($self, buffer, sep, reverse=False, /)\n"
    "--\n"
    "\n"
    "Add every complete line of a buffer, ended by the byte sep, and return how many bytes\n"
    "that was. Each line without its separator is both its key, as bytes, and its payload\n"
    "(stored once where it can be); with reverse true, the keys sort in descending order.\n"
    "_write_lines puts the separators back.";

inline constexpr const char kWriteLinesDoc[] =
    "_write_lines($self, handle, sep, /, *, unique=False)\n"
    "--\n"
    "\n"
    "Write every encoded item, in order, as write_to does, each followed by the byte sep\n"
    "(None: as it is). With unique true, an item whose key bytes equal the previous item's\n"
    "is left out.";

inline constexpr const char kAddKeyedDoc[] =
    "_add_keyed($self, buffer, plan, at_end, /)\n"
    "--\n"
    "\n"
    "Add the complete records of a buffer of lines, JSON Lines or CSV, each keyed natively\n"
    "as the plan says, and return (bytes taken, lines taken, None), or with the message of\n"
    "the bad record that the adding stopped before in place of None. at_end: no input\n"
    "follows the buffer.";

inline constexpr const char kAddFramedDoc[] =
    "_add_framed($self, buffer, /)\n"
    "--\n"
    "\n"
    "Add every record of the whole bucket blocks at the front of a buffer, made by\n"
    "_bucket_records, under the key bytes they carry, and return how many bytes those blocks\n"
    "took. A damaged block raises ValueError.";

}  // namespace tessarune::python
