"""The verifier: report fields, every walk message, captured parts, the index
space it mirrors, agreement with the reader, and that loading a stream it
passes without blocks runs no code."""

import array
import datetime
import gc
import importlib.util
import marshal
import math
import subprocess
import sys
import types
import uuid
import zlib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import oracle
import vellum
import vellum.vellum as pkg
from streams import B, H, S, apply_edits, verify
from vellum import _vellum


SRC = b"def f():\n    return 1\n"
FN_SOURCE = b"\x0d\x05" + B(b"f") + B(SRC)  # 0D 05, name block, source block
CODE_BLOB = marshal.dumps((lambda: 0).__code__)
CLASS_V2 = S("P") + B(b"class P:\n    pass\n") + S("m")  # name, source, module
CALLABLE_V2 = b"\x01" + S("mk") + b"\x01" + B(b"def mk():\n    pass\n") + S("m")
EXEC_TAGS = {0x0D, 0x1C, 0x1E, 0x1F, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27,
             0x30, 0x31, 0x32, 0x33, 0x34, 0x36}
PYVERSION = (int.from_bytes(importlib.util.MAGIC_NUMBER[:2], "little").to_bytes(2, "big")
             + bytes(sys.version_info[:2]))
VERSIONED_CODE = B(PYVERSION) + B(CODE_BLOB, 0x20)  # version block, bytecode block
# 30, version 0, bytecode 1, module "m" 2, the function 3, flags, qualname "f" 4
FN_HEAD = b"\x30" + VERSIONED_CODE + S("m")
FUNCTION = FN_HEAD + b"\x00" + S("f")

REASONS = {
    0x0D: "función vía exec() de código fuente",
    0x1C: "instancia: clase materializada vía exec() de su fuente",
    0x25: "instancia: clase se re-vincula por módulo si está importada, si no se "
          "materializa vía exec() de su fuente",
    0x1F: "objeto reconstruido invocando un callable (__reduce__)",
    0x27: "objeto reconstruido invocando un callable (__reduce__): callable se "
          "re-vincula por módulo si está importado, si no se materializa vía exec() "
          "de su fuente",
    0x20: "bytecode vía marshal.loads()",
    0x22: "classmethod: envuelve una función (ver bloque anterior para su contenido)",
    0x23: "staticmethod: envuelve una función (ver bloque anterior para su contenido)",
    0x24: "property: envuelve accesor(es) (ver bloque(s) anterior(es) para su contenido)",
    0x30: "función con sus globales: bytecode vía marshal.loads(), solo si lo escribió esta "
          "versión del intérprete",
    0x31: "código: bytecode vía marshal.loads(), solo si lo escribió esta versión del "
          "intérprete",
    0x32: "clase como valor: se re-vincula por módulo si está importada, si no se "
          "materializa vía exec() de su fuente",
    0x33: "valor por referencia: se toma de su módulo por nombre; una carga de confianza "
          "importa el módulo si no está importado",
    0x34: "módulo por nombre: una carga de confianza lo importa si no está importado",
    0x36: "objeto reconstruido invocando un callable (protocolo reduce completo: el callable "
          "o la clase es el valor anidado anterior, el estado va a __setstate__ si lo tiene)",
}
REASONS[0x1E] = REASONS[0x1C]
REASONS[0x26] = REASONS[0x25]
REASONS[0x21] = REASONS[0x20]


@pytest.fixture
def raw_parts(monkeypatch):
    """Makes the renderer hand back what it was given."""
    monkeypatch.setattr(pkg, "_render_captured_source", lambda tag, parts: (tag, parts))


# ---------------------------------------------------------------------------
# The report


def test_report_of_one_small_int():
    report = verify(b"\xc5")
    assert (report.ok, report.bytes_total, report.bytes_consumed) == (True, 1, 1)
    assert report.tag_counts == {197: 1} and report.unexecuted_blocks == []
    assert report.error is None


@pytest.mark.parametrize("show", [False, True])
@pytest.mark.parametrize(
    "stream, message",
    [
        (b"", "EOF inesperado"),
        (b"\x00\x00", "1 bytes sobrantes tras el objeto raiz (pos=1, total=2)"),
        (H("14 01 0D 05 0E 01 66"), "EOF en dedup"),  # fails after counting tags
    ],
)
def test_failed_walk_assigns_only_total_error_and_ok(stream, message, show):
    report = verify(stream, show)
    assert vars(report) == {"bytes_total": len(stream), "error": message, "ok": False}
    assert report.tag_counts == {} and report.unexecuted_blocks == ()
    assert message in repr(report)


def test_block_inside_a_list_is_reported_at_its_tag_byte(raw_parts):
    stream = b"\x08\x01" + FN_SOURCE  # 08 01: list of one
    assert verify(stream).unexecuted_blocks == [(2, 13, REASONS[0x0D], None)]
    assert verify(stream, True).unexecuted_blocks == [(2, 13, REASONS[0x0D], (13, (b"f", SRC)))]


def test_wrapper_block_follows_the_wrapped_function():
    report = verify(b"\x22" + FN_SOURCE)
    assert [b[:2] for b in report.unexecuted_blocks] == [(1, 0x0D), (0, 0x22)]
    assert "1 value" not in repr(report) and "2 values" in repr(report)


def test_renderer_is_needed_only_with_capture(monkeypatch):
    calls = []
    monkeypatch.setattr(pkg, "_render_captured_source", lambda *a: calls.append(a))
    assert verify(H("14 01 C1"), True).ok and calls == []
    monkeypatch.delattr(pkg, "_render_captured_source")
    assert verify(b"\xc1").ok
    with pytest.raises(AttributeError):
        verify(b"\xc1", True)


def test_renderer_result_is_the_code_text_and_its_error_propagates(monkeypatch):
    marker = object()
    monkeypatch.setattr(pkg, "_render_captured_source", lambda tag, parts: marker)
    assert verify(FN_SOURCE, True).unexecuted_blocks[0][3] is marker

    def boom(tag, parts):
        raise LookupError("renderer")

    monkeypatch.setattr(pkg, "_render_captured_source", boom)
    with pytest.raises(LookupError):
        verify(FN_SOURCE, True)
    assert verify(FN_SOURCE).ok  # no capture, no renderer call


