"""The package API: files, buffers, the engine's hold on loaded objects,
verification, and safe loading with allow_code=False and allow."""

import gc
import importlib
import io
import pathlib
import pickle
import re
import sys
import tracemalloc
from importlib import metadata

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vellum
from streams import B, H, S
from vellum import UnsafeStreamError, _tags


MIB = 1 << 20
CLASS_SRC = b"class P:\n    pass\n"
MK_SRC = b"def mk():\n    return []\n"

SHAPES = '''
from dataclasses import dataclass


@dataclass
class Point:
    x: int
    y: int


class Slotted:
    __slots__ = ("a", "b")

    def __init__(self, a, b):
        self.a, self.b = a, b

    def __eq__(self, other):
        return type(other) is Slotted and (self.a, self.b) == (other.a, other.b)


class Money:
    def __init__(self, cents):
        self.cents = cents

    def __reduce__(self):
        return (Money, (self.cents,))

    def __eq__(self, other):
        return type(other) is type(self) and other.cents == self.cents


class Coin(Money):
    @classmethod
    def mint(cls, cents):
        return cls(cents)

    def __reduce__(self):
        return (Coin.mint, (self.cents,))


HOOKS = []


def made(cents):
    for hook in HOOKS:
        hook()
    return Money(cents)


class Hooked(Money):
    def __reduce__(self):
        return (made, (self.cents,))
'''


@pytest.fixture(scope="module")
def shapes(tmp_path_factory):
    """A module on disk, so that its classes have source to travel with."""
    where = tmp_path_factory.mktemp("shapes")
    (where / "vellum_shapes.py").write_text(SHAPES)
    sys.path.insert(0, str(where))
    try:
        yield importlib.import_module("vellum_shapes")
    finally:
        sys.path.remove(str(where))
        sys.modules.pop("vellum_shapes", None)


# ---------------------------------------------------------------------------
# dumps, loads, dump, load


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview,
                                  lambda s: memoryview(bytearray(s)),
                                  lambda s: memoryview(bytes(b for c in s for b in (c, 0)))[::2]])
def test_loads_takes_any_bytes_like_object(wrap):
    value = {"a": [1, 2.5, "x" * 70], "b": (None, b"\x00\xff")}
    assert vellum.loads(wrap(vellum.dumps(value))) == value


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview,
                                  lambda s: memoryview(bytearray(s))])
def test_loads_reads_the_buffer_in_place(wrap):
    # bytes after the root value are ignored, so a copy would show in the peak
    data = wrap(b"\x00" + bytes(8 * MIB))
    tracemalloc.start()
    try:
        assert vellum.loads(data) is None
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < MIB


def test_bytearray_cannot_be_resized_while_it_is_loaded(shapes):
    data = bytearray(vellum.dumps(shapes.Hooked(3)))
    seen = []

    def grow():
        try:
            data.extend(b"xx")
        except BufferError:
            seen.append("locked")

    shapes.HOOKS.append(grow)
    try:
        assert vellum.loads(data).cents == 3
    finally:
        shapes.HOOKS.clear()
    assert seen == ["locked"]


@pytest.mark.parametrize("bad", ["\x00", None, 0])
def test_loads_refuses_what_is_no_buffer(bad):
    with pytest.raises(TypeError):
        vellum.loads(bad)
    with pytest.raises(TypeError):
        vellum.loads(bad, allow_code=False)


def test_dump_and_load_go_through_binary_files(tmp_path):
    value = [{"k": i, "s": "v%d" % i} for i in range(50)]
    path = tmp_path / "graph.vlm"
    with open(path, "wb") as f:
        vellum.dump(value, f)
    assert path.read_bytes() == vellum.dumps(value)
    with open(path, "rb") as f:
        assert vellum.load(f) == value
    assert vellum.load(io.BytesIO(path.read_bytes()), allow_code=False) == value


def test_loaded_objects_are_held_by_the_caller_only():
    outer = vellum.loads(vellum.dumps([[1], {"k": [2]}, "s" * 80]))
    inner, leaf = outer[0], outer[1]["k"]
    fresh = []
    counts = sys.getrefcount(outer), sys.getrefcount(inner), sys.getrefcount(leaf)
    alone = sys.getrefcount(fresh)
    assert counts == (alone, alone + 1, alone + 1)  # the inner two are in a container


