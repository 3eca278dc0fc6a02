"""Reference-leak battery for a debug build of the interpreter, which keeps
the total reference count: every kind of value and every error path of the
reader, the writer and the verifier, repeated, must leave that count and the
number of allocated memory blocks where they were.  Run by scripts/leakcheck:

    python3.14d -m pytest -q tests/leaks/battery.py

Not collected by the ordinary suite: repeating each case thousands of times is
worth it only where a leaked reference can be counted."""

import gc
import math
import sys
import uuid

import pytest

import vellum
from vellum import _vellum

# The suite's tables, found on the path the pytest settings give.
import streams
import test_containers
import test_functions
import test_index_space
import test_load_safety
import test_malformed
import test_module
import test_objects
import test_strings_bytes
import test_verify
import test_what_travels

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
# Refused shapes (the shortest chain past the depth limit, DAGs as keys) and
# the per-load inflation budget.
HOSTILE = [p.values[0]() for p in test_load_safety.HOSTILE if p.id != "deep-chain-in-a-set"]
# Every kind of value, and the values users send: functions with their globals,
# values by name, the reduce protocol's full form.
VALUES = test_verify.ROUND_TRIP_VALUES + [
    pytest.param(lambda v=p.values[0]: v, id=p.id) for p in test_what_travels.USED
] + [pytest.param(lambda v=p.values[0]: v, id=p.id) for p in test_what_travels.SAME]
WRITER_FAILURES = [make for make, _ in test_objects.WRITE_ERRORS] + [
    lambda: test_module.nested_list(201), lambda: {frozenset([object()])},
    lambda: [test_index_space.CopyingGetattribute(1), test_index_space.Mutate(lambda: None, "x"),
             object()]]
# Graphs whose writing keeps values alive until the call ends: made on the fly, or
# removed from the graph by code run meanwhile (rebuilt for every call).
HELD_BY_WRITER = [lambda cls=cls: [cls(n) for n in range(6)]
                  for cls in test_index_space.FRESH_CLASSES] + [
    lambda make=make: make()[0] for make in test_index_space.REMOVED_DURING_CALL]


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


def attempt(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
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


@pytest.mark.parametrize("stream", HOSTILE, ids=range(len(HOSTILE)))
def test_refused_shape_keeps_nothing(stream):
    assert_no_growth(lambda: attempt(vellum.loads, stream))
    assert_no_growth(lambda: attempt(vellum.loads, stream, allow_code=False))


class Point:
    def __init__(self, x):
        self.x = x


class Money:
    def __init__(self, cents):
        self.cents = cents

    def __reduce__(self):
        return (Money, (self.cents,), {"cents": self.cents})


class Single:
    one = None

    def __new__(cls):
        if cls.one is None:
            cls.one = super().__new__(cls)
        return cls.one

    def __reduce__(self):
        return (Single, (), {"x": 1})


SAFE_LOADS = [
    # approved: instances, reduced objects with state, a callable reference
    (lambda: [Point(1), Money(2), Money(3), {"k": (Point(4),)}], (Point, Money)),
    # refused before loading: a class not in allow
    (lambda: [Money(1), Point(2)], (Money,)),
    # refused by the load: state for what a class with its own __new__ returns
    (lambda: Single(), (Single,)),
    # refused by the load: a callable reference to an entry that is not approved
    (lambda: test_load_safety.H("14 02") + test_load_safety.S("eval")
     + test_load_safety.H("27 00 FE 01 09 00 00"), ()),
    # values by name and a module, approved; one not in allow, refused
    (lambda: [len, math.sqrt, math, str.upper, int], (len, math.sqrt, math, str.upper, int)),
    (lambda: [len, math.sqrt], (len,)),
    # the full reduce form: a new instance, then its __setstate__
    (lambda: [uuid.UUID(int=5), uuid.UUID(int=6)], (uuid.UUID,)),
    # a function with globals: refused, or (allow_functions) loaded
    (lambda: test_what_travels.uses_math, ()),
]


@pytest.mark.parametrize("make, allow", SAFE_LOADS, ids=range(len(SAFE_LOADS)))
def test_safe_load_keeps_nothing(make, allow):
    value = make()
    stream = value if isinstance(value, bytes) else vellum.dumps(value)
    assert_no_growth(lambda: attempt(vellum.loads, stream, allow_code=False, allow=allow))
    assert_no_growth(lambda: attempt(_vellum.deserialize_safe, stream, allow, True))


@pytest.mark.parametrize("make", WRITER_FAILURES, ids=range(len(WRITER_FAILURES)))
def test_failing_dumps_keeps_nothing(make):
    value = make()
    assert_no_growth(lambda: attempt(vellum.dumps, value))


@pytest.mark.parametrize("make", HELD_BY_WRITER, ids=range(len(HELD_BY_WRITER)))
def test_values_held_by_the_writer_are_released(make):
    assert_no_growth(lambda: vellum.dumps(make()))