def test_missing_report_class_raises_and_is_looked_up_again():
    code = (
        "import vellum.vellum as pkg\nfrom vellum import _vellum\n"
        "cls = pkg.StreamReport\ndel pkg.StreamReport\n"
        "try:\n    _vellum.verify_stream_fast(b'\\xc1')\nexcept AttributeError:\n    pass\n"
        "else:\n    raise SystemExit('no error')\n"
        "pkg.StreamReport = cls\nassert _vellum.verify_stream_fast(b'\\xc1').ok\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


# ---------------------------------------------------------------------------
# Walk messages

REF_ERR = "referencia a indice {} fuera de rango (solo {} entradas vistas hasta este punto)"
INVALID_REF = (
    "referencia a indice {} invalida: apunta a un dict/list/tuple/frozenset deduplicado "
    "(tag 0x13/0x14/0x16/0x17), no a un bloque de bytes -- un nombre o fuente de "
    "funcion/clase no puede referenciar una entrada de contenedor"
)
REDUCE_V1 = b"\x1f" + S("mk") + b"\x00"  # name, has_src 0
REDUCE_V2 = b"\x27" + CALLABLE_V2

MESSAGES = [
    # scalars
    ("02", "EOF int sign"),
    ("02 00", "EOF int data"),
    ("02 00 41", "EOF int data"),
    ("02 00 03 00 00", "EOF int data"),
    ("03 00 00 00 00 00 00 00", "EOF float64"),
    ("04" + " 00" * 15, "EOF complex"),
    ("0F 00", "EOF int16"),
    ("10", "EOF int 1B"),
    ("11", "EOF int 1B"),
    ("12", "EOF int 1B"),
    ("2F 00 00 00", "EOF int32"),
    # dedup blocks and string fields
    ("05", "EOF en dedup"),
    ("06 0E", "EOF short len"),
    ("07 0E 02 00", "short data overflow"),
    ("06 FB", "EOF 0xFB tag"),
    ("06 FB 06 41", "0xFB overflow"),
    ("06 FB 06 02 00", "0xFB overflow"),
    ("06 1B 0E 00", "Marker dedup desconocido: 0x1b"),
    ("06 15 00", "Marker dedup desconocido: 0x15"),  # 0x15 starts text blocks only
    ("05 FF", "Marker dedup desconocido: 0xff"),
    ("15", "EOF 0x15 len"),
    ("15 02 61", "0x15 overflow"),
    ("2E", "EOF str_any"),
    ("2E 00", "read_str_any: tag inesperado 0x00"),
    ("2E FF", "Marker dedup desconocido: 0xff"),
    ("2E 15 01 62", "EOF 0x2E array len"),
    ("2E 15 01 62 FF 00 00", "EOF 0x2E array len"),
    ("2E 15 01 62 02 00", "0x2E array overflow (verify)"),
    # containers and nesting
    ("08", "EOF seq len"),
    ("09 41", "EOF seq len"),
    ("0C", "EOF dict len"),
    ("13 FF 00 00", "EOF dict len"),
    ("14", "EOF seq len"),
    ("16", "EOF seq len"),
    ("17", "EOF seq len"),
    ("08 FF FF FF FF FF C1", "EOF inesperado"),
    ("0C 01 C1", "EOF inesperado"),
    ("08 01 14 02 C1", "EOF inesperado"),  # a short list inside a list, cut short
    ("08 01 16 01 FE 00", REF_ERR.format(0, 0)),
    ("2A", "EOF inesperado"),
    ("08 01" * 201 + "08 00", "Profundidad de anidamiento excesiva (>200)"),
    ("2D" * 201 + "00", "Profundidad de anidamiento excesiva (>200)"),
    # references
    ("FE", "EOF ref8"),
    ("FD 00", "EOF ref16"),
    ("FC 00 00 00", "EOF ref32"),
    ("FE 00", REF_ERR.format(0, 0)),
    ("14 01 FD 00 01", REF_ERR.format(1, 1)),
    ("14 01 FC FF FF FF FF", REF_ERR.format(-1, 1)),
    ("16 01 FE 00", REF_ERR.format(0, 0)),  # a tuple takes its entry after its items
    # tags
    *[(f"{t:02X}", f"Tag desconocido: 0x{t:02x}")
      for t in (0x01, 0x0E, 0x18, 0x1A, 0x1B, 0x1D, 0x38, 0x7F, 0x89, 0xBF, 0xFB, 0xFF)],
    # functions and wrappers
    ("0D", "EOF fn name tag"),
    ("0D 0E 01 66 0E 00", "0x0D: esperado 0x05"),
    ("0D 05 0E 01 66", "EOF en dedup"),
    ("0D 05 15 01 66 0E 00", "Marker dedup desconocido: 0x15"),
    ("20 0E 00", "EOF fn defaults"),
    ("20 0E 00 00", "EOF fn freevars"),
    ("20 0E 00 01", "EOF inesperado"),
    ("21", "EOF en dedup"),
    ("22", "EOF inesperado"),
    ("24", "0x24: EOF en fget"),
    ("24 00", "0x24: EOF en fset"),
    ("24 01 C1 00", "0x24: EOF en fdel"),
    ("24 02", "0x24: marker inesperado en fget: 0x02"),
    ("24 00 00 07", "0x24: marker inesperado en fdel: 0x07"),
    # instances
    ("1C" + S("P").hex() + B(b"").hex(), "0x1c: esperado 0x0C"),
    ("1E" + S("P").hex() + B(b"").hex() + "14 00", "0x1e: esperado 0x0C"),
    ("25" + CLASS_V2.hex() + "08 00", "0x25: esperado 0x0C"),
    ("26" + CLASS_V2.hex(), "0x26: esperado 0x0C"),
    ("25" + S("P").hex() + B(b"").hex(), "EOF str_any"),
    ("25 00", "read_str_any: tag inesperado 0x00"),
    ("25" + CLASS_V2.hex() + "0C 01 C1", "EOF inesperado"),
    # reduce, version 1
    ("1F" + S("mk").hex(), "EOF reduce has_src"),
    ("1F" + S("mk").hex() + "01", "EOF en dedup"),
    (REDUCE_V1.hex(), "0x1F: esperaba tupla args"),
    (REDUCE_V1.hex() + "08 00 00", "0x1F: esperaba tupla args"),
    (REDUCE_V1.hex() + "09 00", "EOF reduce flags"),
    (REDUCE_V1.hex() + "09 00 01", "EOF inesperado"),
    (REDUCE_V1.hex() + "09 00 06 14 00", "EOF inesperado"),
    # reduce, version 2
    ("27", "EOF callable marker"),
    ("27 02", "callable: marcador invalido"),
    ("27 00", "EOF callable ref"),
    ("27 00 09", "callable ref: opcode invalido"),
    ("27 00 FF 00", "callable ref: opcode invalido"),
    ("27 00 FE", "EOF ref8"),
    ("27 00 FD 00", "EOF ref16"),
    ("27 00 FC 00 00", "EOF ref32"),
    ("27 00 FE 00 09 00 00", REF_ERR.format(0, 0)),
    ("27 01" + S("mk").hex(), "EOF reduce has_src"),
    ("27 01" + S("mk").hex() + "00", "EOF str_any"),
    (REDUCE_V2.hex(), "0x27: esperaba tupla args"),
    (REDUCE_V2.hex() + "0C 00 00", "0x27: esperaba tupla args"),
    (REDUCE_V2.hex() + "16 00", "EOF reduce flags"),
    (REDUCE_V2.hex() + "FE 04 00", REF_ERR.format(4, 4)),  # fields 0..2, callable 3
    (REDUCE_V2.hex() + "09 00 04", "EOF inesperado"),
    # functions with their globals, code objects
    ("30", "EOF en dedup"),
    ("30 0E 00", "EOF en dedup"),
    ("30 0E 00 0E 00", "EOF str_any"),
    ("30 0E 00 0E 00 15 00", "0x30: EOF en flags"),
    ("30 0E 00 0E 00 15 00 00", "EOF str_any"),
    ("30 0E 00 0E 00 15 00 40 15 00", "EOF str_any"),  # __name__
    ("30 0E 00 0E 00 15 00 80 15 00", "EOF inesperado"),  # __module__
    ("30 0E 00 0E 00 15 00 04 15 00", "0x30: EOF en celdas"),
    ("30 0E 00 0E 00 15 00 04 15 00 02 35 00", "EOF inesperado"),
    ("30 0E 00 0E 00 15 00 08 15 00", "0x30: EOF en globales"),
    ("30 0E 00 0E 00 15 00 08 15 00 01 15 00", "EOF inesperado"),
    ("30 0E 00 0E 00 15 00 08 15 00 01 C1", "read_str_any: tag inesperado 0xc1"),
    ("30 0E 00 0E 00 15 00 20 15 00", "EOF inesperado"),  # __doc__
    ("31", "EOF en dedup"),
    ("31 0E 00", "EOF en dedup"),
    # classes, values by reference, modules, cells
    ("32", "EOF str_any"),
    ("32" + S("P").hex() + B(b"").hex(), "EOF str_any"),
    ("33", "EOF str_any"),
    ("33 15 01 6D", "EOF str_any"),
    ("34", "EOF str_any"),
    ("35", "0x35: EOF en celda"),
    ("35 02", "0x35: marcador inesperado 0x02"),
    ("35 01", "EOF inesperado"),
    # the reduce protocol's full form
    ("36", "0x36: EOF en tipo"),
    ("36 03", "0x36: tipo inesperado 0x03"),
    ("36 00", "EOF inesperado"),
    ("36 00 00 08 00", "0x36: esperaba tupla args"),
    ("36 00 00", "0x36: esperaba tupla args"),
    ("36 00 00 16 00", "EOF reduce flags"),
    ("36 02 00 16 00 08 00", "0x36: esperaba dict kwargs"),
    ("36 00 00 16 00 03 C1", "EOF inesperado"),
    # text with lone surrogates
    ("37", "EOF en dedup"),
    ("37 0E 02 ED", "short data overflow"),
    ("37 FF", "Marker dedup desconocido: 0xff"),
]


@pytest.mark.parametrize("hexstream, message", MESSAGES, ids=[m[0][:24] for m in MESSAGES])
def test_walk_message(hexstream, message):
    stream = H(hexstream)
    for show in (False, True):
        report = verify(stream, show)
        assert (report.ok, report.error) == (False, message)


@pytest.mark.parametrize(
    "stream, message",
    [
        # the name of a function given as a reference to the list around it
        (H("14 01 0D 05 FE 00") + B(SRC), INVALID_REF.format(0)),
        (H("14 02 14 00 25") + S("P") + B(b"") + H("FE 01 0C 00"), INVALID_REF.format(1)),
        (FN_SOURCE[:-len(B(SRC))] + B(b"not zlib", 0x1B),
         "0xFB: fallo zlib decompress al capturar fuente"),
        # a compressed byte value is inflated too, as the reader inflates it
        (b"\x06" + B(b"\x78\x9c broken", 0x1B), "0xFB: fallo zlib decompress al capturar fuente"),
    ],
)
def test_capture_only_failures(stream, message):
    bare, captured = verify(stream), verify(stream, True)
    assert bare.ok, bare.error
    assert (captured.ok, captured.error) == (False, message)


INSTANCE_HEAD = b"\x25" + CLASS_V2 + b"\x0c\x01\xc1"  # instance whose dict is {1: next}


@pytest.mark.parametrize(
    "level, innermost",
    [
        (H("08 01"), H("08 00")),
        (H("14 01"), H("16 00")),
        (H("2A"), H("08 00")),
        (H("2D"), H("C1")),
        (H("22"), FN_SOURCE),
        # the reader takes an instance's 0x0C itself: its pairs are one level down
        (INSTANCE_HEAD, b"\x25" + CLASS_V2 + b"\x0c\x00"),
    ],
)
def test_depths_0_to_200_pass(level, innermost):
    stream = level * 200 + innermost  # innermost value at depth 200
    assert verify(stream).ok, verify(stream).error
    assert verify(level + stream).error == "Profundidad de anidamiento excesiva (>200)"


# ---------------------------------------------------------------------------
# Captured parts, per tag

Z_SRC = b"class Q:\n    x = 1\n" * 4
PARTS = [
    # stream, the blocks as (position, tag, raw parts)
    (FN_SOURCE, [(0, 0x0D, (b"f", SRC))]),
    (b"\x0d\x05" + B(b"f") + B(zlib.compress(SRC), 0x1B), [(0, 0x0D, (b"f", SRC))]),
    (b"\x1c" + S("P") + B(b"src") + H("0C 00"), [(0, 0x1C, (b"P", b"src"))]),
    (b"\x1e" + S("P") + B(Z_SRC) + H("0C 01") + S("a") + b"\xc1", [(0, 0x1E, (b"P", Z_SRC))]),
    (b"\x25" + S("P") + B(zlib.compress(Z_SRC), 0x1B) + S("m") + H("0C 00"),
     [(0, 0x25, (b"P", Z_SRC, b"m"))]),
    (b"\x26" + H("05 FB 05 01") + b"P" + B(b"s") + S("") + H("0C 00"),
     [(0, 0x26, (b"P", b"s", b""))]),
    # a name whose long block claims compressed content is text, never inflated
    (b"\x25" + H("05 FB 1B 01") + b"P" + B(b"s") + S("m") + H("0C 00"),
     [(0, 0x25, (b"P", b"s", b"m"))]),
    (REDUCE_V1 + H("09 00 00"), [(0, 0x1F, (b"mk", None))]),
    (b"\x1f" + S("mk") + b"\x01" + B(b"src") + H("16 00 00"), [(0, 0x1F, (b"mk", b"src"))]),
    (REDUCE_V2 + H("09 00 00"), [(0, 0x27, (b"mk", b"def mk():\n    pass\n", b"m"))]),
    (b"\x27\x01" + S("mk") + b"\x00" + S("m") + H("09 00 00"), [(0, 0x27, (b"mk", None, b"m"))]),
    # list 0; name 1, source 2, module 3, callable 4; then 00 FE 04 names it again
    (H("14 02") + REDUCE_V2 + H("09 00 00 27 00 FE 04 09 00 00"),
     [(2, 0x27, (b"mk", b"def mk():\n    pass\n", b"m")),
      (2 + len(REDUCE_V2) + 3, 0x27, (None, None, None))]),
    (b"\x20" + B(CODE_BLOB, 0x20) + H("01 C1 00"), [(0, 0x20, (CODE_BLOB,))]),
    (b"\x21" + B(CODE_BLOB, 0x21), [(0, 0x21, (CODE_BLOB,))]),
    (b"\x23" + FN_SOURCE, [(1, 0x0D, (b"f", SRC)), (0, 0x23, (b"staticmethod",))]),
    (H("2D 22") + FN_SOURCE, [(2, 0x0D, (b"f", SRC)), (1, 0x22, (b"classmethod",))]),
    (H("24 00 01") + FN_SOURCE + b"\x00", [(3, 0x0D, (b"f", SRC)), (0, 0x24, (b"fset",))]),
    (H("24 01 C1 01 C2 01 C3"), [(0, 0x24, (b"fget, fset, fdel",))]),
    (H("24 00 00 01 00"), [(0, 0x24, (b"fdel",))]),
    (H("24 00 00 00"), [(0, 0x24, (b"",))]),
    # parts given by reference to earlier blocks, of either kind
    (H("14 03 15 01 66 06") + B(SRC) + H("0D 05 FE 01 FE 02"),
     [(2 + 3 + 1 + len(B(SRC)), 0x0D, (b"f", SRC))]),
    (H("14 02 05 15 02 6D 6B 25 FE 01") + B(b"s") + H("FE 01 0C 00"),
     [(7, 0x25, (b"mk", b"s", b"mk"))]),
    # functions: (qualname, module, version, bytecode); code: (version, bytecode)
    (FUNCTION, [(0, 0x30, (b"f", b"m", PYVERSION, CODE_BLOB))]),
    (b"\x31" + VERSIONED_CODE, [(0, 0x31, (PYVERSION, CODE_BLOB))]),
    # globals naming a module and a value by reference: "math" 5, module 6, "s" 7, "sqrt" 8
    (FN_HEAD + b"\x08" + S("f") + b"\x02" + S("math") + b"\x34\xfe\x05" + S("s")
     + b"\x33\xfe\x05" + S("sqrt"),
     [(len(FUNCTION) + 7, 0x34, (b"math", b"function globals")),
      (len(FUNCTION) + 13, 0x33, (b"sqrt", b"math", b"function globals")),
      (0, 0x30, (b"f", b"m", PYVERSION, CODE_BLOB))]),
    # classes, values by reference and modules outside any function's globals
    (b"\x32" + CLASS_V2, [(0, 0x32, (b"P", b"class P:\n    pass\n", b"m"))]),
    (b"\x33" + S("builtins") + S("len"), [(0, 0x33, (b"len", b"builtins", None))]),
    (b"\x34" + S("math"), [(0, 0x34, (b"math", None))]),
    # the full reduce form: its callable or class is a block before it
    (b"\x36\x00\x33" + S("builtins") + S("int") + H("09 00 00"),
     [(2, 0x33, (b"int", b"builtins", None)), (0, 0x36, (b"call",))]),
    (b"\x36\x01\x32" + CLASS_V2 + H("09 00 01 13 00"),
     [(2, 0x32, (b"P", b"class P:\n    pass\n", b"m")), (0, 0x36, (b"new",))]),
    (b"\x36\x02\x32" + CLASS_V2 + H("09 00 0C 00 00"),
     [(2, 0x32, (b"P", b"class P:\n    pass\n", b"m")), (0, 0x36, (b"new with keywords",))]),
]


@pytest.mark.parametrize("stream, blocks", PARTS, ids=[p[0][:12].hex() for p in PARTS])
def test_raw_parts_per_tag(stream, blocks, raw_parts):
    bare, captured = verify(stream), verify(stream, True)
    assert bare.ok and captured.ok, (bare.error, captured.error)
    expected = [(pos, tag, REASONS[tag], (tag, parts)) for pos, tag, parts in blocks]
    assert captured.unexecuted_blocks == expected
    assert bare.unexecuted_blocks == [e[:3] + (None,) for e in expected]
    assert bare.tag_counts == captured.tag_counts
    assert bare.bytes_consumed == captured.bytes_consumed == len(stream)


def test_tag_counts_include_nested_values_but_not_markers():
    # 25, header fields, dict { "a": (1,) }: the dict and every nested value count
    stream = b"\x25" + CLASS_V2 + b"\x0c\x01" + S("a") + H("16 01 C1")
    assert verify(stream).tag_counts == {0x0C: 1, 0x15: 1, 0x16: 1, 0xC1: 1, 0x25: 1}
    # 1F: the arguments tuple and the flagged values count; 0x05 after 0D does not
    stream = REDUCE_V1 + H("09 01 C2 07 C3 0D 05") + FN_SOURCE[2:] + H("13 00")
    assert verify(stream).tag_counts == {0x09: 1, 0x0D: 1, 0x13: 1, 0x1F: 1, 0xC2: 1, 0xC3: 1}


# ---------------------------------------------------------------------------
# The index space and agreement with the reader

@pytest.mark.parametrize(
    "stream, ok",
    [
        (H("14 02 15 01 61 FE 01"), True),
        (H("14 01 FE 00"), True),  # a list takes its entry before its items
        (H("16 01 FE 00"), False),
        (H("14 02 16 00 FE 01"), True),
        (H("14 02 17 01 C1 FE 01"), True),
        (H("14 02 13 00 FE 01"), True),
        (H("14 02 08 00 FE 01"), False),  # plain containers take none
        # short containers inside a container: entries before or after items
        (H("14 02 14 01 FE 01 FE 01"), True),
        (H("14 02 16 01 FE 01 FE 01"), False),
        (H("14 02 16 01 C1 FE 01"), True),
        (H("14 02 09 01 FE 01 C1"), False),
        (H("14 02 08 3F") + b"\xc1" * 63 + H("FE 00"), True),  # largest 1-byte count
        (H("14 02 08 40 40") + b"\xc1" * 64 + H("FE 00"), True),
        (H("14 02 2E 15 01 62 00 FE 01"), True),  # the typecode is a text block
        # 0E and FB start a string field as they do for the reader
        (H("14 02 2E 0E 01 62 00 FE 01"), True),
        (H("14 02 2E FB 1B 01 62 00 FE 01"), True),
        # class header fields take entries, instances none: 0 list, 1-3 fields
        (H("14 02 25") + CLASS_V2 + H("0C 00 FE 03"), True),
        (H("14 02 25") + CLASS_V2 + H("0C 00 FE 04"), False),
        # an inline callable takes one after its fields; version 1 takes none
        (H("14 02") + REDUCE_V2 + H("09 00 00 FE 04"), True),
        (H("14 02") + REDUCE_V2 + H("09 00 00 FE 05"), False),
        (H("14 02") + REDUCE_V1 + H("09 00 00 FE 01"), True),
        (H("14 02") + REDUCE_V1 + H("09 00 00 FE 02"), False),
        (H("14 02 20") + B(CODE_BLOB, 0x20) + H("00 00 FE 01"), True),
        (H("14 02 20") + B(CODE_BLOB, 0x20) + H("00 00 FE 02"), False),
        # a function takes its entry before its fields: 0-2 its blocks, 3 itself, 4 its
        # qualname, and its defaults may name it
        (FN_HEAD + b"\x01" + S("f") + H("16 01 FE 03"), True),
        (FN_HEAD + b"\x01" + S("f") + H("16 01 FE 05"), False),
        # a cell before its contents; classes, values by reference and modules after
        # their fields
        (H("35 01 FE 00"), True),
        (H("35 01 FE 01"), False),
        (H("14 02 32") + CLASS_V2 + H("FE 04"), True),
        (H("14 02 32") + CLASS_V2 + H("FE 05"), False),
        (H("14 02 33") + S("builtins") + S("len") + H("FE 03"), True),
        (H("14 02 33") + S("builtins") + S("len") + H("FE 04"), False),
        (H("14 02 34") + S("math") + H("FE 02"), True),
        (H("14 02 34") + S("math") + H("FE 03"), False),
    ],
)
def test_references_name_the_entries_the_reader_holds(stream, ok):
    assert verify(stream).ok is ok
    if b"\x25" not in stream and b"\x27" not in stream and b"\x1f" not in stream:
        if ok:
            vellum.loads(stream)
        else:
            with pytest.raises(IndexError):
                vellum.loads(stream)


@pytest.mark.parametrize(
    "stream",
    [
        H("0D 0E 01 66 0E 00"),  # the reader requires 05 before a function name
        H("06 15 01 61"),  # and no 0x15 in a byte block
        H("0D 05 0E 01 66 15 00"),
        H("14 02 15 01 61 FB 00 00 00 01"),  # nor 0xFB / 0xFF as references
        H("14 02 15 01 61 FF 00 00 00 01"),
        H("1B 0E 01 61"),  # nor a bare compressed block, which it reads as bytes
    ],
)
def test_forms_the_reader_reads_otherwise_are_refused(stream):
    assert not verify(stream).ok
    try:
        vellum.loads(stream)
    except (ValueError, IndexError, TypeError):
        pass


P_SRC = B(b"class P:\n    pass\n")
LIST_CALL = S("list") + b"\x00"  # a callable without source: found among the builtins
# After each tag byte that has one, a payload that loads: a value of depth one
# and no reference, so that its bytes are the tag's alone.
TAG_PAYLOADS = {
    0x02: H("00 01 05"), 0x03: H("3F F8 00 00 00 00 00 00"), 0x04: bytes(16),
    0x05: H("0E 01 61"), 0x06: H("0E 01 61"), 0x07: H("0E 01 61"),
    **dict.fromkeys((0x08, 0x09, 0x0A, 0x0B, 0x14, 0x16, 0x17), H("01 C1")),
    0x0C: H("01 C1 C2"), 0x13: H("01 C1 C2"), 0x0D: FN_SOURCE[1:],
    0x0F: H("01 00"), 0x10: H("05"), 0x11: H("FF"), 0x12: H("FF"), 0x15: H("01 61"),
    0x1B: H("0E 01 61"), 0x1C: S("P") + P_SRC + H("0C 00"), 0x1E: S("P") + P_SRC + H("0C 00"),
    0x1F: LIST_CALL + H("09 00 00"), 0x20: B(CODE_BLOB, 0x20) + H("00 00"),
    0x21: B(CODE_BLOB, 0x21), 0x22: H("C1"), 0x23: H("C1"), 0x24: H("00 00 00"),
    0x25: CLASS_V2 + H("0C 00"), 0x26: CLASS_V2 + H("0C 00"),
    0x27: H("01") + LIST_CALL + S("builtins") + H("09 00 00"),
    **dict.fromkeys((0x2A, 0x2B, 0x2C), H("C1")), 0x2D: H("0C 00"), 0x2E: H("15 01 62 00"),
    0x2F: H("00 00 00 01"),
}
# Functions, code, classes, values by name, cells, the full reduce form and
# str with lone surrogates, as dumps writes each at the root.
class _ByValue:
    pass


for _value in (lambda x: 2 * x, (lambda: 0).__code__, _ByValue, len, math,
               types.CellType(1), uuid.UUID(int=5), "\ud800"):
    _stream = vellum.dumps(_value)
    TAG_PAYLOADS.setdefault(_stream[0], _stream[1:])
# What the walk refuses and the reader takes: 0x1B as a value, and as the
# marker of a compressed block (a zlib stream of "abc" here).
WALK_REFUSES = {bytes([0x1B]) + TAG_PAYLOADS[0x1B],
                H("06 1B 0E") + bytes([len(zlib.compress(b"abc"))]) + zlib.compress(b"abc")}


@pytest.mark.parametrize("stream", [bytes([t]) + TAG_PAYLOADS.get(t, b"") for t in range(256)]
                         + sorted(WALK_REFUSES - {H("1B 0E 01 61")}), ids=lambda s: s[:3].hex())
def test_reader_and_walk_take_the_same_tags_and_bytes(stream):
    try:
        _vellum.deserialize_fast(stream)
        loaded = True
    except (ValueError, IndexError):
        loaded = False
    report = verify(stream)
    if stream in WALK_REFUSES:
        assert (loaded, report.ok) == (True, False)
    assert report.ok is loaded or stream in WALK_REFUSES, report.error
    if report.ok:
        assert report.bytes_consumed == len(stream)
        with pytest.raises(ValueError):  # the reader needs every byte too
            _vellum.deserialize_fast(stream[:-1])
        # bytes after the value: the reader ignores them, the walk refuses them
        _vellum.deserialize_fast(stream + b"\x00")
        assert not verify(stream + b"\x00").ok


def test_capture_inflation_is_bounded_as_the_reader_bounds_it():
    bomb = zlib.compress(b"\0" * (4 << 20), 9)
    stream = b"\x0d\x05" + B(b"f") + B(bomb, 0x1B)
    assert verify(stream).ok
    report = verify(stream, True)
    assert report.error == "0xFB: fallo zlib decompress al capturar fuente"


# ---------------------------------------------------------------------------
# Soundness


def _double(x):
    return 2 * x


def _get(self):
    return 1


def _set(self, v):
    pass


def _with_fn_default(x, f=_double):
    return f(x)


def _adder(n):
    def add(x):
        return x + n
    return add


def _with_globals(x):
    return zlib.crc32(b"") + _double(x)


class _Fold:
    pass


def _cycle():
    a = [1]
    a.append(a)
    return a


class _Obj:
    def __init__(self, **kw):
        self.__dict__.update(kw)


class _Slots:
    __slots__ = ("a", "b")

    def __init__(self, a):
        self.a = a


class _Val:
    def __init__(self, n):
        self.n = n

    def __reduce__(self):
        return (_Val, (self.n,), {"extra": [self.n]}, iter([1]), iter([("k", 2)]))

    def extend(self, items):
        pass

    def update(self, pairs):
        pass


def _objects():
    shared = [1]
    return [_Obj(a=shared, b="x"), _Obj(a=shared), _Slots(shared), _Val(3), _Val(4),
            range(3), datetime.date(2020, 1, 2)]


# Every kind of value dumps can write, with the tags of the blocks that its
# stream must yield, in recording order.
ROUND_TRIP_VALUES = [
    pytest.param(lambda: None, [], id="none"),
    pytest.param(lambda: [0, 58, 59, -1, -31, 2**31, -(2**70), 1.5, -0.0, 1j], [], id="numbers"),
    pytest.param(lambda: ["abc", "abc", "é" * 40, b"x" * 70, bytearray(b"ab")], [], id="text"),
    pytest.param(lambda: {"a": (1, ("a",)), "b": frozenset({1, 2}), "c": {3}}, [], id="containers"),
    pytest.param(lambda: ["s" * 70_000, b"b" * 70_000], [], id="large"),
    pytest.param(_cycle, [], id="cycle"),
    pytest.param(lambda: [array.array("d", [1.0, 2.0]), {1: 2}.items()], [], id="array-view"),
    pytest.param(lambda: types.MappingProxyType({"k": [1]}), [], id="proxy"),
    pytest.param(lambda: (i for i in range(3)), [], id="generator"),
    pytest.param(lambda: _double, [0x30], id="function"),
    pytest.param(lambda: [_adder(3), _adder(4)], [0x30, 0x30], id="closures"),
    pytest.param(lambda: _with_fn_default, [0x30, 0x30], id="function-default"),
    pytest.param(lambda: _with_globals, [0x34, 0x30, 0x30], id="function-globals"),
    pytest.param(lambda: _double.__code__, [0x31], id="code"),
    pytest.param(lambda: classmethod(_double), [0x30, 0x22], id="classmethod"),
    pytest.param(lambda: {"s": staticmethod(_double)}, [0x30, 0x23], id="staticmethod"),
    pytest.param(lambda: property(_get, _set), [0x30, 0x30, 0x24], id="property"),
    pytest.param(lambda: _Obj(x=1, f=_double), [0x30, 0x25], id="instance"),
    pytest.param(lambda: [int, len, _Obj, zlib, _Obj], [0x33, 0x33, 0x32, 0x34], id="by-reference"),
    pytest.param(lambda: datetime.datetime(2020, 1, 1, fold=1), [0x33, 0x36], id="reduce-ex"),
    pytest.param(lambda: ["a\udcff", "a\udcff", "\ud800"], [], id="surrogates"),
    pytest.param(_objects, [0x25, 0x25, 0x26, 0x27, 0x27, 0x27, 0x27], id="objects"),
    pytest.param(lambda: _Obj(inner=_Obj(s=_Slots(2))), [0x26, 0x25, 0x25], id="nested-objects"),
]


@pytest.mark.parametrize("make, tags", ROUND_TRIP_VALUES)
def test_every_written_stream_verifies_with_its_blocks(make, tags):
    stream = vellum.dumps(make())
    report = verify(stream)
    assert report.ok, report.error
    assert report.bytes_consumed == len(stream)
    assert [b[1] for b in report.unexecuted_blocks] == tags
    assert all(stream[pos] == tag for pos, tag, _, _ in report.unexecuted_blocks)
    assert sum(report.tag_counts.get(t, 0) for t in EXEC_TAGS) == len(tags)
    assert len({b[0] for b in report.unexecuted_blocks}) == len(tags)
    captured = verify(stream, True)
    assert [b[:3] for b in captured.unexecuted_blocks] == [b[:3] for b in report.unexecuted_blocks]
    assert all(isinstance(b[3], str) for b in captured.unexecuted_blocks)


def check(stream):
    """The fuzzer's properties, with this module's classes and dates visible
    to the load, so that the streams of objects load in full."""
    oracle.check(stream, oracle.VISIBLE + (__name__, "datetime"))


HOSTILE = [
    FN_SOURCE, b"\x08\x01" + FN_SOURCE, H("0D 0E 01 66") + B(SRC),
    b"\x20" + B(CODE_BLOB, 0x20) + H("00 00"), b"\x21" + B(CODE_BLOB, 0x21),
    H("22 C1"), H("24 01 C1 00 00"), b"\x25" + CLASS_V2 + H("0C 00"),
    REDUCE_V2 + H("09 00 00"), REDUCE_V1 + H("09 00 00"),
    H("14 02 15 01 61 FB 00 00 00 01"), H("06 15 01 61"), H("1B 0E 01 61"),
    H("14 03 15 01 61 06 1B 0E 01 61 FE 02"), H("2E 0E 01 62 01 05"),
    H("14 01 2A 2B 2C 2D 13 00"), b"\x06" + B(zlib.compress(b"abc"), 0x1B),
    FUNCTION, b"\x31" + VERSIONED_CODE, b"\x32" + CLASS_V2, b"\x33" + S("builtins") + S("len"),
    b"\x34" + S("zlib"), H("35 01 FE 00"), b"\x36\x00\x33" + S("builtins") + S("int") + H("09 00 00"),
    H("37 0E 03 ED B3 BF"),
]
_corpus = [vellum.dumps(p.values[0]()) for p in ROUND_TRIP_VALUES[:9]] + [
    vellum.dumps(p.values[0]()) for p in ROUND_TRIP_VALUES if p.id in ("objects", "nested-objects")
]


@pytest.mark.parametrize("stream", HOSTILE, ids=[s[:8].hex() for s in HOSTILE])
def test_hostile_stream_is_sound(stream):
    check(stream)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.sampled_from(HOSTILE + _corpus),
    st.lists(st.tuples(st.integers(0, 1 << 16), st.integers(0, 255), st.sampled_from("sid")),
             max_size=4),
)
def test_mutated_stream_is_sound(base, edits):
    check(apply_edits(base, edits))


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=64), st.booleans())
def test_random_bytes_never_raise(data, show):
    report = verify(data, show)
    assert report.ok in (True, False) and (report.ok or isinstance(report.error, str))
    check(data)


