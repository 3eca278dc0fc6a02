"""Functions with their globals, code objects, closure cells, method wrappers, the
version-checked bytecode, and the read-only forms: functions without globals (0x20, 0x21)
and functions loaded from source text (0x0D)."""

import builtins
import importlib.util
import marshal
import pathlib
import sys
import types
import uuid
import zlib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vellum
from streams import B as block
from vellum import _vellum

h = bytes.fromhex

_MODULE_CONSTANT = 41
RUNS = "_vellum_test_fn_runs"


# --- functions under test ---------------------------------------------------------------


def _uses_len(x):
    return len(x)


def _uses_module_global():
    return _MODULE_CONSTANT + 1


def _documented(x):
    """Twice x."""
    return 2 * x


_documented.tag = "kept"


def _renamed():
    return 1


_renamed.__name__ = "other_name"
_renamed.__module__ = "elsewhere"


def _plain():
    return 7


def _with_defaults(a, b=2, c="tres", *, k=4):
    return (a, b, c)


def _make_adder(n):
    def add(x, step=1):
        return x + n * step

    return add


def _make_empty_cell(assign):
    def read_later():
        return later

    if assign:
        later = 1
    return read_later


def _make_nested(x):
    def middle(y):
        def inner(z):
            return x * 100 + y * 10 + z

        return inner

    return middle


def _make_caller():
    helper = lambda v: v * 2  # noqa: E731

    def call(v):
        return helper(v) + 1

    return call


def _make_shared_pair():
    shared = [1]

    def first():
        return shared

    def second():
        return shared

    return first, second


def _make_recursive():
    def fact(n):
        return 1 if n <= 1 else n * fact(n - 1)

    return fact


def _cls_name(cls):
    return cls.__name__


def _double(x):
    return 2 * x


def _get_v(self):
    return self._v


def _set_v(self, v):
    self._v = v


def _del_v(self):
    del self._v


# --- stream helpers -----------------------------------------------------------------------


def read_block(data, pos):
    """Parse one dedup block at pos: (payload or ("ref", idx), content tag or None, end)."""
    m = data[pos]
    if m == 0x0E:
        n = data[pos + 1]
        return data[pos + 2 : pos + 2 + n], None, pos + 2 + n
    if m == 0xFB:
        tag, p = data[pos + 1], pos + 2
        if data[p] < 0x40:
            n, p = data[p], p + 1
        elif data[p] < 0x80:
            n, p = (data[p] & 0x3F) << 8 | data[p + 1], p + 2
        else:
            n, p = int.from_bytes(data[p + 1 : p + 5], "big"), p + 5
        return data[p : p + n], tag, p + n
    if m == 0xFE:
        return ("ref", data[pos + 1]), None, pos + 2
    raise AssertionError(f"no block at {pos}: {data[pos:pos + 4].hex(' ')}")


def fn_bytecode(code, defaults=b"\x00", closure=b"\x00"):
    return b"\x20" + block(marshal.dumps(code), 0x20) + defaults + closure


def fn_source(name, src, compress=False):
    if compress:
        src_block = block(zlib.compress(src), 0x1B)
    else:
        src_block = block(src)
    return b"\x0d\x05" + block(name) + src_block


def counted_source(body):
    """Source text that counts its executions in a list kept on builtins; unique per call."""
    head = f"# {uuid.uuid4().hex}\nimport builtins\nbuiltins.{RUNS}.append(1)\n"
    return (head + body).encode()


def runs():
    return len(getattr(builtins, RUNS))


@pytest.fixture
def exec_counter():
    setattr(builtins, RUNS, [])
    _vellum.dedup_reset()
    yield
    _vellum.dedup_reset()
    delattr(builtins, RUNS)


PLAIN_BLK = block(marshal.dumps(_plain.__code__), 0x20)
ADDER_CODE = _make_adder(1).__code__  # one free variable, one default
ADDER_BLK = block(marshal.dumps(ADDER_CODE), 0x20)
# This interpreter's version block: magic number (big-endian), major, minor; and a version
# no interpreter has.
PYVERSION = (int.from_bytes(importlib.util.MAGIC_NUMBER[:2], "little").to_bytes(2, "big")
             + bytes(sys.version_info[:2]))
