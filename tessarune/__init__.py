"""Sort more items than fit in memory."""

from _tessarune import Sorter

__all__ = ["Sorter"]

# The order-preserving bytes of a sort key, for callers that cut key ranges themselves.
from _tessarune import key_bytes

__all__ += ["key_bytes"]

# Whole files of lines, JSON Lines or CSV, keyed natively: what the command line runs.
from .files import SortReport, sort_files

__all__ += ["sort_files", "SortReport"]
