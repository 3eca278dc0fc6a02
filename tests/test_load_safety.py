"""Loads under threads and against streams built to hurt: each load keeps its
own state, loads stay linear in their input, and safe loading decides by a
static lookup that runs nothing and approves creating objects, never
rewriting existing ones."""

import importlib
import subprocess
import sys
import textwrap
import threading
import tracemalloc
import zlib

import pytest

import vellum
from streams import H, S
from vellum import UnsafeStreamError

THREADS = 8
ROUNDS = 100  # five calls a round: 500 loads and dumps a thread

GATES = '''
import enum
import threading

BARRIER = None  # set by the tests
RESET = None    # called by thread 0 while every thread is inside a load
SEEN = []


def meet(tag):
    """A reduce callable that returns only when every thread is inside a load."""
    if BARRIER is not None:
        BARRIER.wait(timeout=30)
        if RESET is not None and tag == 0:
            RESET()
    return tag


class Gate:
    def __init__(self, tag):
        self.tag = tag

    def __reduce__(self):
        return (meet, (self.tag,))


class Point:
    def __init__(self, x):
        self.x = x

    def __eq__(self, other):
        return type(other) is Point and other.x == self.x


class Refused:
    pass


class Settings:
    """A process-wide singleton handed out by __new__."""
    _one = None

    def __new__(cls, *args):
        if cls._one is None:
            cls._one = super().__new__(cls)
            cls._one.debug = False
        return cls._one


class Shared:
    """A singleton that restores itself through its own __setstate__."""
    _one = None

    def __new__(cls, *args):
        if cls._one is None:
            cls._one = super().__new__(cls)
        return cls._one

    def __setstate__(self, state):
        self.restored = state


class Color(enum.Enum):
    RED = 1
    BLUE = 2


class Carrier:
    """Writes whatever reduce tuple it is given."""
    def __init__(self, reduced):
        self.reduced = reduced

    def __reduce__(self):
        return self.reduced


class Loud(type):
    def __repr__(cls):
        SEEN.append("repr")
        return "Loud"

    @property
    def hidden(cls):
        SEEN.append("metaclass property")
        return len


class Noisy(metaclass=Loud):
    @property
    def value(self):
        SEEN.append("property")
        return len


def __getattr__(name):
    SEEN.append("module __getattr__ " + name)
    return len
'''


@pytest.fixture(scope="module")
def gates(tmp_path_factory):
    where = tmp_path_factory.mktemp("gates")
    (where / "vellum_gates.py").write_text(GATES)
    sys.path.insert(0, str(where))
    try:
        yield importlib.import_module("vellum_gates")
    finally:
        sys.path.remove(str(where))
        sys.modules.pop("vellum_gates", None)


# ---------------------------------------------------------------------------
# Threads


def test_concurrent_loads_each_see_only_their_own_stream(gates):
    """Every load of a round pauses in a reduce callable until all threads are
    inside a load, so each table is in use while every other one grows."""
    gates.BARRIER = threading.Barrier(THREADS)
    gates.RESET = vellum.dedup_reset
    errors = []
    counts = [0] * THREADS

    def worker(i):
        shared = [f"thread {i}"] * 3
        value = {"id": i, "items": shared, "gate": gates.Gate(i), "again": shared,
                 "second": gates.Gate(-i), "point": gates.Point(i)}
        expected = dict(value, gate=i, second=-i)
        stream = vellum.dumps(value)
        refused = vellum.dumps([gates.Gate(i), gates.Refused()])
        allow = (gates.meet, gates.Point)
        try:
            for r in range(ROUNDS):
                for safe in (False, True):
                    kwargs = {"allow_code": False, "allow": allow} if safe else {}
                    loaded = vellum.loads(stream, **kwargs)
                    assert loaded == expected, (i, r, safe, loaded)
                    assert loaded["items"] is loaded["again"]
                    assert type(loaded["point"]) is gates.Point
                    counts[i] += 1
                with pytest.raises(UnsafeStreamError) as info:
                    vellum.loads(refused, allow_code=False, allow=allow)
                assert [b.name for b in info.value.blocks] == ["Refused"]
                assert vellum.loads(vellum.dumps([i, shared])) == [i, shared]
        except BaseException as exc:  # reported from the main thread
            errors.append(exc)
            gates.BARRIER.abort()

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        gates.BARRIER = gates.RESET = None
    assert not errors, errors[0]
    assert counts == [2 * ROUNDS] * THREADS
    # approval still holds once the threads are gone
    stream = vellum.dumps([gates.Point(1), gates.Refused()])
    with pytest.raises(UnsafeStreamError, match="Refused"):
        vellum.loads(stream, allow_code=False, allow=[gates.Point])
    assert vellum.loads(vellum.dumps(gates.Point(2)), allow_code=False,
                        allow=[gates.Point]) == gates.Point(2)


