"""Sort more items than fit in memory."""

# The version the command's --version says too: both come from pyproject.toml.
from _tessarune import __version__

# A bad record in an input, "NAME:LINE: message": the extension raises it, and the modules that
# read files in Python raise it too, so it comes first.
from _tessarune import InputError

__all__ = ["InputError"]

from _tessarune import Sorter

__all__ += ["Sorter"]

# The order-preserving bytes of a sort key, for callers that cut key ranges themselves.
from _tessarune import key_bytes

__all__ += ["key_bytes"]

# Whole files of lines, JSON Lines or CSV, keyed natively: the job the command runs.
from ._keys import Key
from .files import SortReport, sort_files

__all__ += ["sort_files", "SortReport", "Key"]
