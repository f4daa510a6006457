"""Shared pytest setup.

scripts/test.sh builds the test-only extensions into one directory and names it in
TESSARUNE_TESTING_DIR; that directory goes first on sys.path so they can be imported.
"""

import importlib
import os
import sys

import pytest

TESTING_DIR = os.environ.get("TESSARUNE_TESTING_DIR")
if TESTING_DIR:
    sys.path.insert(0, os.path.abspath(TESTING_DIR))


def import_testing_module(name):
    """Imports a test-only extension, skipping the test when no testing build is named.

    When TESSARUNE_TESTING_DIR is set, a module that does not import is an error, not a skip.
    """
    if not TESTING_DIR:
        pytest.skip(f"{name} is built only with the tests: set TESSARUNE_TESTING_DIR to that build directory")
    return importlib.import_module(name)


@pytest.fixture(scope="session")
def keytest():
    """The _tessarune_keytest extension: encode_key(obj) -> bytes, line_key(fields, tab, z, line) -> bytes."""
    return import_testing_module("_tessarune_keytest")