def test_threads_executing_one_class_source_get_one_class(gates):
    source = textwrap.dedent('''\
        import sys
        sys.modules["vellum_gates"].BARRIER.wait(timeout=30)
        class Fresh:
            pass
        ''').encode()
    stream = (H("25") + S("Fresh") + bytes([0x0E, len(source)]) + source + S("nowhere")
              + H("0C 00"))
    vellum.dedup_reset()
    gates.BARRIER = threading.Barrier(2)
    out = [None, None]

    def load(k):
        out[k] = vellum.loads(stream)

    threads = [threading.Thread(target=load, args=(k,)) for k in range(2)]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        gates.BARRIER = None
    assert out[0] is not None and out[1] is not None
    assert type(out[0]) is type(out[1])
    assert type(vellum.loads(stream)) is type(out[0])


# ---------------------------------------------------------------------------
# Hostile shapes: deep tuples, DAGs as keys, chained inflation


def ref32(k):
    return b"\xfc" + k.to_bytes(4, "big")


def chain(levels, wrap=b""):
    """A flat list whose tuples each hold the one before: list idx 0, tuple k
    idx k + 1; `wrap` (a set or dict of the last tuple) ends the list."""
    body = b"\x16\x00" + b"".join(b"\x16\x01" + ref32(k) for k in range(1, levels))
    count = levels + (1 if wrap else 0)
    head = b"\x14\xff" + count.to_bytes(4, "big")
    return head + body + wrap.replace(b"LAST", ref32(levels))


def flat(items):
    """A list (idx 0) of `items`, each a value's bytes."""
    return b"\x14\xff" + len(items).to_bytes(4, "big") + b"".join(items)


def dag(levels, first_index):
    """Tuples of `levels` levels, each holding the one below twice."""
    out = [b"\x16\x00"]
    for k in range(1, levels):
        out.append(b"\x16\x02" + ref32(first_index + k - 1) * 2)
    return out


DEPTH = "anidado a más de 10000 niveles"
KEY = "hacer su hash o compararla no terminaría"

HOSTILE = [
    pytest.param(lambda: chain(150_000, b"\x0a\x01LAST"), DEPTH, id="deep-chain-in-a-set"),
    pytest.param(lambda: chain(10_001), DEPTH, id="one-past-the-depth-limit"),
    # list idx 0, DAG idx 1..41, then a set of its top
    # list idx 0, DAG idx 1..41, then a set of its top: 2**41 leaves
    pytest.param(lambda: flat(dag(41, 1) + [b"\x0a\x01" + ref32(41)]), KEY, id="dag-in-a-set"),
    # two DAGs of equal shape as keys of one dict
    pytest.param(lambda: flat(dag(41, 1) + dag(41, 42) + [b"\x0c\x02" + ref32(41) + b"\xc0"
                                                         + ref32(82) + b"\xc1"]),
                 KEY, id="equal-dags-as-dict-keys"),
    pytest.param(lambda: flat(dag(41, 1) + [b"\x0b\x01" + ref32(41)]), KEY,
                 id="dag-in-a-frozenset"),
]


@pytest.mark.parametrize("safe", [False, True])
@pytest.mark.parametrize("make, message", HOSTILE)
def test_hostile_shapes_are_refused_where_they_are_built(make, message, safe):
    stream = make()
    kwargs = {"allow_code": False} if safe else {}
    with pytest.raises(ValueError, match=message):
        vellum.loads(stream, **kwargs)


