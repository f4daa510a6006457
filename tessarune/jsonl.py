"""What a JSON Lines file holds, the same for the command line and tessarune.dask.

Every line is one JSON value, except that a line of only whitespace is no item and is skipped,
and a UTF-8 byte order mark at the start of a file (which some editors write) is not part of
its first line.
"""

BOM = b"\xef\xbb\xbf"


def without_bom(first_line):
    return first_line[len(BOM):] if first_line.startswith(BOM) else first_line


def is_blank(line):
    """For a line with its newline, which makes it never empty."""
    return line.isspace()
