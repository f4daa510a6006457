"""Keys as Python callers give them, folded into the key texts of the command's -k syntax.

sort_files and the cluster's sort_files both take `key`, `reverse` and `nulls_last` in the forms
the README lists (str keys, `Key` objects, per-key lists) and hand the native side one canonical
text per key, plus a global reverse flag only when `reverse` was one bool. The native side then
reads exactly what the command would read for `-k TEXT -k TEXT ...`.

A record key's text is NAME[:OPTION]...; a JSON NAME is dotted steps, a CSV NAME a column name or
@N (counted from 1). A step or name that holds a character the syntax gives a meaning to is
written in double quotes, with \\" and \\\\ its only escapes.
"""

from __future__ import annotations

from dataclasses import dataclass

TYPES = ("text", "number", "timestamp")
_TYPE_OPTIONS = {"text": "text", "number": "number", "n": "number", "timestamp": "timestamp"}
_DIRECTION_OPTIONS = {"asc": False, "desc": True, "r": True}
_NULL_OPTIONS = {"nulls_first": False, "nulls_last": True}


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


@dataclass
class _Parsed:
    """One record key, read: its steps (JSON) or its one name (CSV) or its column (from 1)."""

    steps: list[str] | None
    column: int | None
    type: str | None  # None: not given
    descending: bool
    nulls_last: bool | None


def _quote(step: str) -> str:
    return '"' + step.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _name_text(parsed: _Parsed, csv: bool) -> str:
    if parsed.column is not None:
        return f"@{parsed.column}"
    if csv:
        (name,) = parsed.steps
        plain = name and not any(c in name for c in ',:"') and not name.startswith("@")
        return name if plain else _quote(name)
    return ".".join(s if s and not any(c in s for c in '.,:"') else _quote(s) for s in parsed.steps)


def _key_text(parsed: _Parsed, csv: bool) -> str:
    text = _name_text(parsed, csv)
    if parsed.type is not None:
        text += ":" + parsed.type
    if parsed.descending:
        text += ":desc"
    if parsed.nulls_last is not None:
        text += ":nulls_last" if parsed.nulls_last else ":nulls_first"
    return text


class _Reader:
    """Reads KEYS, a comma-separated list of NAME[:OPTION]..., from one str."""

    def __init__(self, text: str, csv: bool) -> None:
        self.text, self.csv, self.at = text, csv, 0

    def error(self, why: str) -> ValueError:
        return ValueError(f"{why} in the key {self.text!r}")

    def peek(self) -> str:
        return self.text[self.at] if self.at < len(self.text) else ""

    def quoted(self) -> str:
        self.at += 1
        out = []
        while True:
            c = self.peek()
            if not c:
                raise self.error("a quoted name has no closing quote")
            self.at += 1
            if c == '"':
                return "".join(out)
            if c == "\\":
                escaped = self.peek()
                if escaped not in ('"', "\\") or not escaped:
                    raise self.error('a quoted name escapes only \\" and \\\\')
                self.at += 1
                c = escaped
            out.append(c)

    def plain(self, ends: str) -> str:
        start = self.at
        while self.peek() and self.peek() not in ends:
            if self.peek() == '"':
                raise self.error('a name holds a " outside quotes')
            self.at += 1
        if start == self.at:
            raise self.error("a name is empty")
        return self.text[start:self.at]

    def name(self) -> tuple[list[str] | None, int | None]:
        if self.csv:
            if self.peek() == '"':
                return [self.quoted()], None
            name = self.plain(",:")
            if not name.startswith("@"):
                return [name], None
            digits = name[1:]
            if not (digits.isascii() and digits.isdigit()) or int(digits) < 1:
                raise self.error(f"a column is @N with N from 1, not {name!r} (quote a name that starts with @)")
            return None, int(digits)
        steps = [self.quoted() if self.peek() == '"' else self.plain(".,:")]
        while self.peek() == ".":
            self.at += 1
            steps.append(self.quoted() if self.peek() == '"' else self.plain(".,:"))
        return steps, None

    def key(self) -> _Parsed:
        steps, column = self.name()
        if self.peek() not in ("", ",", ":"):
            raise self.error("a quoted name runs on past its closing quote")
        parsed = _Parsed(steps, column, None, False, None)
        kinds = set()
        while self.peek() == ":":
            self.at += 1
            end = self.at
            while end < len(self.text) and self.text[end] not in ",:":
                end += 1
            option, self.at = self.text[self.at:end], end
            for kind, table in (("type", _TYPE_OPTIONS), ("direction", _DIRECTION_OPTIONS),
                                ("nulls", _NULL_OPTIONS)):
                if option in table:
                    break
            else:
                raise self.error(f"unknown option {option!r}")
            if kind in kinds:
                raise self.error(f"a second {kind} option {option!r}")
            kinds.add(kind)
            if kind == "type":
                parsed.type = table[option]
            elif kind == "direction":
                parsed.descending = table[option]
            else:
                parsed.nulls_last = table[option]
        return parsed

    def keys(self) -> list[_Parsed]:
        found = [self.key()]
        while self.peek() == ",":
            self.at += 1
            found.append(self.key())
        return found