def nest(levels):
    t = ()
    for _ in range(levels):
        t = (t,)
    return t


def share(levels):
    t = ()
    for _ in range(levels):
        t = (t, t)
    return t


LEGITIMATE = [
    pytest.param(lambda: chain(10_000, b"\x0a\x01LAST"), id="chain-at-the-depth-limit-in-a-set"),
    pytest.param(lambda: chain(300, b"\x0c\x01LAST\xc0"), id="300-deep-chain-as-a-key"),
    pytest.param(lambda: vellum.dumps({share(20): 1, share(19): 2}), id="20-level-dag-keys"),
    pytest.param(lambda: vellum.dumps({frozenset({share(12), nest(150)}), (share(15),) * 3}),
                 id="frozensets-and-tuples-of-shared-parts"),
    pytest.param(lambda: vellum.dumps({(i, (i, "x"), ((i,),)): i for i in range(2000)}),
                 id="many-small-nested-keys"),
]


@pytest.mark.parametrize("make", LEGITIMATE)
def test_shapes_programs_use_as_keys_still_load(make):
    stream = make()
    loaded = vellum.loads(stream)
    safe = vellum.loads(stream, allow_code=False)
    # deep chains compare past the recursion limit: their lengths tell enough
    assert len(safe) == len(loaded) and type(safe) is type(loaded)


def test_depth_limit_hashes_safely_in_a_thread():
    stream = chain(10_000, b"\x0a\x01LAST")
    out = []
    t = threading.Thread(target=lambda: out.append(vellum.loads(stream)[-1]))
    t.start()
    t.join()
    (top,) = out[0]
    assert hash(top) == hash(nest(9_999))


def test_chained_inflation_is_bounded_by_one_budget_per_load():
    # idx 1: a compressed block, idx 2: its inflation (a zlib stream itself),
    # idx 3: the inflation of that; then the same inflation again and again.
    inner = zlib.compress(bytes(20_000), 9)
    outer = zlib.compress(inner, 9)
    repeats = 20_000
    items = [b"\x06\x1b\x0e" + bytes([len(outer)]) + outer]
    items += [b"\x06\x1b\xfe\x02"] * repeats
    stream = b"\x14\xff" + len(items).to_bytes(4, "big") + b"".join(items)
    budget = 256 * len(stream) + (16 << 20)
    assert 20_000 * repeats > 3 * budget  # without the budget: 400 MB
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match="supera el límite"):
            vellum.loads(stream)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < budget + (8 << 20)


# ---------------------------------------------------------------------------
# Approval that runs nothing


def reduce_stream(qualname, module):
    """27 01: a callable named in full with no source, called with ()."""
    return H("27 01") + S(qualname) + b"\x00" + S(module) + H("09 00 00")


@pytest.mark.parametrize("qualname, refusal", [
    ("hidden", "has no attribute 'hidden'"),          # would reach the module __getattr__
    ("Noisy.value", "is not callable"),               # a property in the class, not run
    ("Noisy.hidden", "does not resolve"),             # a metaclass property, not consulted
    ("Loud", "is not in allow"),                      # found, refused without its repr
    ("Noisy", "is not in allow"),
])
def test_refusal_runs_no_getter_and_no_repr(gates, watch, qualname, refusal):
    gates.SEEN.clear()
    stream = reduce_stream(qualname, "vellum_gates")
    refused, seen = watch.run(vellum.loads, stream, allow_code=False, allow=[len],
                              package_frames=False)
    assert isinstance(refused, UnsafeStreamError), refused
    assert refusal in refused.blocks[0].refusal
    assert gates.SEEN == [] and seen == []


