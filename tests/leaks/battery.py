"""Reference-leak battery for a debug build of the interpreter, which keeps
the total reference count: every kind of value and every error path of the
reader, the writer and the verifier, repeated, must leave that count and the
number of allocated memory blocks where they were.  Run by scripts/leakcheck:

    python3.14d -m pytest -q tests/leaks/battery.py

Not collected by the ordinary suite: repeating each case thousands of times is
worth it only where a leaked reference can be counted."""

import gc
import sys

import pytest

import vellum
from vellum import _vellum

# The suite's tables, found on the path the pytest settings give.
import streams
import test_containers
import test_functions
import test_index_space
import test_malformed
import test_module
import test_objects
import test_strings_bytes
import test_verify

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs an interpreter built for debugging")

ROUNDS, REPEAT, WARMUP = 3, 1000, 50


def stream_of(entry):
    """The stream in one row of a table of the suite: a param, a tuple whose
    first item is the stream, hex text or bytes."""
    entry = getattr(entry, "values", entry)
    if isinstance(entry, tuple):
        entry = entry[0]
    return bytes.fromhex(entry) if isinstance(entry, str) else entry


READER_FAILURES = [stream_of(e) for table in (
    test_index_space.REF_ERRORS, test_strings_bytes.BLOCK_ERRORS, test_containers.CONTAINER_ERRORS,
    test_functions.READER_ERRORS, test_functions.MALFORMED_CODE, test_objects.READ_ERRORS,
    streams.HUGE_COUNTS, test_malformed.HUGE_LENGTHS, test_malformed.FAILING,
    test_module.FAILING_STREAMS) for e in table]
WALK_FAILURES = [stream_of(e) for e in test_verify.MESSAGES]
VALUES = test_verify.ROUND_TRIP_VALUES
WRITER_FAILURES = [make for make, _ in test_objects.WRITE_ERRORS] + [
    lambda: test_module.nested_list(201), lambda: {frozenset([object()])}]


def growth(op):
    """Growth of (total references, allocated blocks) in each round of REPEAT calls."""
    for _ in range(WARMUP):
        op()
    deltas = []
    for _ in range(ROUNDS):
        vellum.loads(b"\x00")
        gc.collect()
        refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
        for _ in range(REPEAT):
            op()
        vellum.loads(b"\x00")
        gc.collect()
        deltas.append((sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks))
    return deltas


def assert_no_growth(op):
    deltas = growth(op)
    # One reference or block kept per call grows every round by REPEAT.
    assert min(d[0] for d in deltas) < REPEAT // 10, f"references grow: {deltas}"
    assert min(d[1] for d in deltas) < REPEAT // 10, f"blocks grow: {deltas}"


def attempt(call, *args):
    try:
        call(*args)
    except Exception:  # noqa: BLE001 - the failure is the point; its path is checked for leaks
        pass


def round_trip(value):
    def op():
        stream = vellum.dumps(value)
        vellum.loads(stream)
        _vellum.verify_stream_fast(stream)
        _vellum.verify_stream_fast(stream, True)
    return op


def failing_load(stream):
    def op():
        attempt(vellum.loads, stream)
        _vellum.verify_stream_fast(stream)
        _vellum.verify_stream_fast(stream, True)
    return op


@pytest.mark.parametrize("make", [p.values[0] for p in VALUES], ids=[p.id for p in VALUES])
def test_value_round_trip_keeps_nothing(make):
    assert_no_growth(round_trip(make()))


@pytest.mark.parametrize("stream", READER_FAILURES + WALK_FAILURES,
                         ids=[s[:12].hex() for s in READER_FAILURES + WALK_FAILURES])
def test_failing_stream_keeps_nothing(stream):
    assert_no_growth(failing_load(stream))


@pytest.mark.parametrize("make", WRITER_FAILURES, ids=range(len(WRITER_FAILURES)))
def test_failing_dumps_keeps_nothing(make):
    value = make()
    assert_no_growth(lambda: attempt(vellum.dumps, value))