OTHER_VERSION = bytes([0, 1, 2, 7])
OTHER_VERSION_ERR = (
    "0x{:02x}: bytecode escrito por CPython 2.7 (magic 1); este intérprete es CPython "
    f"{sys.version_info[0]}.{sys.version_info[1]} (magic {int.from_bytes(PYVERSION[:2], 'big')}) "
    "y no carga bytecode de otra versión"
)


def text(value):
    """A str field written in full: 15 n text."""
    raw = value.encode()
    return bytes([0x15, len(raw)]) + raw


# 30, version, bytecode, module "m": the head of _plain up to its flags
PLAIN_HEAD = b"\x30" + block(PYVERSION) + PLAIN_BLK + text("m")


# --- round trips that run -----------------------------------------------------------------

def _call_error(fn):
    try:
        fn()
    except Exception as exc:  # noqa: BLE001 - the kind of failure is the result
        return type(exc).__name__
    return None


ROUND_TRIPS = [
    pytest.param(_uses_len, lambda f: f([1, 2, 3]), 3, id="builtin-len"),
    pytest.param(_with_defaults, lambda f: f(1, k=0), (1, 2, "tres"), id="defaults"),
    pytest.param(_make_adder(10), lambda f: f(1), 11, id="closure"),
    pytest.param(_make_nested(1)(2), lambda f: f(3), 123, id="nested-closure"),
    pytest.param(_make_caller(), lambda f: f(5), 11, id="closure-holding-lambda"),
    pytest.param(lambda x, k=3: x * k, lambda f: f(4), 12, id="lambda-default"),
    # an empty cell stays empty: the call fails as the original's does
    pytest.param(_make_empty_cell(False), lambda f: _call_error(f), "NameError", id="empty-cell"),
]


@pytest.mark.parametrize("fn, call, expected", ROUND_TRIPS)
def test_function_round_trip_runs(fn, call, expected):
    loaded = vellum.loads(vellum.dumps(fn))
    assert type(loaded) is types.FunctionType and loaded is not fn
    assert call(loaded) == expected
    assert loaded.__code__ == fn.__code__
    attrs = ("__name__", "__qualname__", "__module__", "__doc__", "__defaults__", "__kwdefaults__")
    assert [getattr(loaded, a) for a in attrs] == [getattr(fn, a) for a in attrs]
    # a namespace of its own, named after the module, with builtins of its own
    assert loaded.__globals__ is not fn.__globals__
    assert loaded.__globals__["__name__"] == __name__ and "__builtins__" in loaded.__globals__


def test_module_globals_travel_as_far_as_the_code_names_them():
    loaded = vellum.loads(vellum.dumps(_uses_module_global))
    assert loaded() == 42
    assert set(loaded.__globals__) == {"__name__", "__builtins__", "_MODULE_CONSTANT"}


@pytest.mark.parametrize("fn", [_documented, _renamed], ids=["doc-and-dict", "renamed"])
def test_attributes_travel(fn):
    loaded = vellum.loads(vellum.dumps(fn))
    attrs = ("__name__", "__qualname__", "__module__", "__doc__", "__dict__")
    assert [getattr(loaded, a) for a in attrs] == [getattr(fn, a) for a in attrs]


def test_cell_contents_keep_identity_across_functions():
    first, second = vellum.loads(vellum.dumps(list(_make_shared_pair())))
    assert first() == [1]
    assert first() is second()
    assert first.__closure__[0] is second.__closure__[0]


def test_self_referencing_closure_is_one_function():
    fact = vellum.loads(vellum.dumps(_make_recursive()))
    assert fact(5) == 120 and fact.__closure__[0].cell_contents is fact


def test_functions_of_one_module_share_one_namespace():
    a, b, c = vellum.loads(vellum.dumps([_uses_module_global, _plain, _make_adder(1)]))
    assert a.__globals__ is b.__globals__ is c.__globals__ is not globals()


# --- byte layout --------------------------------------------------------------------------


def fn_head(fn):
    """30, version block (index 0), bytecode block (1), module field (2); the function
    takes index 3."""
    return (b"\x30" + block(PYVERSION) + block(marshal.dumps(fn.__code__), 0x20)
            + text(fn.__globals__["__name__"]))