def test_refusal_of_a_lazily_exported_name_imports_nothing():
    code = textwrap.dedent('''
        import sys, concurrent.futures, vellum
        stream = bytes.fromhex("2701") + bytes([0x15, 19]) + b"ProcessPoolExecutor" \\
            + b"\\x00" + bytes([0x15, 18]) + b"concurrent.futures" + bytes.fromhex("090000")
        before = set(sys.modules)
        events = []
        sys.addaudithook(lambda e, a: events.append(e) if e == "import" else None)
        try:
            vellum.loads(stream, allow_code=False)
        except vellum.UnsafeStreamError as exc:
            print(exc.blocks[0].refusal)
        print(sorted(set(sys.modules) - before), events)
        ''')
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout.splitlines()
    # found nowhere, or found as the unresolved lazy import that some versions keep
    assert out[0] in ("module 'concurrent.futures' has no attribute 'ProcessPoolExecutor'",
                      "concurrent.futures.ProcessPoolExecutor is not callable")
    assert out[1] == "[] []"


def test_loading_plain_data_and_arrays_imports_nothing(tmp_path):
    (tmp_path / "array.py").write_text("raise SystemExit('the stream ran array.py')\n")
    code = textwrap.dedent('''
        import sys
        import vellum
        sys.path.insert(0, sys.argv[2])  # an array.py where a lazy import would find it
        stream = bytes.fromhex(sys.argv[1])
        events = []
        sys.addaudithook(lambda e, a: events.append((e, a[0])) if e == "import" else None)
        print(vellum.loads(stream), vellum.loads(stream, allow_code=False), events)
        ''')
    import array
    stream = vellum.dumps([array.array("i", [1, 2]), {"k": (1.5, b"x")}])
    out = subprocess.run([sys.executable, "-c", code, stream.hex(), str(tmp_path)],
                         capture_output=True, text=True, check=True).stdout
    assert out.strip().endswith("[]"), out
    assert "array('i', [1, 2])" in out


@pytest.mark.parametrize("reduced, allow, message", [
    # a singleton handed out by __new__ would get the stream's attributes
    (lambda g: (g.Settings, (), {"debug": True}), lambda g: [g.Settings], "Settings"),
    # an Enum member rebuilt through its reduce, with a state that renames it
    (lambda g: (g.Color, (1,), {"_name_": "BLUE"}), lambda g: [g.Color], "Color"),
    # a factory's result with list items
    (lambda g: (g.meet, ([],), None, iter([1])), lambda g: [g.meet], "list"),
])
def test_approval_never_rewrites_what_a_callable_returns(gates, reduced, allow, message):
    stream = vellum.dumps(gates.Carrier(reduced(gates)))
    with pytest.raises(ValueError, match=f"safe load refused: .*{message}"):
        vellum.loads(stream, allow_code=False, allow=allow(gates))
    assert gates.Settings().debug is False
    assert gates.Color.RED.name == "RED" and gates.Color(1) is gates.Color.RED


def test_approved_enum_member_and_fresh_instance_state_load(gates):
    value = [gates.Carrier((gates.Color, (2,))), gates.Carrier((gates.Point, (1,), {"x": 5})),
             gates.Carrier((gates.Shared, (), {"via": "setstate"}))]
    loaded = vellum.loads(vellum.dumps(value), allow_code=False,
                          allow=[gates.Color, gates.Point, gates.Shared])
    assert loaded[0] is gates.Color.BLUE and loaded[1] == gates.Point(5)
    # a class's own __setstate__ is the class's to trust: it gets the state, whole
    assert loaded[2] is gates.Shared() and loaded[2].restored == {"via": "setstate"}
    assert "via" not in vars(loaded[2])


def test_instance_of_a_class_with_its_own_new_is_refused_before_loading(gates):
    stream = vellum.dumps(gates.Settings())
    with pytest.raises(UnsafeStreamError, match="makes its instances with its own __new__"):
        vellum.loads(stream, allow_code=False, allow=[gates.Settings])


def test_callable_reference_to_an_unapproved_entry_is_refused_by_the_load():
    # 14 02: list idx 0; "eval" idx 1; 27 00 FE 01: call entry 1 with ("1",)
    stream = H("14 02") + S("eval") + H("27 00 FE 01 09 01") + S("1") + b"\x00"
    with pytest.raises(ValueError, match="safe load refused: a callable reference names a str"):
        vellum.loads(stream, allow_code=False)
