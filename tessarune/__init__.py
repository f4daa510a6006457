"""Sort more items than fit in memory."""

from _tessarune import Sorter

__all__ = ["Sorter"]

# The order-preserving bytes of a sort key, for callers that cut key ranges themselves.
from _tessarune import key_bytes

__all__ += ["key_bytes"]