@pytest.mark.parametrize(
    "fn, flags, tail",
    [
        (_plain, 0x00, b""),
        # 03: defaults (16 02: tuple (2, "tres")), kwdefaults (13 01: dict {"k": 4})
        (_with_defaults, 0x03, h("16 02 c2") + text("tres") + h("13 01") + text("k") + h("c4")),
        # 05: defaults (1,), closure: 01 cell, 35 01 ca: a cell holding 10
        (_make_adder(10), 0x05, h("16 01 c1 01 35 01 ca")),
        (_make_empty_cell(False), 0x04, h("01 35 00")),  # 35 00: an empty cell
        # 08: globals: 01 pair, the name and 41
        (_uses_module_global, 0x08, h("01") + text("_MODULE_CONSTANT") + h("e9")),
        # 30: __dict__ (13 01: {"tag": "kept"}), then __doc__
        (_documented, 0x30, h("13 01") + text("tag") + text("kept") + text("Twice x.")),
        # c0: __name__, then __module__
        (_renamed, 0xC0, text("other_name") + text("elsewhere")),
    ],
    ids=["plain", "defaults", "closure", "empty-cell", "globals", "doc-and-dict", "renamed"],
)
def test_function_layout(fn, flags, tail):
    data = vellum.dumps(fn)
    assert data == fn_head(fn) + bytes([flags]) + text(fn.__qualname__) + tail
    assert vellum.verify(data).ok


@pytest.mark.parametrize(
    "pair, tail",
    [
        # second closure: 30, version FE 01, bytecode FE 02, module FE 03 (index 8), flags
        # 05, qualname FE 05, defaults FE 06 (the same tuple), closure 01 35 01 c2 (cell 9)
        ((_make_adder(1), _make_adder(2)), h("30 fe 01 fe 02 fe 03 05 fe 05 fe 06 01 35 01 c2")),
        # the same function twice: a reference to its index
        ((_plain, _plain), h("fe 04")),
    ],
    ids=["closures-of-one-body", "same-function-twice"],
)
def test_repeated_body_shares_one_bytecode_block(pair, tail):
    data = vellum.dumps(list(pair))
    assert data.startswith(h("14 02") + fn_head(pair[0])) and data.endswith(tail)
    loaded = vellum.loads(data)
    assert (loaded[0] is loaded[1]) == (pair[0] is pair[1])
    assert loaded[0].__code__ is loaded[1].__code__  # unmarshalled once
    cells = [[c.cell_contents for c in f.__closure__ or ()] for f in loaded]
    assert cells == [[c.cell_contents for c in f.__closure__ or ()] for f in pair]


def _sets_a_global():
    global _SET_BY_LOADED
    _SET_BY_LOADED = 1
    return _SET_BY_LOADED


def test_a_function_without_globals_gets_a_namespace_of_its_own():
    # 20: the form without globals, still read; it never writes into builtins
    a, b = vellum.loads(h("14 02") + fn_bytecode(_sets_a_global.__code__) * 2)
    assert a() == 1 and a.__globals__["_SET_BY_LOADED"] == 1
    assert a.__globals__ is not b.__globals__ and "_SET_BY_LOADED" not in b.__globals__
    assert not hasattr(builtins, "_SET_BY_LOADED") and "_SET_BY_LOADED" not in globals()


def test_code_object_shares_its_function_bytecode_block():
    data = vellum.dumps([_plain, _plain.__code__])
    # list 0; function: version 1, bytecode 2, module 3, itself 4, qualname 5
    assert data.endswith(h("31 fe 01 fe 02"))
    fn, code = vellum.loads(data)
    assert code is fn.__code__


CODE_OBJECTS = [
    pytest.param(compile("result = 6 * 7", "<vellum-test>", "exec"), id="module"),
    pytest.param(_plain.__code__, id="function"),
    pytest.param(ADDER_CODE, id="with-freevars"),
    pytest.param((lambda: 0).__code__, id="lambda"),
]


@pytest.mark.parametrize("code", CODE_OBJECTS)
def test_code_object_round_trip(code):
    data = vellum.dumps(code)
    assert data == b"\x31" + block(PYVERSION) + block(marshal.dumps(code), 0x20)
    loaded = vellum.loads(data)
    assert type(loaded) is types.CodeType
    assert loaded == code and loaded.co_name == code.co_name


def test_loaded_code_object_executes():
    ns = {}
    exec(vellum.loads(vellum.dumps(CODE_OBJECTS[0].values[0])), ns)
    assert ns["result"] == 42


# --- bytecode of another interpreter version --------------------------------------------

DATA = pathlib.Path(__file__).parent / "data"


def make_scaler(factor):
    def scale(x):
        return x * factor + _MODULE_CONSTANT

    return scale