def test_every_short_stream_is_reported():
    for a in range(256):
        for show in (False, True):
            assert isinstance(verify(bytes([a]), show).ok, bool)
            for b in range(0, 256, 5):
                assert isinstance(verify(bytes([a, b]), show).ok, bool)


def test_verifying_runs_nothing_from_the_stream(watch):
    for stream in HOSTILE + _corpus:
        _, ran = watch.run(_vellum.verify_stream_fast, stream, package_frames=False)
        assert ran == [], stream.hex()


def test_no_leaks_over_many_verifications(monkeypatch):
    streams = HOSTILE + _corpus + [H(m[0]) for m in MESSAGES[::7]]

    def run(times):
        for _ in range(times):
            for s in streams:
                verify(s)
                verify(s, True)

    run(20)
    gc.collect()
    renderer = pkg._render_captured_source
    refs = sys.getrefcount(renderer), sys.getrefcount(pkg.StreamReport)
    blocks = sys.getallocatedblocks()
    run(10_000 // len(streams) + 1)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 200
    assert (sys.getrefcount(renderer), sys.getrefcount(pkg.StreamReport)) == refs


# ---------------------------------------------------------------------------
# The renderer


@pytest.mark.parametrize(
    "tag, parts, expected",
    [
        (0x0D, (b"f", b"def f():\n    return 1\n"), "# function 'f'\ndef f():\n    return 1"),
        (0x25, (b"P", b"class P: \xff\n", b"m"), "# class 'P' from module 'm'\nclass P: \\\\xff"),
        (0x1E, (b"P", b"class P: pass"), "# class (slots instance) 'P'\nclass P: pass"),
        (0x27, (b"range", None, b"builtins"),
         "# callable 'range' from module 'builtins'\n# (no source carried: found by name on load)"),
        (0x27, (None, None, None), "# callable: the one an earlier block of this stream names"),
        (0x21, (bytes(range(20)),),
         "# code object: 20 bytes of marshalled bytecode, not loaded: "
         + bytes(range(16)).hex(" ") + " ..."),
        (0x22, (b"classmethod",), "# classmethod wrapping the function of the block before"),
        (0x24, (b"fget, fdel",), "# property with fget, fdel"),
        (0x24, (b"",), "# property without accessors"),
        (0x30, (b"f", b"m", PYVERSION, bytes(range(20))),
         f"# function 'f' from module 'm': CPython {sys.version_info[0]}.{sys.version_info[1]} "
         f"bytecode (magic {int.from_bytes(PYVERSION[:2], 'big')}), 20 bytes, not loaded: "
         + bytes(range(16)).hex(" ") + " ..."),
        (0x31, (H("00 01 02 07"), b"\x00"),
         "# code object: CPython 2.7 bytecode (magic 1), 1 bytes, not loaded: 00\n"
         "# written by another interpreter version: this one (CPython "
         f"{sys.version_info[0]}.{sys.version_info[1]}, magic "
         f"{int.from_bytes(PYVERSION[:2], 'big')}) refuses it"),
        (0x32, (b"P", b"class P: pass", b"m"), "# class 'P' from module 'm'\nclass P: pass"),
        (0x33, (b"len", b"builtins", None), "# 'len' from module 'builtins', by reference: a "
         "trusted load imports the module when it is not imported"),
        (0x34, (b"math", b"function globals"), "# module 'math', by name, named by a "
         "function's globals: a trusted load imports it when it is not imported"),
        (0x36, (b"new",), "# reduced object: a new instance of its class (the value before "
         "its arguments), made with __new__; its state goes to __setstate__ when it has one"),
    ],
)
def test_renderer_text(tag, parts, expected):
    assert pkg._render_captured_source(tag, parts) == expected


def test_rendered_bytecode_is_never_loaded(watch):
    stream = vellum.dumps(_double)
    report, ran = watch.run(_vellum.verify_stream_fast, stream, True, package_frames=False)
    assert ran == []
    assert " bytes, not loaded: " in report.unexecuted_blocks[0][3]


# ---------------------------------------------------------------------------
# Escaping the stream's text

ESCAPED_IN_SOURCE = (
    set(range(0x00, 0x09)) | set(range(0x0B, 0x20)) | set(range(0x7F, 0xA0))
    | {0x00AD, 0x061C, 0x180E, 0x200B, 0x200C, 0x200E, 0x200F, 0x2028, 0x2029, 0xFEFF}
    | set(range(0x202A, 0x202F)) | set(range(0x2060, 0x2065)) | set(range(0x2066, 0x206A))
)


def test_the_escaped_set_is_the_fixed_list():
    chars = [c for c in range(0x10000) if not 0xD800 <= c <= 0xDFFF] + [0x1F600, 0x10FFFF]
    for one_line, expected in [(False, ESCAPED_IN_SOURCE),
                               (True, ESCAPED_IN_SOURCE | {0x09, 0x0A})]:
        escaped = {c for c in chars if pkg.escape_text(chr(c), one_line=one_line) != chr(c)}
        assert escaped == expected


@pytest.mark.parametrize("text, one_line, shown, hidden", [
    ("a\x1b[2K\rb", False, r"a\x1b[2K\x0db", ("U+001B", "U+000D")),
    ("x\u202ey\u2066", False, r"x\u202ey\u2066", ("U+202E", "U+2066")),
    ("if x:\n\treturn\n", False, "if x:\n\treturn\n", ()),
    ("P\n\tQ", True, r"P\x0a\x09Q", ("U+000A", "U+0009")),
    ("é ÿ 😀\u200d👩 \\x41", True, "é ÿ 😀\u200d👩 \\x41", ()),
    # U+0085 written in UTF-8 against a lone 0x85 byte, and one against the other
    ("\x85".encode() + b"\x85\xff", False, r"\x85\\x85\\xff",
     ("U+0085", "byte 0x85", "byte 0xFF")),
    (b"\xed\xa0\x80", False, r"\\xed\\xa0\\x80", ("byte 0xED", "byte 0xA0", "byte 0x80")),
    ("\udcff", False, r"\udcff", ("U+DCFF",)),  # a lone surrogate in a str is no byte
    ("\x00" * 3, True, r"\x00" * 3, ("U+0000",)),
])
def test_escape_text(text, one_line, shown, hidden):
    assert pkg.escape_text(text, one_line=one_line) == shown
    assert pkg.hidden_characters(text, one_line=one_line) == hidden


def test_capture_flags_its_hidden_text_and_keeps_the_exact_parts():
    name, source, module = b"P\n", b"class P:  # \xe2\x80\xae\n    pass\n", b"m\xff"
    report = verify(b"\x25" + S(name) + B(source) + S(module) + b"\x0c\x00", True)
    code = report.unexecuted_blocks[0][3]
    assert code.parts == (name, source, module)
    assert code.hidden == ("U+000A", "U+202E", "byte 0xFF")
    assert code == "# class 'P\\x0a' from module 'm\\\\xff'\nclass P:  # \\u202e\n    pass"
    assert "1 with hidden or control characters" in repr(report)


def test_names_by_reference_are_escaped_and_flagged():
    code = verify(b"\x33" + S("m\x1b") + S("f\n"), True).unexecuted_blocks[0][3]
    assert code.parts == (b"f\n", b"m\x1b", None)
    assert code.hidden == ("U+000A", "U+001B")
    assert code.startswith("# 'f\\x0a' from module 'm\\x1b', by reference")
