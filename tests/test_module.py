import subprocess
import sys
import textwrap

import pytest

import vellum
from vellum import _vellum

ROUNDS = 300

SER_DEPTH_MSG = (
    "Profundidad de anidamiento excesiva (>200) al serializar -- mismo límite que "
    "verify_stream() ya aplicaba, ahora también en serialize()"
)
DESER_DEPTH_MSG = (
    "Profundidad de anidamiento excesiva (>200) al deserializar -- mismo límite que "
    "verify_stream() ya aplicaba, ahora también en deserialize()"
)

# Tag bytes that start no value: every byte the reader does not route anywhere, plus the
# two markers that only occur inside content blocks (0x0E, 0xFB).
UNKNOWN_TAGS = (
    [0x01, 0x0E, 0x18, 0x19, 0x1A, 0x1D]
    + list(range(0x38, 0x80))
    + list(range(0x89, 0xC0))
    + [0xFB, 0xFF]
)


def nested_list(levels, leaf=None):
    """A list `levels` deep counting itself; the innermost list holds `leaf` if given."""
    obj = [] if leaf is None else [leaf]
    for _ in range(levels - 1):
        obj = [obj]
    return obj


def test_module_exposes_only_its_functions():
    names = {n for n in dir(_vellum) if not (n.startswith("__") and n.endswith("__"))}
    assert names == {"serialize_fast", "deserialize_fast", "deserialize_safe", "approval",
                     "verify_stream_fast", "dedup_reset"}
    assert _vellum.__doc__ is None


@pytest.mark.parametrize(
    "name, doc",
    [
        ("serialize_fast", "Serializa en C"),
        ("deserialize_fast", "Deserializa en C"),
        ("verify_stream_fast", "Verifica estructura sin ejecutar código"),
        ("dedup_reset", "Limpia caches de source/exec"),
    ],
)
def test_doc_strings(name, doc):
    assert getattr(_vellum, name).__doc__ == doc


@pytest.mark.parametrize(
    "call",
    [
        lambda: _vellum.serialize_fast(),
        lambda: _vellum.serialize_fast(1, 2),
        lambda: _vellum.serialize_fast(obj=1),
        lambda: _vellum.deserialize_fast(),
        lambda: _vellum.deserialize_fast(b"\x00", b"\x00"),
        lambda: _vellum.deserialize_fast(data=b"\x00"),
        lambda: _vellum.deserialize_fast("\x00"),
        lambda: _vellum.deserialize_fast(None),
        lambda: _vellum.deserialize_fast(0),
        lambda: _vellum.deserialize_fast(bytearray(b"\x00")),  # not read-only
        lambda: _vellum.verify_stream_fast(),
        lambda: _vellum.verify_stream_fast("\x00"),
        lambda: _vellum.verify_stream_fast(b"\x00", True, 1),
        lambda: _vellum.verify_stream_fast(b"\x00", show_source=True),
        lambda: _vellum.dedup_reset(1),
    ],
)
def test_argument_parsing_errors(call):
    with pytest.raises(TypeError):
        call()