# Streams of [make_scaler(3)] written by CPython 3.11 and 3.14 (scripts/version-streams).
VERSION_STREAMS = sorted(DATA.glob("scaler-cpython-*.vlm"))


def test_a_stream_is_kept_for_each_leg():
    assert [p.name for p in VERSION_STREAMS] == ["scaler-cpython-3.11.vlm",
                                                 "scaler-cpython-3.14.vlm"]


@pytest.mark.parametrize("path", VERSION_STREAMS, ids=lambda p: p.stem)
def test_bytecode_of_another_version_fails_cleanly(path):
    stream = path.read_bytes()
    written = tuple(int(v) for v in path.stem.rsplit("-", 1)[1].split("."))
    report = vellum.verify(stream, show_source=True)
    code_text = report.unexecuted_blocks[-1][3]
    assert report.ok and f"CPython {written[0]}.{written[1]} bytecode" in code_text
    if written == sys.version_info[:2]:
        (scale,) = vellum.loads(stream)
        assert scale(2) == 47 and "refuses it" not in code_text
        return
    here = f"CPython {sys.version_info[0]}.{sys.version_info[1]}"
    with pytest.raises(ValueError, match=rf"^0x30: bytecode escrito por CPython "
                                         rf"{written[0]}\.{written[1]} \(magic \d+\); "
                                         rf"este intérprete es {here} "):
        vellum.loads(stream)
    assert "refuses it" in code_text


@pytest.mark.parametrize(
    "wrapper, tag, fn", [(classmethod, 0x22, _cls_name), (staticmethod, 0x23, _double)]
)
def test_method_wrapper_round_trip(wrapper, tag, fn):
    data = vellum.dumps(wrapper(fn))
    assert data[0] == tag and data[1:] == vellum.dumps(fn)
    loaded = vellum.loads(data)
    assert type(loaded) is wrapper
    assert loaded.__func__.__code__ == fn.__code__

    class K:
        m = loaded

    expected = 42 if wrapper is staticmethod else "K"
    assert (K.m(21) if wrapper is staticmethod else K.m()) == expected


@pytest.mark.parametrize(
    "accessors, head, tail",
    [
        ((_get_v,), h("24 01"), h("00 00")),  # 24 01 <fget> 00 00
        ((None, _set_v), h("24 00 01"), h("00")),  # 24 00 01 <fset> 00
        ((None, None, _del_v), h("24 00 00 01"), b""),  # 24 00 00 01 <fdel>
    ],
    ids=["getter", "setter", "deleter"],
)
def test_single_accessor_property_layout(accessors, head, tail):
    fn = accessors[-1]
    data = vellum.dumps(property(*accessors))
    assert data[: len(head)] == head and data.endswith(tail)
    assert data[len(head) : len(data) - len(tail)] == vellum.dumps(fn)
    loaded = vellum.loads(data)
    assert type(loaded) is property
    got = [loaded.fget, loaded.fset, loaded.fdel]
    written = (list(accessors) + [None, None])[:3]
    assert [a is None for a in got] == [a is None for a in written]
    assert got[len(accessors) - 1].__code__ == fn.__code__


def test_full_property_works_in_a_class():
    loaded = vellum.loads(vellum.dumps(property(_get_v, _set_v, _del_v)))

    class K:
        v = loaded

    k = K()
    k.v = 5
    assert k.v == 5 and k._v == 5
    del k.v
    assert not hasattr(k, "_v")


@pytest.mark.parametrize("base, tag", [(property, 0x24), (classmethod, 0x22), (staticmethod, 0x23)])
def test_wrapper_subclass_does_not_take_wrapper_path(base, tag):
    sub = type("Sub" + base.__name__, (base,), {})
    try:
        data = vellum.dumps(sub(_plain))
    except Exception:
        return  # refused, or routed to a row that fails here: either way not the wrapper tag
    assert data[0] != tag


# --- functions loaded from source ---------------------------------------------------------

SRC_BODY = "def f():\n    return 'f'\n\ndef g():\n    return 'g'\n\ndef h():\n    return g()\n"

SRC_FORMS = [
    pytest.param(block, 2, id="plain"),  # FB 1D len text: index 2
    pytest.param(lambda src: block(zlib.compress(src), 0x1B), 2, id="zlib"),  # FB 1B: index 2
    # 1B 0E/FB ..: an inline MARK_SRC_Z block takes indexes 2 (zlib stream) and 3 (text)
    pytest.param(lambda src: b"\x1b" + block(zlib.compress(src), 0x1E), 3, id="src-z"),
]


