"""Round trips of plain data: structure, sharing, cycles and reference counts."""

import gc
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vellum
from streams import assert_same_graph, flush_read_table, hashables, values
from vellum import _vellum

# ---------------------------------------------------------------------------
# Hypothesis battery

def _mutable_containers(root):
    found, seen, stack = [], set(), [root]
    while stack:
        x = stack.pop()
        if type(x) not in (list, dict, tuple) or id(x) in seen:
            continue
        seen.add(id(x))
        if type(x) is not tuple:
            found.append(x)
        stack.extend(x.values() if type(x) is dict else x)
    return found


@st.composite
def graphs(draw):
    """Nested plain data whose lists and dicts are then linked to each other:
    a container referenced from several places, or from inside itself."""
    root = draw(st.lists(values, max_size=4))
    containers = _mutable_containers(root)
    for _ in range(draw(st.integers(0, 5))):
        src = draw(st.sampled_from(containers))
        dst = draw(st.sampled_from(containers))
        if type(src) is list:
            src.insert(draw(st.integers(0, len(src))), dst)
        else:
            src[draw(hashables)] = dst
    return root


BATTERY = settings(
    max_examples=200,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


def _check_verifier_accepts(stream):
    report = _vellum.verify_stream_fast(stream)
    assert report.ok, report.error
    assert report.bytes_consumed == len(stream)
    assert report.unexecuted_blocks == []


@BATTERY
@given(values)
def test_nested_plain_data_round_trips(obj):
    stream = vellum.dumps(obj)
    assert_same_graph(obj, vellum.loads(stream))
    _check_verifier_accepts(stream)


@BATTERY
@given(graphs())
def test_shared_and_cyclic_graphs_round_trip(root):
    stream = vellum.dumps(root)
    assert_same_graph(root, vellum.loads(stream))
    _check_verifier_accepts(stream)


# ---------------------------------------------------------------------------
# Reference counts


def _fresh(text):
    return "".join([text, "-", str(len(text))])  # not interned, not immortal


def _make_graph():
    s = _fresh("shared")
    inner = [s, 10 ** len(s) * 7, 2.5 * len(s)]  # computed: no shared constants
    d = {_fresh("key"): inner, "n": None}
    t = (s, inner)
    fs = frozenset({_fresh("member"), 7})
    ba = bytearray(b"ba" * 40)
    b = bytes(range(200))
    root = [s, s, inner, inner, d, t, t, fs, fs, ba, ba, b, {3, 4}]
    root.append(root)
    d["self"] = d
    return root, [s, inner, d, t, fs, ba, b, inner[1], inner[2]]


def _refcounts(objs):
    gc.collect()  # cyclic graphs of earlier tests must not die while counting
    return [sys.getrefcount(o) for o in objs]


def test_round_trips_leave_refcounts_unchanged():
    root, parts = _make_graph()
    before = _refcounts(parts)
    for _ in range(300):
        assert_same_graph(root, vellum.loads(vellum.dumps(root)))
    flush_read_table()
    assert _refcounts(parts) == before


def test_serializer_temporaries_released_after_call():
    d = {_fresh("k"): 1}
    gc.collect()
    baseline = len(gc.get_objects())
    for _ in range(300):
        vellum.dumps([d.keys(), d.values(), d.items(), (x for x in (1, 2)), {1, 2}])
    gc.collect()
    assert len(gc.get_objects()) - baseline < 50


def _unsupported_deep(parts):
    s, inner = parts[0], parts[1]
    return [s, {"k": (inner, [s, object()])}]


def _bad_surrogate(parts):
    # text with lone surrogates travels, but a name field is UTF-8 only
    def named():
        pass

    named.__qualname__ = "\ud800"
    return [parts[0], parts[1], {"k": ("ok", "\udcff", named)}]


def _raising_generator(parts):
    def gen():
        yield parts[0]
        raise RuntimeError("boom")

    return [parts[1], gen()]


class _SameRepr:
    def __repr__(self):
        return "same"


def _unorderable_set(parts):
    return [parts[0], {_SameRepr(), _SameRepr()}]


@pytest.mark.parametrize(
    "build, exc",
    [
        (_unsupported_deep, TypeError),
        (_bad_surrogate, UnicodeEncodeError),
        (_raising_generator, RuntimeError),
        (_unorderable_set, TypeError),
    ],
    ids=["unsupported-object", "surrogate-in-a-name", "raising-generator", "unorderable-set"],
)
def test_failing_dumps_leaves_refcounts_unchanged(build, exc):
    root, parts = _make_graph()
    before = _refcounts(parts)
    for _ in range(300):
        obj = build(parts)
        with pytest.raises(exc):
            vellum.dumps(obj)
        del obj
    assert _refcounts(parts) == before
    assert root[-1] is root


def test_read_table_holds_nothing_once_the_load_returns():
    # list, str, inner list and tuple take table entries; a bytearray never does
    stream = vellum.dumps([_fresh("text"), [1], (2, _fresh("x")), bytearray(b"ba")])
    out = _vellum.deserialize_fast(stream)
    held = _refcounts([out, out[0], out[1], out[2], out[3]])
    flush_read_table()
    released = _refcounts([out, out[0], out[1], out[2], out[3]])
    assert held == released
    fresh = []
    assert sys.getrefcount(out) == sys.getrefcount(fresh)


def test_plain_list_tag_is_not_held_by_read_table():
    out = vellum.loads(bytes.fromhex("08 02 15 03 61 62 63 C1"))  # 08 02: list of 2, no index
    held = sys.getrefcount(out)
    flush_read_table()
    assert sys.getrefcount(out) == held
    assert out == ["abc", 1]


def test_loads_does_not_keep_its_input():
    data = bytes(vellum.dumps(["abc", [1, 2]]))
    before = sys.getrefcount(data)
    for _ in range(100):
        vellum.loads(data)
    assert sys.getrefcount(data) == before