def test_dedup_reset_before_any_other_call():
    code = textwrap.dedent(
        """
        from vellum import _vellum
        assert _vellum.dedup_reset() is None
        assert _vellum.dedup_reset() is None
        assert _vellum.deserialize_fast(_vellum.serialize_fast(-7)) == -7
        assert _vellum.dedup_reset() is None
        print("ok")
        """
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


@pytest.mark.parametrize(
    "stream, expected",
    [
        (b"\x00\x00", None),  # 00: None, then another None
        (b"\x00" + b"\xff" * 16, None),  # 00: None, then unknown tags never read
        (b"\xc5\x14\x05", 5),  # C5: 5, then a truncated list
        (b"\x11\x3b\x03", 59),  # 11 3B: 59, then a truncated float
    ],
)
def test_trailing_bytes_are_ignored(stream, expected):
    assert vellum.loads(stream) == expected


@pytest.mark.parametrize("tag", UNKNOWN_TAGS, ids=lambda t: f"{t:02x}")
def test_unknown_tag(tag):
    for stream in (bytes([tag]), bytes([tag, 0x00, 0xC0])):
        with pytest.raises(ValueError) as excinfo:
            vellum.loads(stream)
        assert str(excinfo.value) == "Tag desconocido: 0x%02x" % tag


@pytest.mark.parametrize(
    "levels, leaf, ok",
    [
        (200, None, True),  # 200 lists counting the root
        (199, 1, True),  # the int in the innermost list is level 200
        (201, None, False),
        (200, 1, False),
        (250, None, False),
    ],
)
def test_serialize_depth_limit(levels, leaf, ok):
    obj = nested_list(levels, leaf)
    if ok:
        assert vellum.loads(vellum.dumps(obj)) == obj
    else:
        with pytest.raises(ValueError) as excinfo:
            vellum.dumps(obj)
        assert str(excinfo.value) == SER_DEPTH_MSG


@pytest.mark.parametrize(
    "stream, ok",
    [
        (b"\x14\x01" * 199 + b"\x14\x00", True),  # 200 list tags, innermost empty
        (b"\x14\x01" * 199 + b"\xc0", True),  # the int 0 at level 200
        (b"\x14\x01" * 200 + b"\x14\x00", False),  # 201 list tags
        (b"\x14\x01" * 200 + b"\xc0", False),  # the int at level 201
        (b"\x14\x01" * 300, False),  # refused before the stream runs out
    ],
)
def test_deserialize_depth_limit(stream, ok):
    if not ok:
        with pytest.raises(ValueError) as excinfo:
            vellum.loads(stream)
        assert str(excinfo.value) == DESER_DEPTH_MSG
        return
    obj = vellum.loads(stream)
    for _ in range(199):
        assert type(obj) is list and len(obj) == 1
        obj = obj[0]
    assert obj == [] or obj == 0


@pytest.mark.parametrize(
    "failing, exc",
    [
        (nested_list(201), ValueError),
        (nested_list(150, object()), TypeError),
    ],
)
def test_serialize_depth_restored_after_failure(failing, exc):
    deepest = nested_list(200)
    for _ in range(5):
        with pytest.raises(exc):
            vellum.dumps(failing)
        assert vellum.dumps(deepest) == b"\x14\x01" * 199 + b"\x14\x00"


@pytest.mark.parametrize(
    "failing",
    [
        b"\x14\x01" * 201,  # depth
        b"\x14\x01" * 150,  # EOF where the innermost item should begin
        b"\x14\x01" * 150 + b"\x02\x00\x05\x01",  # bigint magnitude truncated
        b"\x14\x01" * 150 + b"\x30",  # unknown tag deep inside
    ],
)
def test_deserialize_depth_restored_after_failure(failing):
    deepest = b"\x14\x01" * 199 + b"\x14\x00"
    for _ in range(5):
        with pytest.raises(ValueError):
            vellum.loads(failing)
        vellum.loads(deepest)


def repeat(fn, arg, exc=None):
    """Call fn(arg) ROUNDS times in a frame of its own, so no loop variable or traceback
    outlives the calls and skews the reference counts taken by the caller."""
    for _ in range(ROUNDS):
        try:
            fn(arg)
        except Exception as e:
            if exc is None or type(e) is not exc:
                raise


def test_unsupported_object_leaks_nothing(flush_read_table):
    bad = object()
    lst = [1, 2.5, [bad]]
    for obj in (bad, lst):
        with pytest.raises(TypeError) as excinfo:
            vellum.dumps(obj)
        assert str(excinfo.value) == "Tipo no soportado: <class 'object'>"
    del excinfo
    before = sys.getrefcount(bad), sys.getrefcount(lst), sys.getrefcount(lst[2])
    repeat(vellum.dumps, lst, TypeError)
    repeat(vellum.dumps, bad, TypeError)
    assert (sys.getrefcount(bad), sys.getrefcount(lst), sys.getrefcount(lst[2])) == before


ROUND_TRIP_OBJECTS = [10**40, -(10**40), 123456, 2.5, complex(1.5, -2.5), [10**40, 2.5, None]]
FAILING_STREAMS = [
    b"\x02\x00\x05\x01",  # bigint magnitude cut
    b"\x14\x02\xc1\x30",  # list whose second item has an unknown tag
    b"\x14\x01" * 201,  # too deep
    b"\x04" + b"\x00" * 15,  # complex cut
]


@pytest.mark.parametrize("obj", ROUND_TRIP_OBJECTS, ids=repr)
def test_round_trips_leave_reference_counts_unchanged(flush_read_table, obj):
    stream = vellum.dumps(obj)
    before = sys.getrefcount(obj), sys.getrefcount(stream)
    repeat(vellum.dumps, obj)
    repeat(vellum.loads, stream)
    vellum.loads(b"\x00")
    assert (sys.getrefcount(obj), sys.getrefcount(stream)) == before


@pytest.mark.parametrize("stream", FAILING_STREAMS, ids=lambda s: s[:6].hex())
def test_failing_loads_leave_input_reference_count_unchanged(flush_read_table, stream):
    before = sys.getrefcount(stream)
    repeat(vellum.loads, stream, ValueError)
    assert sys.getrefcount(stream) == before


@pytest.mark.parametrize("stream", [
    b"\x14\x00",          # 14 00: empty shared list
    b"\x14\x01\xfe\x00",  # 14 01 FE 00: a list holding itself
    b"\x16\x00",          # 16 00: empty shared tuple
], ids=lambda s: s.hex())
def test_reader_keeps_nothing_once_a_load_returns(flush_read_table, stream):
    loaded = _vellum.deserialize_fast(stream)
    fresh = type(loaded)()
    extra = 1 if isinstance(loaded, list) and loaded and loaded[0] is loaded else 0
    assert sys.getrefcount(loaded) == sys.getrefcount(fresh) + extra


def test_scalars_are_not_kept_by_the_reader(flush_read_table):
    big = vellum.loads(b"\x02\x00\x09\x01" + b"\x00" * 8)  # 2**64
    fresh = 2**64 + int("0")
    assert sys.getrefcount(big) == sys.getrefcount(fresh)