@pytest.mark.parametrize("src_block, src_index", SRC_FORMS)
def test_same_source_and_name_is_one_object(exec_counter, src_block, src_index):
    one = b"\x0d\x05" + block(b"f") + src_block(counted_source(SRC_BODY))
    # 14 02: list of 2; the name and source of the second 0D are references
    stream = h("14 02") + one + h("0d 05 fe 01 fe") + bytes([src_index])
    a, b = vellum.loads(stream)
    assert a is b and a() == "f" and runs() == 1
    assert vellum.loads(one) is a
    assert runs() == 1
    _vellum.dedup_reset()
    fresh = vellum.loads(one)
    assert fresh is not a and fresh() == "f" and runs() == 2


def test_different_names_share_one_execution(exec_counter):
    src = counted_source(SRC_BODY)
    # list 0, name f 1, source 2, name g 3: the second source is FE 02
    stream = h("14 03") + fn_source(b"f", src) + b"\x0d\x05" + block(b"g") + h("fe 02")
    stream += b"\x0d\x05" + block(b"h") + h("fe 02")
    f, g, hh = vellum.loads(stream)
    assert (f(), g(), hh()) == ("f", "g", "g")
    assert f.__globals__ is g.__globals__ and "__builtins__" in f.__globals__
    assert runs() == 1


def test_failing_source_is_executed_again(exec_counter):
    src = counted_source(
        f"if len(builtins.{RUNS}) == 1:\n    raise RuntimeError('primera')\ndef f():\n    return 1\n"
    )
    stream = fn_source(b"f", src)
    with pytest.raises(RuntimeError, match="primera"):
        vellum.loads(stream)
    assert vellum.loads(stream)() == 1 and runs() == 2
    vellum.loads(stream)
    assert runs() == 2


def test_missing_name_raises_key_error_after_one_execution(exec_counter):
    src = counted_source(SRC_BODY)
    with pytest.raises(KeyError) as excinfo:
        vellum.loads(fn_source(b"nope", src))
    assert excinfo.value.args[0] == "función no encontrada"
    assert vellum.loads(fn_source(b"f", src))() == "f" and runs() == 1


def test_non_ascii_source_and_name(exec_counter):
    src = counted_source("def \u00f1and\u00fa():\n    return '\u00e1rbol'\n")
    fn = vellum.loads(fn_source("\u00f1and\u00fa".encode(), src))
    assert fn() == "\u00e1rbol"


@pytest.mark.parametrize(
    "stream",
    [
        fn_source(b"f", b"def f():\n    return '\xff\xfe'\n"),  # source not UTF-8
        fn_source(b"\xff", b"f = 1\n"),  # name not UTF-8
    ],
    ids=["source", "name"],
)
def test_invalid_utf8_raises_unicode_decode_error(exec_counter, stream):
    with pytest.raises(UnicodeDecodeError):
        vellum.loads(stream)


def test_source_with_nul_byte_is_refused_not_cut_short(exec_counter):
    # exec refuses such text; running only the part before the NUL would give f == 1
    with pytest.raises((ValueError, SyntaxError)):
        vellum.loads(fn_source(b"f", b"f = 1\x00\nf = 2\n"))


# --- reader errors ------------------------------------------------------------------------