# 4 objects an item: loaded whole, or failing at the end with all but the last read
@pytest.mark.parametrize("items, tail", [(250_000, b""), (25_000, b"\xff")])
def test_memory_comes_back_after_del(items, tail):
    graph = [(i, str(i), [i]) for i in range(items)]
    stream = vellum.dumps(graph)[:None if not tail else -3] + tail
    del graph
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        try:
            obj = vellum.loads(stream)
            assert len(obj) == items
        except ValueError:
            assert tail
        else:
            assert not tail
            del obj
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < MIB


def test_version_is_the_distributions():
    assert vellum.__version__ == metadata.version("vellum")


# 0xFB and 0xFF open a long block and a 32-bit length: markers, no value's tag
@pytest.mark.parametrize("tag, name", [(0x14, "TAG_LIST_DEDUP"), (0xC0, "TAG_SMALLINT"),
                                       (0xFA, "TAG_SMALLINT"), (0x27, "TAG_REDUCE"),
                                       (0xFE, "TAG_REF8"), (0xFC, "TAG_REF32"), (0x01, "0x01"),
                                       (0xFB, "0xFB"), (0xFF, "0xFF")])
def test_tag_names(tag, name):
    assert vellum.tag_name(tag) == name


HEADER = pathlib.Path(__file__).resolve().parents[1] / "src" / "_vellum" / "vellum.h"


def test_tag_table_is_the_headers_enum():
    text = HEADER.read_text()
    known = {name: int(value) for name, value in
             re.findall(r"^#define (VELLUM_\w+) (\d+)\b", text, re.M)}
    enum = text[text.index("enum : uint8_t {"):]
    for name, expr in re.findall(r"^\s+(TAG_\w+) = ([^,/]+),", enum[:enum.index("};")], re.M):
        known[name] = eval(expr, {}, dict(known))  # hex literals and sums of earlier names
    assert {k: v for k, v in known.items() if k.startswith("TAG_")} == _tags.TAGS
    assert known["VELLUM_SMALLINT_MAX"] == _tags.SMALLINT_MAX


# ---------------------------------------------------------------------------
# verify


def test_verify_reports_without_running_and_shows_the_captured_parts(shapes, watch):
    stream = vellum.dumps([shapes.Point(1, 2), 7])
    report, ran = watch.run(vellum.verify, memoryview(bytearray(stream)), show_source=True,
                            package_frames=False)
    assert ran == []
    assert report.ok and report.bytes_consumed == len(stream)
    (pos, tag, _, code), = report.unexecuted_blocks
    assert stream[pos] == tag == 0x25
    assert code.parts[0] == b"Point" and code.parts[2] == b"vellum_shapes"
    assert "class Point" in code
    assert vellum.verify(stream).unexecuted_blocks[0][3] is None


def test_verify_reports_a_malformed_stream():
    report = vellum.verify(b"\x14\x05")
    assert not report.ok and report.error == "EOF inesperado"


# ---------------------------------------------------------------------------
# Safe loading: refused streams run nothing


def _fn():
    return 1


REFUSED = [
    pytest.param(lambda s: H("08 01 0D 05") + B(b"f") + B(b"def f():\n    return 1\n"),
                 0x0D, id="0D-source-function"),
    pytest.param(lambda s: H("1C") + S("P") + B(CLASS_SRC) + H("0C 00"), 0x1C, id="1C"),
    pytest.param(lambda s: H("1E") + S("P") + B(CLASS_SRC) + H("0C 00"), 0x1E, id="1E"),
    pytest.param(lambda s: H("1F") + S("mk") + b"\x01" + B(MK_SRC) + H("09 00 00"),
                 0x1F, id="1F"),
    pytest.param(lambda s: vellum.dumps(_fn), 0x30, id="30-function"),
    pytest.param(lambda s: vellum.dumps(_fn.__code__), 0x31, id="31-code"),
    pytest.param(lambda s: vellum.dumps(classmethod(_fn)), 0x22, id="22"),
    pytest.param(lambda s: vellum.dumps(staticmethod(_fn)), 0x23, id="23"),
    pytest.param(lambda s: vellum.dumps(property(_fn)), 0x24, id="24"),
    # classes and callables whose module the loading program has not imported
    pytest.param(lambda s: H("25") + S("P") + B(CLASS_SRC) + S("nowhere") + H("0C 00"),
                 0x25, id="25-not-imported"),
    pytest.param(lambda s: H("26") + S("P") + B(CLASS_SRC) + S("nowhere") + H("0C 00"),
                 0x26, id="26-not-imported"),
    pytest.param(lambda s: H("27 01") + S("mk") + b"\x01" + B(MK_SRC) + S("nowhere")
                 + H("09 00 00"), 0x27, id="27-not-imported"),
    # found among the builtins when no module has it: eval("...") would run
    pytest.param(lambda s: H("27 01") + S("eval") + b"\x00" + S("") + H("09 01")
                 + S("len('x')") + b"\x00", 0x27, id="27-builtins"),
    # imported module, but its attribute is no longer the class
    pytest.param(lambda s: H("25") + S("Pointy") + B(b"class Pointy:\n    pass\n")
                 + S("vellum_shapes") + H("0C 00"), 0x25, id="25-rebound"),
]


