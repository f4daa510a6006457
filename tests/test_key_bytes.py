"""tessarune.key_bytes: the engine's key bytes, in Python's order, refusing what add refuses."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tessarune
from test_keys import KIND_MESSAGE, NESTING_MESSAGE, WORKED_EXAMPLES, assert_order_matches, keys, property_settings


class PublicEncoder:
    encode_key = staticmethod(tessarune.key_bytes)


@pytest.mark.parametrize(("key", "expected"), WORKED_EXAMPLES, ids=lambda v: repr(v)[:40])
def test_key_bytes_are_the_engines(key, expected):
    assert tessarune.key_bytes(key) == expected


@property_settings
@given(st.lists(keys, min_size=2, max_size=8))
def test_key_bytes_order_matches_python(values):
    assert_order_matches(PublicEncoder, values)


class IndexRaises:
    def __index__(self):
        raise ValueError("no index")


def nested(levels):
    key = ()
    for _ in range(levels - 1):
        key = (key,)
    return key


@pytest.mark.parametrize(("key", "kind", "message"), [
    ({}, TypeError, KIND_MESSAGE + "dict"),
    (nested(257), RecursionError, NESTING_MESSAGE),
    ([1, (2, 1j)], TypeError, KIND_MESSAGE + "complex"),
    (IndexRaises(), ValueError, "no index"),
], ids=["dict", "too deep", "nested complex", "index raises"])
def test_key_bytes_refuses_as_add_does(key, kind, message):
    with pytest.raises(kind) as from_add:
        tessarune.Sorter().add_encoded(key, b"")
    with pytest.raises(kind) as from_key_bytes:
        tessarune.key_bytes(key)
    assert str(from_key_bytes.value) == str(from_add.value) == message


def test_key_bytes_is_exported():
    assert "key_bytes" in tessarune.__all__