READER_ERRORS = [
    (b"\x20" + PLAIN_BLK, "EOF fn defaults"),  # 20 block, no counts
    (b"\x20" + PLAIN_BLK + h("41"), "EOF fn defaults"),  # 2-byte count cut short
    (b"\x20" + PLAIN_BLK + h("00"), "EOF fn freevars"),  # defaults 0, no closure count
    (b"\x20" + PLAIN_BLK + h("00 ff 00"), "EOF fn freevars"),  # 5-byte count cut short
    (b"\x20" + PLAIN_BLK + h("01"), "EOF"),  # one default announced, none given
    (b"\x20" + PLAIN_BLK + h("ff ff ff ff ff"), "EOF"),  # 4 billion defaults, none given
    (h("20"), "EOF en dedup"),  # 20 without its block
    (h("21"), "EOF en dedup"),  # 21 without its block
    (h("20 15 01 61 00 00"), "Marker dedup_bytes desconocido: 0x15"),  # no 0x15 block here
    (h("22"), "EOF"),  # classmethod without its function
    (h("23"), "EOF"),  # staticmethod without its function
    (h("24"), "0x24: EOF en accesor"),  # no fget byte
    (h("24 02"), "0x24: marker inesperado: 0x02"),  # fget byte 02
    (h("24 00 00 ff"), "0x24: marker inesperado: 0xff"),  # fdel byte ff
    (h("24 01 00"), "0x24: EOF en accesor"),  # fget None value, then nothing
    (h("24 00 01"), "EOF"),  # fset announced, no value
    (h("0d"), "EOF fn name tag"),  # 0D alone
    (h("0d 06"), "0x0D: esperado 0x05"),  # 0D followed by 06
    (h("0d 05"), "EOF en dedup"),  # no name block
    (h("0d 05 0e 01 66"), "EOF en dedup"),  # no source block
    (h("0d 05 15 01 66 0e 01 41"), "Marker dedup_bytes desconocido: 0x15"),  # name as 0x15
    (h("0d 05 0e 01 66 0e 05 41"), "short str overflow"),  # source runs past the end
    # functions with their globals, code objects, cells
    (b"\x30" + block(b"\x00"), "0x30: campo de versión de 1 bytes, se esperaban 4"),
    (b"\x31" + block(OTHER_VERSION), OTHER_VERSION_ERR.format(0x31)),
    (b"\x30" + block(OTHER_VERSION) + PLAIN_BLK, OTHER_VERSION_ERR.format(0x30)),
    (PLAIN_HEAD, "0x30: EOF en flags"),
    (PLAIN_HEAD + b"\x04" + text("f"), "0x30: EOF en celdas"),
    (PLAIN_HEAD + b"\x04" + text("f") + b"\x01", "0x30: 1 celdas para 0 variables libres"),
    (PLAIN_HEAD.replace(PLAIN_BLK, ADDER_BLK) + b"\x00" + text("f"),
     "0x30: 0 celdas para 1 variables libres"),
    (PLAIN_HEAD + b"\x08" + text("f"), "0x30: EOF en globales"),
    (PLAIN_HEAD + b"\x08" + text("f") + h("01 15 01 61"), "EOF"),
    (h("35"), "0x35: EOF en celda"),
    (h("35 02"), "0x35: marcador inesperado 0x02"),
]


@pytest.mark.parametrize("stream, msg", READER_ERRORS)
def test_reader_error_messages(stream, msg):
    with pytest.raises(ValueError) as excinfo:
        vellum.loads(stream)
    assert str(excinfo.value) == msg


NOT_CODE_BLK = block(marshal.dumps(5), 0x20)
WRONG_FIELDS = [(0x01, "defaults", "14"), (0x02, "kwdefaults", "14"), (0x10, "__dict__", "16")]

MALFORMED_CODE = [
    pytest.param(b"\x30" + block(PYVERSION) + NOT_CODE_BLK + text("m") + b"\x00" + text("f"),
                 TypeError, "0x30: el bloque no contiene código sino int", id="function-blob-not-code"),
    *[pytest.param(PLAIN_HEAD + bytes([flag]) + text("f") + h(f"{tag} 00"), TypeError,
                   f"0x30: {field} debe ser {'tuple' if field == 'defaults' else 'dict'}, "
                   f"no {'tuple' if tag == '16' else 'list'}", id=f"{field}-wrong-type")
      for flag, field, tag in WRONG_FIELDS],
    pytest.param(PLAIN_HEAD.replace(PLAIN_BLK, ADDER_BLK) + b"\x04" + text("f") + h("01 c1"),
                 TypeError, "0x30: la clausura contiene int, no una celda", id="closure-not-cell"),
    pytest.param(b"\x20" + NOT_CODE_BLK + h("00 00"), TypeError, "0x20: el bloque no contiene código sino int", id="fn-blob-not-code"),
    pytest.param(b"\x21" + NOT_CODE_BLK, TypeError, "0x21: el bloque no contiene código sino int", id="code-blob-not-code"),
    pytest.param(fn_bytecode(ADDER_CODE, h("01 c1"), h("00")), ValueError, "0x20: 0 celdas para 1 variables libres", id="freevar-without-cell"),
    pytest.param(fn_bytecode(_plain.__code__, h("00"), h("01 c1")), ValueError, "0x20: 1 celdas para 0 variables libres", id="cell-without-freevar"),
    pytest.param(fn_bytecode(ADDER_CODE, h("01 c1"), h("02 c1 c2")), ValueError, "0x20: 2 celdas para 1 variables libres", id="too-many-cells"),
]