@pytest.mark.parametrize("make, tag", REFUSED)
def test_refused_stream_runs_nothing(make, tag, shapes, watch):
    shapes.Pointy = lambda: None
    try:
        stream = make(shapes)
        allow = [shapes.Point, shapes.Money, eval, len, _fn]
        refused, ran = watch.run(vellum.loads, stream, allow_code=False, allow=allow,
                                package_frames=False)
        assert ran == []
        assert isinstance(refused, UnsafeStreamError), refused
        assert tag in [b.tag for b in refused.blocks]
        # and the same stream, trusted, does run code
        vellum.dedup_reset()
        loaded, ran = watch.run(vellum.loads, stream, package_frames=False)
        assert ran != [], loaded
    finally:
        del shapes.Pointy


def test_refusal_lists_every_offending_value(shapes):
    stream = vellum.dumps([shapes.Point(1, 2), _fn, shapes.Money(5), shapes.Money(6)])
    with pytest.raises(UnsafeStreamError) as info:
        vellum.loads(stream, allow_code=False, allow=[shapes.Point])
    blocks = info.value.blocks
    assert [(b.tag_name, b.name, b.module) for b in blocks] == [
        ("TAG_FUNCTION", None, None),
        ("TAG_REDUCE", "Money", "vellum_shapes"),
        ("TAG_REDUCE", None, None),  # the second Money names the first's callable
    ]
    assert [stream[b.offset] for b in blocks] == [0x30, 0x27, 0x27]
    message = str(info.value)
    assert message.startswith("stream refused: 3 values would run code")
    for b in blocks:
        assert f"at byte {b.offset}: {b.tag_name}" in message and b.reason in message
    assert "callable 'Money' from module 'vellum_shapes'" in message
    again = pickle.loads(pickle.dumps(info.value))
    assert str(again) == message and again.blocks[1].name == "Money"


import colorsys  # noqa: E402  (a pure-Python module that tests take out of sys.modules)
import math  # noqa: E402
import uuid  # noqa: E402


def _uses_colorsys(r):
    return colorsys.rgb_to_hsv(r, 0, 0)[2]


@pytest.mark.parametrize(
    "value, allow",
    [
        ([len, math.sqrt, int, str.upper], [len, math.sqrt, int, str.upper]),
        ([math, dict.fromkeys], [math, dict.fromkeys]),
        (uuid.UUID(int=7), [uuid.UUID]),  # a new instance, then its __setstate__
    ],
    ids=["builtins", "module-and-bound-method", "getstate-setstate"],
)
def test_values_by_name_are_approved_statically(watch, value, allow):
    loaded, ran = watch.run(vellum.loads, vellum.dumps(value), allow_code=False, allow=allow,
                            package_frames=False)
    assert loaded == value and "import" not in ran


@pytest.mark.parametrize(
    "value, refusal",
    [
        ([len, math.sqrt], "math.sqrt is not in allow"),
        (math, "module 'math' is not in allow"),
        (uuid.UUID, "uuid.UUID is not in allow"),
    ],
    ids=["builtin", "module", "class"],
)
def test_values_by_name_not_in_allow_are_refused(value, refusal):
    with pytest.raises(UnsafeStreamError, match=refusal) as info:
        vellum.loads(vellum.dumps(value), allow_code=False, allow=[len])
    assert {b.tag for b in info.value.blocks} <= {0x32, 0x33, 0x34}


