"""Container tags: lists, tuples, dicts, sets, frozensets, generators, dict
views, mapping proxies and arrays."""

import array
import collections
import math
import random
import struct
import types

import pytest

import vellum

from streams import CONTAINER_GOLDEN, CONTAINER_READ_ONLY, MP, assert_same_graph, length_field

@pytest.mark.parametrize("make, hexstream, loads_as", CONTAINER_GOLDEN)
def test_golden_stream_written_and_read(make, hexstream, loads_as):
    stream = bytes.fromhex(hexstream)
    assert vellum.dumps(make()) == stream
    assert_same_graph(make() if loads_as is None else loads_as, vellum.loads(stream))


def test_sets_load_distinct_and_frozensets_shared():
    out = vellum.loads(bytes.fromhex("14 02 0A 01 C1 0A 01 C1"))
    assert out[0] == out[1] and out[0] is not out[1]
    out = vellum.loads(bytes.fromhex("14 02 17 01 C1 FE 01"))
    assert out[0] is out[1]


class _SameRepr:
    def __repr__(self):
        return "same"


class _BadRepr:
    def __repr__(self):
        raise RuntimeError("repr failed")


@pytest.mark.parametrize("kind", [set, frozenset])
def test_set_with_equal_reprs_and_no_ordering_fails(kind):
    with pytest.raises(TypeError):
        vellum.dumps(kind([_SameRepr(), _SameRepr()]))


def test_set_with_failing_repr_fails():
    with pytest.raises(RuntimeError, match="repr failed"):
        vellum.dumps([1, {_BadRepr()}])


def test_generator_is_exhausted_by_dumps():
    g = (x for x in range(3))
    assert vellum.dumps(g) == bytes.fromhex("08 03 C0 C1 C2")
    assert list(g) == []


def test_generator_raising_fails_dumps():
    def gen():
        yield 1
        raise LookupError("stop here")

    with pytest.raises(LookupError, match="stop here"):
        vellum.dumps([gen()])


def test_class_dict_proxy_loads_without_attribute_descriptors():
    class Plain:
        x = 1
        label = "plain"

    out = vellum.loads(vellum.dumps(Plain.__dict__))
    assert type(out) is MP
    assert "__dict__" not in out and "__weakref__" not in out
    expected = {k: v for k, v in Plain.__dict__.items() if k not in ("__dict__", "__weakref__")}
    assert dict(out) == expected
    assert out["x"] == 1 and out["label"] == "plain"


@pytest.mark.parametrize(
    "typecode, items",
    [
        ("b", [-128, 0, 127]),
        ("H", [65_535, 1]),
        ("i", [-5, 7]),
        ("Q", [2**64 - 1]),
        ("f", [1.5, -0.0]),
        ("d", [float("inf"), 2.5] * 50),  # 800 raw bytes: two-byte length
    ],
)
def test_array_written_as_typecode_and_raw_bytes(typecode, items):
    a = array.array(typecode, items)
    raw = a.tobytes()
    expected = b"\x2e\x15\x01" + typecode.encode() + length_field(len(raw)) + raw
    assert vellum.dumps(a) == expected
    out = vellum.loads(expected)
    assert type(out) is array.array and out.typecode == typecode
    assert out.tobytes() == raw


class _ReducingList(list):
    def __reduce__(self):
        raise AssertionError("a list subclass is written as a list")


class _Dict(dict):
    pass


class _FrozenSet(frozenset):
    pass


class _Set(set):
    pass


_Point = collections.namedtuple("_Point", "x y")


@pytest.mark.parametrize(
    "obj, hexstream, base",
    [
        (_ReducingList([1, 2]), "14 02 C1 C2", list),
        (_Dict({1: 2}), "13 01 C1 C2", dict),
        (collections.OrderedDict([(1, 2)]), "13 01 C1 C2", dict),
        (collections.defaultdict(list, {1: 2}), "13 01 C1 C2", dict),
        (collections.Counter({"a": 2}), "13 01 15 01 61 C2", dict),
        (_Point(1, 2), "16 02 C1 C2", tuple),
        (_FrozenSet({1}), "17 01 C1", frozenset),
        (_Set({1}), "0A 01 C1", set),
    ],
    ids=["list-reduce", "dict", "ordereddict", "defaultdict", "counter", "namedtuple", "frozenset", "set"],
)
def test_subclasses_load_as_plain_types(obj, hexstream, base):
    stream = bytes.fromhex(hexstream)
    assert vellum.dumps(obj) == stream
    out = vellum.loads(stream)
    assert type(out) is base and out == obj


@pytest.mark.parametrize("hexstream, expected", CONTAINER_READ_ONLY)
def test_reader_only_forms(hexstream, expected):
    out = vellum.loads(bytes.fromhex(hexstream))
    assert type(out) is type(expected) and out == expected


@pytest.mark.parametrize(
    "body, taken",
    [
        ("08 00", 1),  # only the outer list (idx 0) took an index
        ("09 00", 1),
        ("0A 00", 1),
        ("0B 00", 1),
        ("0C 00", 1),
        ("2A 08 00", 1),
        ("2D 0C 00", 1),
        ("2E 15 01 62 00", 2),  # the typecode str took idx 1, the array none
    ],
)
def test_tags_without_index(body, taken):
    stream = bytes.fromhex(f"14 02 {body} FE {taken:02X}")
    with pytest.raises(IndexError) as info:
        vellum.loads(stream)
    assert str(info.value) == f"ref idx {taken} fuera de rango [0,{taken})"


