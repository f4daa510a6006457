"""Sort more items than fit in memory."""

from _tessarune import Sorter

__all__ = ["Sorter"]