def test_a_safe_load_never_imports_what_a_value_by_name_names(monkeypatch):
    stream = vellum.dumps([colorsys, colorsys.rgb_to_hsv])
    monkeypatch.delitem(sys.modules, "colorsys")
    with pytest.raises(UnsafeStreamError, match="module 'colorsys' is not imported"):
        vellum.loads(stream, allow_code=False, allow=[len])
    assert "colorsys" not in sys.modules
    loaded = vellum.loads(stream)  # a trusted load imports it
    assert loaded[0] is sys.modules["colorsys"] and loaded[1](1, 1, 1)[2] == 1


def test_allow_functions_imports_what_function_globals_name(monkeypatch):
    stream = vellum.dumps(_uses_colorsys)
    monkeypatch.delitem(sys.modules, "colorsys")
    fn = vellum.loads(stream, allow_code=False, allow_functions=True)
    assert fn(0.5) == 0.5 and "colorsys" in sys.modules
    # what no function's globals name still needs allow
    monkeypatch.delitem(sys.modules, "colorsys")
    with pytest.raises(UnsafeStreamError, match="module 'colorsys' is not imported"):
        vellum.loads(vellum.dumps([colorsys, _uses_colorsys]), allow_code=False,
                     allow_functions=True)


def test_refused_module_is_not_imported(shapes, monkeypatch):
    stream = vellum.dumps(shapes.Point(1, 2))
    monkeypatch.delitem(sys.modules, "vellum_shapes")
    with pytest.raises(UnsafeStreamError, match="module 'vellum_shapes' is not imported"):
        vellum.loads(stream, allow_code=False, allow=[shapes.Point])
    assert "vellum_shapes" not in sys.modules


# A refusal quotes the stream's names: the message and repr escape them, the
# fields keep them exact.
@pytest.mark.parametrize("name, module, shown", [
    # refused as "module 'os' has no attribute '<name>'"
    ("x\x1b[2K\r\u202e", "os", r"module 'os' has no attribute 'x\x1b[2K\x0d\u202e'"),
    # refused as "module '<module>' is not imported"
    ("x", "m\nat byte 0: TAG_NONE (0x00): approved", r"module 'm\x0aat byte 0"),
])
def test_refusal_text_is_escaped_and_the_fields_exact(name, module, shown):
    stream = H("27 01") + S(name) + b"\x01" + B(MK_SRC) + S(module) + H("09 00 00")
    with pytest.raises(UnsafeStreamError) as info:
        vellum.loads(stream, allow_code=False)
    (refused,) = info.value.blocks
    assert (refused.name, refused.module) == (name, module)
    message = str(info.value)
    assert len(message.splitlines()) == 2 and shown in message  # a header, one line per value
    for text in (message, refused.describe(), repr(refused)):
        assert not any(ch in text for ch in "\x1b\r\u202e"), text
    assert len((refused.describe() + repr(refused)).splitlines()) == 1


@pytest.mark.parametrize("stream, message", [
    (b"", "EOF inesperado"),
    (b"\x00\x00", "1 bytes sobrantes tras el objeto raiz (pos=1, total=2)"),
    (H("14 01 FE 05"), "referencia a indice 5 fuera de rango (solo 1 entradas vistas "
                       "hasta este punto)"),
])
def test_malformed_stream_raises_the_verifiers_message(stream, message):
    with pytest.raises(ValueError) as info:
        vellum.loads(stream, allow_code=False)
    assert type(info.value) is ValueError and str(info.value) == message


def test_allow_needs_safe_loading_and_callables(shapes):
    with pytest.raises(ValueError, match="allow_code=False"):
        vellum.loads(b"\x00", allow=[shapes.Point])
    with pytest.raises(TypeError):
        vellum.loads(b"\x00", allow_code=False, allow=[42])


# ---------------------------------------------------------------------------
# Safe loading: approved streams load, with the caller's own classes


