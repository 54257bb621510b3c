"""Conventions of the C++ sources that a compiler does not check."""

import re
from pathlib import Path

import pytest

SOURCES = Path(__file__).resolve().parents[1] / "src" / "store_link"
COMPAT = "compat.hpp"

# (pattern, where it is allowed, why it is refused elsewhere)
RULES = [
    (r"\b_Py\w+", {COMPAT}, "private CPython API belongs in compat.hpp"),
    (r"\b__builtin_\w+|__attribute__", {COMPAT}, "compiler builtins belong in compat.hpp"),
    (r"\bPyDict_GetItem(String)?\s*\(", set(), "swallows errors: use PyDict_GetItemWithError"),
]


def code_lines(path):
    """(number, line) of a source file, comments left out."""
    keep_lines = lambda comment: "\n" * comment.group().count("\n")  # noqa: E731
    text = re.sub(r"/\*.*?\*/", keep_lines, path.read_text(), flags=re.S)
    for number, line in enumerate(text.splitlines(), 1):
        yield number, line.split("//", 1)[0]


@pytest.mark.parametrize("pattern, allowed, why", RULES, ids=[rule[2] for rule in RULES])
def test_sources_follow_the_conventions(pattern, allowed, why):
    if not SOURCES.is_dir():
        pytest.skip("the C++ sources are not beside the tests")
    sources = sorted(SOURCES.glob("*.[ch]pp"))
    assert sources
    offences = [
        "%s:%d: %s" % (path.name, number, line.strip())
        for path in sources
        if path.name not in allowed
        for number, line in code_lines(path)
        if re.search(pattern, line)
    ]
    assert offences == [], why