@pytest.mark.parametrize("stream, exc, message", MALFORMED_CODE)
def test_unusable_bytecode_is_refused(stream, exc, message):
    with pytest.raises(exc) as excinfo:
        vellum.loads(stream)
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "stream",
    [
        # 14 02: list; 15 01 61: "a" at index 1; the source block refers to it
        h("14 02 15 01 61 0d 05 0e 01 66 fe 01"),
        # 14 00 at index 1 is an empty list; the name block refers to it
        h("14 02 14 00 0d 05 fe 01 0e 06") + b"f = 1\n",
        # the bytecode block of a function or code object refers to a str
        h("14 02 15 01 61 20 fe 01 00 00"),
        h("14 02 15 01 61 21 fe 01"),
    ],
    ids=["source-is-str", "name-is-list", "fn-blob-is-str", "code-blob-is-str"],
)
def test_referenced_block_of_wrong_type_is_refused(exec_counter, stream):
    with pytest.raises(TypeError):
        vellum.loads(stream)


# --- malformed and truncated streams never crash ------------------------------------------

TINY_SRC = b"f = 1\n"


def _valid_streams():
    return [
        vellum.dumps(_plain),
        vellum.dumps(_with_defaults),
        vellum.dumps([_make_adder(1), _make_adder(2)]),
        vellum.dumps(_make_empty_cell(False)),
        vellum.dumps(ADDER_CODE),
        vellum.dumps(property(_get_v, _set_v, _del_v)),
        vellum.dumps([classmethod(_cls_name), staticmethod(_double)]),
        h("14 02") + fn_source(b"f", TINY_SRC) + h("0d 05 fe 01 fe 02"),
        fn_source(b"f", TINY_SRC, compress=True),
    ]


@pytest.mark.parametrize("index", range(9))
def test_every_proper_prefix_fails_cleanly(exec_counter, index):
    stream = _valid_streams()[index]
    vellum.loads(stream)
    for cut in range(len(stream)):
        with pytest.raises(Exception):
            vellum.loads(stream[:cut])


def _protected_spans(stream):
    """Byte ranges holding marshal payloads: marshal does not promise to survive corrupted
    input, so mutations stay out of them (blocks, counts and values around them are fair game)."""
    spans = []
    for code in (_plain.__code__, _with_defaults.__code__, ADDER_CODE, _get_v.__code__,
                 _set_v.__code__, _del_v.__code__, _cls_name.__code__, _double.__code__,
                 _make_empty_cell(False).__code__):
        blob = marshal.dumps(code)
        at = stream.find(blob)
        if at >= 0:
            spans.append(range(at, at + len(blob)))
    return spans


@settings(max_examples=300, deadline=None)
@given(data=st.data())
def test_mutated_streams_never_crash(data):
    streams = _valid_streams()
    stream = bytearray(data.draw(st.sampled_from(streams)))
    spans = _protected_spans(bytes(stream))
    free = [i for i in range(len(stream)) if not any(i in s for s in spans)]
    for _ in range(data.draw(st.integers(1, 3))):
        stream[data.draw(st.sampled_from(free))] = data.draw(st.integers(0, 255))
    cut = data.draw(st.integers(1, len(stream)))
    setattr(builtins, RUNS, [])
    try:
        vellum.loads(bytes(stream[:cut]))  # the result is never called
    except Exception:
        pass
    finally:
        delattr(builtins, RUNS)
        _vellum.dedup_reset()
        vellum.loads(b"\x00")


# --- reference counts ---------------------------------------------------------------------


def test_dumps_keeps_reference_counts(flush_read_table):
    sentinel = "centinela-" + uuid.uuid4().hex
    fn = _make_adder(sentinel)
    fn.__defaults__ = (sentinel,)
    prop = property(fn, fn)
    objs = [fn, fn.__code__, fn.__closure__[0], sentinel, prop]
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(300):
        vellum.dumps([fn, prop, classmethod(fn), fn.__code__])
    assert [sys.getrefcount(o) for o in objs] == before


