"""Malformed input: truncations, every short stream, random mutations, huge
counts and leaks on the failure paths. Loading must raise, never crash."""

import gc
import math
import tracemalloc

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vellum

from streams import HUGE_COUNTS, VALID, flush_read_table, values

ORDINARY = (ValueError, IndexError, TypeError, UnicodeDecodeError, KeyError)


def _prefix_lengths(n):
    if n <= 4096:
        return range(n)
    return sorted(set(range(256)) | set(range(n - 256, n)) | set(range(0, n, 97)))


@pytest.mark.parametrize("stream", VALID, ids=[f"{i}-{s[:6].hex()}" for i, s in enumerate(VALID)])
def test_every_proper_prefix_raises(stream):
    vellum.loads(stream)
    for k in _prefix_lengths(len(stream)):
        with pytest.raises(ORDINARY):
            vellum.loads(stream[:k])


ONE_BYTE_VALUES = {
    0x00: None,
    0x28: Ellipsis,
    0x29: NotImplemented,
    0x80: False,
    0x81: True,
    0x82: 0.0,
    0x83: -0.0,
    0x84: 1.0,
    0x85: -1.0,
    0x86: math.nan,
    0x87: math.inf,
    0x88: -math.inf,
    **{t: t - 0xC0 for t in range(0xC0, 0xFB)},
}
UNKNOWN_TAGS = {0x01, 0x0E, 0x18, 0x19, 0x1A, 0x1D, 0xFB, 0xFF, *range(0x38, 0x80), *range(0x89, 0xC0)}


@pytest.mark.parametrize("tag", range(256), ids=lambda t: f"{t:02x}")
def test_one_byte_stream_loads_or_raises(tag):
    stream = bytes([tag])
    if tag in ONE_BYTE_VALUES:
        expected = ONE_BYTE_VALUES[tag]
        out = vellum.loads(stream)
        assert type(out) is type(expected) and repr(out) == repr(expected)
    elif tag in UNKNOWN_TAGS:
        with pytest.raises(ValueError) as info:
            vellum.loads(stream)
        assert str(info.value) == f"Tag desconocido: 0x{tag:02x}"
    else:
        with pytest.raises(ORDINARY):
            vellum.loads(stream)


def test_every_two_byte_stream_loads_or_raises():
    unexpected = []
    for first in range(256):
        for second in range(256):
            stream = bytes([first, second])
            try:
                vellum.loads(stream)
            except ORDINARY:
                pass
            except BaseException as e:  # noqa: BLE001 - anything else is a fault
                unexpected.append((stream.hex(), repr(e)))
    assert unexpected == []


INTERESTING = st.sampled_from(
    [0x00, 0x05, 0x06, 0x07, 0x08, 0x0E, 0x13, 0x14, 0x15, 0x16, 0x17, 0x1B, 0x2A, 0x2D, 0x2E]
    + [0x3F, 0x40, 0x7F, 0x80, 0xC0, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF]
) | st.integers(0, 255)


@st.composite
def mutated_streams(draw):
    seeds = st.sampled_from([s for s in VALID if len(s) <= 1024]) | values.map(vellum.dumps)
    data = bytearray(draw(seeds))
    for _ in range(draw(st.integers(1, 4))):
        op = draw(st.sampled_from(("flip", "set", "insert", "delete", "truncate")))
        pos = draw(st.integers(0, max(len(data) - 1, 0)))
        if op == "flip" and data:
            data[pos] ^= 1 << draw(st.integers(0, 7))
        elif op == "set" and data:
            data[pos] = draw(INTERESTING)
        elif op == "insert":
            data.insert(pos, draw(INTERESTING))
        elif op == "delete" and data:
            del data[pos]
        elif op == "truncate":
            del data[pos:]
    return bytes(data)


@settings(
    max_examples=500,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(mutated_streams())
def test_mutated_streams_load_or_raise(stream):
    try:
        vellum.loads(stream)
    except (MemoryError, SystemError) as e:
        raise AssertionError(f"{stream.hex()}: {e!r}") from e
    except Exception:  # noqa: BLE001 - a mutation may reach tags whose loading runs code
        pass


HUGE_LENGTHS = [
    ("15 FF 61", "0x15 overflow"),
    ("06 FB 06 FF FF FF FF FF 61", "0xFB longitud inválida"),
    ("05 FB 05 FF FF FF FF FF 61", "0xFB str overflow"),
    ("06 1B FB 00 FF FF FF FF FF 78", "SRC_Z 0xFB overflow"),
    ("2E 15 01 62 FF FF FF FF FF 00", "0x2E array overflow"),
]


@pytest.mark.parametrize(
    "hexstream, message", [(h, "EOF") for h in HUGE_COUNTS] + HUGE_LENGTHS
)
def test_huge_count_or_length_fails_without_allocating(hexstream, message):
    tracemalloc.start()
    try:
        with pytest.raises(ValueError) as info:
            vellum.loads(bytes.fromhex(hexstream))
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert str(info.value) == message
    assert peak < 1 << 20


KB = "06 FB 06 44 00 " + "61" * 1024  # a 1,024-byte bytes block
FAILING = [
    "14 03 " + KB + " 14 01 15 02 61 62 13 01 15 01 6B",  # EOF inside a nested dict
    "16 02 " + KB + " 14 01 FE 05",  # IndexError inside an unfinished tuple
    "17 02 " + KB + " 14 00",  # unhashable frozenset item
    "0A 02 " + KB + " 15 01 FF",  # invalid UTF-8 inside a set
    "0C 02 " + KB + " 14 00 14 00 C1",  # unhashable key in a plain dict
    "13 02 " + KB + " C1 C2",  # dict value missing
    "08 02 " + KB + " 06 1B 0E 03 61 62 63",  # zlib failure inside a plain list
    "09 03 " + KB + " 14 00 07 FE 01",  # bytearray copied from a list
    "0B 02 " + KB + " 2E 15 01 62 05 01",  # array overflow
    "2D 14 01 " + KB,  # proxy over a list
    "14 02 " + KB + " 2E 15 01 7A 00",  # array rejects its typecode
]


def test_failing_loads_release_everything():
    streams = [bytes.fromhex(h) for h in FAILING]

    def run(times):
        for _ in range(times):
            for s in streams:
                with pytest.raises(Exception):
                    vellum.loads(s)
        flush_read_table()

    run(3)
    gc.collect()
    objects = len(gc.get_objects())
    tracemalloc.start()
    try:
        before, _ = tracemalloc.get_traced_memory()
        run(200)
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert after - before < 64 * 1024  # a leaked block per failure would be 2 MiB
    assert len(gc.get_objects()) - objects < 100
