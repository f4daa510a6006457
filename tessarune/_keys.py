"""Keys as Python callers give them: `Key`, and the shapes of `key`, `reverse` and `nulls_last`.

sort_files and the cluster's sort_files both take them in the forms the README lists (str keys in
the command's -k syntax, `Key` objects, per-key lists). The native side reads the keys of JSON
Lines and CSV with the command's own parsing; here only their shapes are checked, and the
per-key reverse of lines, which the -k syntax says with a modifier letter, is folded in.
"""

from __future__ import annotations

from dataclasses import dataclass

TYPES = ("text", "number", "timestamp")


@dataclass(frozen=True)
class Key:
    """One key of a JSON Lines or CSV record, for `sort_files`' `key`.

    `name` is a str in the command's NAME syntax ("user.id", '"a.b".c' for the field "c" of the
    field "a.b", "@2" for a CSV's second column), a tuple of str (JSON steps, each taken
    literally), or an int (a CSV column counted from 0, as row[i] counts). `type` is "text",
    "number" or "timestamp"; `descending` the key's direction; `nulls_last` None (a null is below
    every value: first ascending, last descending), True or False. Frozen: a value, hashable.

    Raises:
        TypeError: If an argument is of the wrong type.
        ValueError: If `type` is unknown or the column is negative.
    """

    name: str | tuple[str, ...] | int
    type: str = "text"
    descending: bool = False
    nulls_last: bool | None = None

    def __post_init__(self) -> None:
        name = self.name
        if isinstance(name, bool) or not isinstance(name, (str, tuple, int)):
            raise TypeError(f"a Key's name must be a str, a tuple of str or an int, not {type(name).__name__}")
        if isinstance(name, tuple) and (not name or not all(isinstance(s, str) for s in name)):
            raise TypeError(f"a Key's name as a tuple must hold one or more str: {name!r}")
        if isinstance(name, int) and name < 0:
            raise ValueError(f"a Key's column counts from 0: {name}")
        if self.type not in TYPES:
            raise ValueError(f"a Key's type must be one of {', '.join(TYPES)}, not {self.type!r}")
        if not isinstance(self.descending, bool):
            raise TypeError(f"a Key's descending must be a bool, not {type(self.descending).__name__}")
        if self.nulls_last is not None and not isinstance(self.nulls_last, bool):
            raise TypeError(f"a Key's nulls_last must be None or a bool, not {type(self.nulls_last).__name__}")


def _per_key(value, count: int, what: str) -> list:
    """`reverse` of lines as one bool per key: one bool for every key, or a list of them."""
    if isinstance(value, bool):
        return [value] * count
    if not isinstance(value, (list, tuple)):
        raise TypeError(f"{what} must be a bool or a list of them, not {type(value).__name__}")
    for item in value:
        if not isinstance(item, bool):
            raise TypeError(f"{what} must hold bools, not {item!r}")
    if len(value) != count:
        raise ValueError(f"{what} has {len(value)} items for {count} keys")
    return list(value)


def _key_items(key) -> list:
    if key is None:
        return []
    if isinstance(key, (str, Key)):
        return [key]
    if isinstance(key, (list, tuple)):
        return list(key)
    raise TypeError(f"key must be None, a str, a tessarune.Key, a list of them or a function, "
                    f"not {type(key).__name__}")


def fold_keys(key, format: str, *, reverse=False, nulls_last=None) -> dict:
    """The native side's `key`, `reverse` and `nulls_last` keywords. `key` is not a function.

    For lines each str is one -k field ("2,2n"); a per-key reverse appends the r modifier to it.
    JSON Lines and CSV keys pass as they are, str or Key, for the native side to read.
    """
    items = _key_items(key)
    if format == "lines":
        for item in items:
            if not isinstance(item, str):
                raise TypeError(f"a key of lines is a str of -k fields such as '2,2n', not {item!r}")
        if nulls_last is not None:
            raise ValueError("nulls_last applies to keys of JSON Lines and CSV, not of lines")
        if isinstance(reverse, bool):
            return {"key": items, "reverse": reverse}
        flips = _per_key(reverse, len(items), "reverse")
        return {"key": [text + "r" if flip else text for text, flip in zip(items, flips)], "reverse": False}
    for item in items:
        if not isinstance(item, (str, Key)):
            raise TypeError(f"a key is a str or a tessarune.Key, not {item!r}")
    return {"key": items, "reverse": reverse, "nulls_last": nulls_last}