def test_failing_dumps_keeps_reference_counts(flush_read_table):
    bad = object()
    fn = _make_adder(bad)
    with_default = _make_adder(1)
    with_default.__defaults__ = (bad,)
    objs = [fn, with_default, bad, fn.__code__]
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(300):
        for value in (fn, with_default, property(with_default), staticmethod(fn)):
            with pytest.raises(TypeError):
                vellum.dumps(value)
    del value  # the last wrapper holds fn
    assert [sys.getrefcount(o) for o in objs] == before


def test_loads_keeps_reference_counts(exec_counter, flush_read_table):
    """A function loaded from source is cached, so its count shows every reference a load
    keeps, on success and on each failure path."""
    src = counted_source("def probe():\n    return 'probe'\n")
    probe = vellum.loads(fn_source(b"probe", src))
    p = fn_source(b"probe", src)
    good = [
        fn_bytecode(_plain.__code__, b"\x01" + p),  # defaults (probe,)
        fn_bytecode(ADDER_CODE, b"\x00", b"\x01" + p),  # cell holding probe
        b"\x22" + p,
        b"\x23" + p,
        h("24 01") + p + h("01") + p + h("00"),
        h("14 02") + p + p,
    ]
    bad = [
        fn_bytecode(_plain.__code__, b"\x02" + p, b""),  # second default missing
        b"\x20" + PLAIN_BLK + b"\x01" + p,  # closure count missing
        fn_bytecode(_plain.__code__, b"\x01" + p, b"\x01" + p),  # cell without freevar
        fn_bytecode(ADDER_CODE, b"\x01" + p, b"\x02" + p + p),  # too many cells
        h("24 01") + p + h("01") + p + h("02"),  # bad fdel marker
        h("24 01") + p + h("01") + p,  # fdel missing
        h("14 03") + p + p + h("20"),  # list cut inside its last item
    ]
    vellum.loads(b"\x00")
    before = sys.getrefcount(probe)
    for _ in range(200):
        for stream in good:
            vellum.loads(stream)
        for stream in bad:
            with pytest.raises((ValueError, TypeError)):
                vellum.loads(stream)
    vellum.loads(b"\x00")
    assert sys.getrefcount(probe) == before
    assert runs() == 1


def test_load_started_by_executed_source_keeps_outer_references():
    source = (
        b"import vellum\n"
        b"inner = vellum.loads(vellum.dumps(['x', 'x', [1]]))\n"
        b"def nested_load(): return inner\n"
    )
    name = b"nested_load"
    stream = (
        bytes.fromhex("14 03 15 01 61")  # list of 3, then "a" as index 1
        + bytes([0x0D, 0x05, 0x0E, len(name)]) + name
        + bytes([0xFB, 0x1D, 0x40 | (len(source) >> 8), len(source) & 0xFF]) + source
        + bytes.fromhex("FE 01")  # "a" again, by reference
    )
    try:
        loaded = vellum.loads(stream)
        assert loaded[0] == "a" and loaded[2] is loaded[0]
        assert loaded[1]() == ["x", "x", [1]]
    finally:
        _vellum.dedup_reset()


def test_load_run_by_a_finalizer_during_the_table_reset_leaves_the_table_empty():
    # The first stream leaves an object whose finalizer loads a stream in the
    # read table, as its only owner; the next load releases it first thing.
    keep = (
        b"import builtins\n"
        b"class Loads:\n"
        b"    def __del__(self):\n"
        b"        import vellum\n"
        b"        builtins._vellum_nested = vellum.loads(bytes.fromhex('14 02 15 01 7a fe 01'))\n"
        b"builtins._vellum_ns = globals()\n"
        b"obj = Loads()\n"
    )
    drop = b"import builtins\ndel builtins._vellum_ns['obj']\ndel builtins._vellum_ns\nx = 0\n"

    def fn_source(name, source):
        return (bytes([0x0D, 0x05, 0x0E, len(name)]) + name
                + bytes([0xFB, 0x1D, 0x40 | (len(source) >> 8), len(source) & 0xFF]) + source)

    import builtins
    try:
        vellum.loads(b"\x14\x02" + fn_source(b"obj", keep) + fn_source(b"x", drop))
        loaded = vellum.loads(bytes.fromhex("14 02 15 01 61 FE 01"))
        assert builtins._vellum_nested == ["z", "z"]
        assert loaded == ["a", "a"] and loaded[0] is loaded[1]
    finally:
        _vellum.dedup_reset()
        builtins.__dict__.pop("_vellum_nested", None)