def test_approved_instances_and_reduced_objects_load(shapes, watch):
    value = [shapes.Point(1, 2), shapes.Point(3, 4), shapes.Slotted(5, 6),
             shapes.Money(7), shapes.Money(8), shapes.Coin(9), range(3), {"plain": [1]}]
    stream = vellum.dumps(value)
    allow = (shapes.Point, shapes.Slotted, shapes.Money, shapes.Coin.mint, range)
    loaded, ran = watch.run(vellum.loads, stream, allow_code=False, allow=allow,
                           package_frames=False)
    assert not isinstance(loaded, Exception), loaded
    assert not set(ran) & watch.CODE_EVENTS
    assert loaded == value
    assert type(loaded[0]) is shapes.Point and type(loaded[5]) is shapes.Coin


def test_plain_data_needs_no_approval():
    value = {"a": [1, 2], "b": ("x", b"y", 1.5, {3})}
    assert vellum.loads(bytearray(vellum.dumps(value)), allow_code=False) == value


def test_approval_is_by_object_not_by_name(shapes):
    impostor = type("Point", (), {})
    with pytest.raises(UnsafeStreamError, match="not in allow"):
        vellum.loads(vellum.dumps(shapes.Point(1, 2)), allow_code=False, allow=[impostor])


def test_class_defined_in_a_function_is_refused():
    class Local:
        pass

    with pytest.raises(UnsafeStreamError, match="has no attribute 'Local'"):
        vellum.loads(vellum.dumps(Local()), allow_code=False, allow=[Local])


APPROVED = (
    lambda s: [s.Point(1, 2), s.Point(3, 4), s.Slotted(5, 6), s.Money(7), s.Money(8)],
    lambda s: {"coin": s.Coin(1), "r": range(2, 9), "pts": (s.Point(0, -1),)},
)


@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.integers(0, len(APPROVED) - 1),
       st.lists(st.tuples(st.integers(0, 1 << 16), st.integers(0, 255), st.booleans()),
                min_size=1, max_size=3))
def test_an_approved_mutation_runs_only_approved_code(shapes, watch, which, edits):
    data = bytearray(vellum.dumps(APPROVED[which](shapes)))
    for at, byte, insert in edits:
        if insert:
            data.insert(at % (len(data) + 1), byte)
        else:
            data[at % len(data)] = byte
    allow = (shapes.Point, shapes.Slotted, shapes.Money, shapes.Coin.mint, range)
    _, ran = watch.run(vellum.loads, bytes(data), allow_code=False, allow=allow,
                      package_frames=False)
    # no executed source (its frames are "<string>"), no bytecode, no import
    assert not [r for r in ran if r in watch.CODE_EVENTS or r[0] == "<string>"], ran


# ---------------------------------------------------------------------------
# The worker load mode: functions approved as a whole, classes still by allow


FUNCTION_FORMS = [
    pytest.param(lambda s: H("08 01 0D 05") + B(b"f") + B(b"def f():\n    return 1\n"),
                 id="0D-source-function"),
    pytest.param(lambda s: vellum.dumps(lambda x: x + 1), id="20-bytecode"),
    pytest.param(lambda s: vellum.dumps(_fn.__code__), id="21-code"),
    pytest.param(lambda s: vellum.dumps([classmethod(_fn), staticmethod(_fn), property(_fn)]),
                 id="22-23-24-wrappers"),
    pytest.param(lambda s: vellum.dumps([s.Point(1, 2), _fn]), id="20-beside-approved-class"),
]


@pytest.mark.parametrize("make", FUNCTION_FORMS)
def test_worker_load_mode_approves_function_forms(make, shapes):
    stream = make(shapes)
    with pytest.raises(UnsafeStreamError):
        vellum.loads(stream, allow_code=False, allow=[shapes.Point])
    loaded = vellum.loads(stream, allow_code=False, allow=[shapes.Point], allow_functions=True)
    trusted = vellum.loads(stream)
    kinds = [type(x) for x in (trusted if type(trusted) is list else [trusted])]
    assert [type(x) for x in (loaded if type(loaded) is list else [loaded])] == kinds


def test_worker_load_mode_still_refuses_unapproved_classes(shapes, watch):
    stream = vellum.dumps([shapes.Point(1, 2), _fn])
    refused, ran = watch.run(vellum.loads, stream, allow_code=False, allow_functions=True,
                             package_frames=False)
    assert ran == [] and isinstance(refused, UnsafeStreamError)
    assert [b.tag_name for b in refused.blocks] == ["TAG_INSTANCE"]
    with pytest.raises(ValueError, match="allow_functions take effect only with allow_code=False"):
        vellum.loads(stream, allow_functions=True)
