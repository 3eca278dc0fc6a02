"""Every input that ever broke the codec (a crash, a hang, unbounded memory or
a verdict of "runs nothing" that did not hold) replayed through the fuzzer's
own checks. Files in tests/corpus are raw streams, named after what they hit."""

import os

import oracle
import pytest

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")

NAMES = sorted(n for n in os.listdir(CORPUS) if not n.startswith("."))


def test_corpus_is_not_empty():
    assert NAMES


@pytest.mark.parametrize("name", NAMES)
def test_corpus_input_keeps_every_property(name):
    with open(os.path.join(CORPUS, name), "rb") as f:
        oracle.check(f.read())