def _from_key(key: Key, csv: bool) -> _Parsed:
    name = key.name
    type_ = None if key.type == "text" else key.type
    if isinstance(name, int):
        if not csv:
            raise ValueError(f"a Key's name is a column number for CSV only: {name}")
        return _Parsed(None, name + 1, type_, key.descending, key.nulls_last)
    if isinstance(name, tuple):
        if csv and len(name) != 1:
            raise ValueError(f"a CSV column is one name, not {name!r}")
        return _Parsed(list(name), None, type_, key.descending, key.nulls_last)
    (parsed,) = _parsed_keys(name, csv, whole=True)
    if parsed.type is not None or parsed.descending or parsed.nulls_last is not None:
        raise ValueError(f"a Key's name holds no options; give them as its arguments: {name!r}")
    return _Parsed(parsed.steps, parsed.column, type_, key.descending, key.nulls_last)


def _parsed_keys(text: str, csv: bool, whole: bool = False) -> list[_Parsed]:
    reader = _Reader(text, csv)
    if whole:
        found = [_Reader.key(reader)]
        if reader.peek():
            raise reader.error("a Key's name is one name")
        return found
    return reader.keys()


def _per_key(value, count: int, what: str, allow_none: bool) -> list:
    """`value` as one setting per key: a bool (or None) for every key, or a list of them."""
    allowed = "None, a bool" if allow_none else "a bool"
    if value is None and allow_none or isinstance(value, bool):
        return [value] * count
    if not isinstance(value, (list, tuple)):
        raise TypeError(f"{what} must be {allowed} or a list of them, not {type(value).__name__}")
    for item in value:
        if not (isinstance(item, bool) or (allow_none and item is None)):
            raise TypeError(f"{what} must hold {allowed.replace('a bool', 'bools')}, not {item!r}")
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


def fold_keys(key, format: str, *, reverse=False, nulls_last=None, header: bool = True) -> tuple[list[str], bool]:
    """The key texts for the native side, one per key, and the global reverse flag.

    `key` is not a function here. For lines each str is one -k field ("2,2n"); a per-key
    reverse appends the r modifier to it. For JSON Lines and CSV each str holds one or more keys;
    per-key reverse flips a key's direction and per-key nulls_last sets where its nulls go.
    """
    items = _key_items(key)
    if format == "lines":
        for item in items:
            if not isinstance(item, str):
                raise TypeError(f"a key of lines is a str of -k fields such as '2,2n', not {item!r}")
        if nulls_last is not None:
            raise ValueError("nulls_last applies to keys of JSON Lines and CSV, not of lines")
        if isinstance(reverse, bool):
            return items, reverse
        flips = _per_key(reverse, len(items), "reverse", allow_none=False)
        return [text + "r" if flip else text for text, flip in zip(items, flips)], False

    csv = format == "csv"
    parsed: list[_Parsed] = []
    for item in items:
        if isinstance(item, Key):
            parsed.append(_from_key(item, csv))
        elif isinstance(item, str):
            parsed.extend(_parsed_keys(item, csv))
        else:
            raise TypeError(f"a key is a str or a tessarune.Key, not {item!r}")
    if csv and not header:
        named = [p for p in parsed if p.column is None]
        if named:
            raise ValueError(f"without a header a CSV column is @N (from 1) or a Key of an int, not "
                             f"{_name_text(named[0], True)!r}")
    flips = [False] * len(parsed) if isinstance(reverse, bool) else _per_key(reverse, len(parsed), "reverse", False)
    nulls = _per_key(nulls_last, len(parsed), "nulls_last", allow_none=True)
    for p, flip, null in zip(parsed, flips, nulls):
        p.descending ^= flip
        if null is not None:
            if p.nulls_last is not None and p.nulls_last != null:
                raise ValueError(f"the key {_key_text(p, csv)!r} has its own nulls option, "
                                 f"which nulls_last={null} contradicts")
            p.nulls_last = null
    return [_key_text(p, csv) for p in parsed], isinstance(reverse, bool) and reverse