CONTAINER_ERRORS = [
    ("", ValueError, "EOF"),
    ("14 02 C1", ValueError, "EOF"),  # items run out
    ("13 01 C1", ValueError, "EOF"),  # value missing
    ("2A", ValueError, "EOF"),
    *[(tag, ValueError, "EOF seq len") for tag in ("08", "09", "0A", "0B", "14", "16", "17")],
    ("14 41", ValueError, "EOF seq len"),  # two-byte length cut
    ("16 FF 00 00", ValueError, "EOF seq len"),  # five-byte length cut
    *[(tag, ValueError, "EOF dict len") for tag in ("0C", "13", "13 7F")],
    ("2E", ValueError, "EOF str_any"),
    ("2E C1", ValueError, "read_str_any: tag inesperado 0xc1"),
    ("2E 06 0E 01 62", ValueError, "read_str_any: tag inesperado 0x06"),
    ("2E 05", ValueError, "EOF str_dedup"),
    ("2E 15 01 62", ValueError, "EOF 0x2E array len"),
    ("2E 15 01 62 41", ValueError, "EOF 0x2E array len"),
    ("2E 15 01 62 03 01 02", ValueError, "0x2E array overflow"),
    ("2E 15 01 62 FF FF FF FF FF 00", ValueError, "0x2E array overflow"),
]


@pytest.mark.parametrize("hexstream, exc, message", CONTAINER_ERRORS)
def test_malformed_container_raises(hexstream, exc, message):
    with pytest.raises(exc) as info:
        vellum.loads(bytes.fromhex(hexstream))
    assert type(info.value) is exc
    assert str(info.value) == message


@pytest.mark.parametrize(
    "hexstream, exc",
    [
        ("13 01 14 00 C1", TypeError),  # unhashable dict key
        ("0C 01 14 00 C1", TypeError),
        ("0A 01 14 00", TypeError),  # unhashable set item
        ("17 01 14 00", TypeError),
        ("0B 01 13 00", TypeError),
        ("2D C1", TypeError),  # proxy over a non-mapping
        ("2D 14 00", TypeError),
        ("2E 15 01 7A 00", ValueError),  # no such typecode
        ("2E 15 01 69 03 01 02 03", ValueError),  # not a whole number of items
    ],
)
def test_runtime_errors_pass_through(hexstream, exc):
    with pytest.raises(exc):
        vellum.loads(bytes.fromhex(hexstream))


def _nest(obj, levels):
    for _ in range(levels - 1):
        obj = [obj]
    return obj


def test_mapping_proxy_body_counts_a_level_when_written():
    # The reader reads the proxy's dict one level below the proxy, so the
    # writer refuses exactly the nesting that could not be read back.
    proxy = types.MappingProxyType({"a": 1})
    readable = vellum.dumps(_nest(proxy, 198))
    assert vellum.loads(readable) is not None
    with pytest.raises(ValueError, match="al serializar"):
        vellum.dumps(_nest(proxy, 199))


_FLOAT_TAGS = {0.0: 0x82, 1.0: 0x84, -1.0: 0x85, math.inf: 0x87, -math.inf: 0x88}
_BREAKERS = [300, 70_000, 0.0, -0.0, 1.0, -1.0, math.nan, math.inf, -math.inf, 2**40]


def _item_bytes(x):
    if isinstance(x, float):
        if math.isnan(x):
            return b"\x86"
        if x == 0.0 and math.copysign(1, x) < 0:
            return b"\x83"
        return bytes([_FLOAT_TAGS[x]]) if x in _FLOAT_TAGS else b"\x03" + struct.pack(">d", x)
    if x >= 2**31:
        return b"\x02\x00\x06" + x.to_bytes(6, "big")
    if x > 65_535:
        return b"\x2f" + x.to_bytes(4, "big")
    if x > 255:
        return b"\x0f" + x.to_bytes(2, "big")
    return bytes([0xC0 + x]) if x <= 58 else bytes([0x11, x])


@pytest.mark.parametrize(
    "n, every",
    [
        (100_000, 0),  # one run through many buffer growths
        (100_000, 997),  # runs broken by other items
        (5_000, 1),  # no two run items side by side
        (3, 2),
    ],
)
def test_runs_of_small_ints_and_floats_are_written_byte_for_byte(n, every):
    rng = random.Random(n * 1_000 + every)
    items = [rng.randrange(256) if rng.random() < 0.5 else rng.uniform(-1e6, 1e6) for _ in range(n)]
    for k, i in enumerate(range(0, n if every else 0, every or 1)):
        items[i] = _BREAKERS[k % len(_BREAKERS)]
    expected = b"\x14" + length_field(n) + b"".join(map(_item_bytes, items))
    assert vellum.dumps(items) == expected
    assert vellum.dumps(vellum.loads(expected)) == expected


@pytest.mark.parametrize("container", ["list", "list after ints", "dict"])
def test_container_shrinking_while_written_fails_instead_of_truncating(container):
    if container.startswith("list"):
        at = 2 if container == "list after ints" else 0
        target = [1, 2][:at] + [None, 1, 2, 3]

        def shrink():
            del target[at + 1:]
            yield 0

        target[at] = shrink()
    else:
        target = {"g": None, "a": 1, "b": 2}

        def shrink():
            target.clear()
            yield 0

        target["g"] = shrink()
    with pytest.raises(RuntimeError, match="cambió de tamaño"):
        vellum.dumps(target)
