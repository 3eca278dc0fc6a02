"""Hostile-input limits: counts that promise more than the input holds, the
inflation cap, nesting through every container, and streams of 100 MB."""

import os
import re
import time
import tracemalloc
import zlib

import pytest

import vellum
from vellum import _vellum

from streams import HUGE_COUNTS

LOAD_DEPTH = "Profundidad de anidamiento excesiva (>200) al deserializar"
WALK_DEPTH = "Profundidad de anidamiento excesiva (>200)"


def peak_of(call, *args):
    tracemalloc.start()
    try:
        result = call(*args)
        return result, tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("show", [False, True])
@pytest.mark.parametrize("hexstream", HUGE_COUNTS)
def test_huge_count_walks_without_allocating(hexstream, show):
    report, peak = peak_of(_vellum.verify_stream_fast, bytes.fromhex(hexstream), show)
    assert not report.ok and report.error.startswith("EOF")
    assert peak < 1 << 20


def bomb(filler, plain=4000):
    """A bytes value whose compressed block holds `plain` incompressible bytes
    then `filler` zeros: the inflated size grows far faster than the block."""
    payload = zlib.compress(os.urandom(plain) + bytes(filler), 9)
    n = len(payload)
    return b"\x06\xfb\x1b\x80" + n.to_bytes(4, "big") + payload, plain + filler


# Four inflate attempts end at 64 * (4n + 256) bytes for an n-byte block.
@pytest.mark.parametrize("filler, fits", [(900_000, True), (3_000_000, False), (50_000_000, False)])
def test_inflation_stops_at_its_cap(filler, fits):
    stream, size = bomb(filler)
    n = len(stream) - 8
    assert (size <= 64 * (4 * n + 256)) == fits
    if fits:
        assert len(vellum.loads(stream)) == size
    else:
        with pytest.raises(ValueError):
            vellum.loads(stream)
    assert _vellum.verify_stream_fast(stream).ok  # the plain walk never inflates


NESTINGS = [
    # (the bytes that open one level, the innermost value)
    (b"\x14\x01", b"\xc0"),  # list
    (b"\x08\x01", b"\xc0"),  # plain list
    (b"\x16\x01", b"\xc0"),  # tuple: its entry comes after the items
    (b"\x13\x01\xc1", b"\xc0"),  # dict value
    (b"\x0c\x01\xc1", b"\xc0"),  # plain dict value
]


@pytest.mark.parametrize("opening, inner", NESTINGS)
@pytest.mark.parametrize("levels, loads", [(199, True), (200, False)])
def test_nesting_limit_of_the_loader(opening, inner, levels, loads):
    stream = opening * levels + inner  # the inner value is level `levels`
    if loads:
        vellum.loads(stream)
    else:
        with pytest.raises(ValueError, match=re.escape(LOAD_DEPTH)):
            vellum.loads(stream)


@pytest.mark.parametrize("opening, inner", NESTINGS + [(b"\x2a", b"\x13\x00")])
@pytest.mark.parametrize("levels, ok", [(200, True), (201, False)])
def test_nesting_limit_of_the_verifier(opening, inner, levels, ok):
    report = _vellum.verify_stream_fast(opening * levels + inner)
    assert report.ok == ok
    assert ok or report.error == WALK_DEPTH


def self_referencing_dict(size):
    """A dict whose one key is set again and again to the dict itself:
    13 count, the key "a" (entry 1), then pairs FE 01 FE 00."""
    pairs = (size - 9) // 4
    return b"\x13\x80" + pairs.to_bytes(4, "big") + b"\x15\x01a\xc0" + b"\xfe\x01\xfe\x00" * (pairs - 1)


def best_time(call, stream, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        call(stream)
        best = min(best, time.perf_counter() - start)
    return best


@pytest.mark.parametrize("call", [vellum.loads, _vellum.verify_stream_fast], ids=["loads", "verify"])
def test_hundred_megabytes_of_references_take_linear_time(call):
    small, big = self_referencing_dict(10 << 20), self_referencing_dict(100 << 20)
    if call is vellum.loads:
        d = call(small)
        assert list(d) == ["a"] and d["a"] is d
    else:
        assert call(big).ok
    ratio = best_time(call, big, 1) / best_time(call, small, 3)
    vellum.loads(b"\x00")
    assert ratio < 25  # ten times the input; a quadratic walk would be near 100
