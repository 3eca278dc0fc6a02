"""Container tags: lists, tuples, dicts, sets, frozensets, generators, dict
views, mapping proxies and arrays."""

import array
import collections
import os
import sys
import types

import pytest

import vellum

try:
    from test_index_space import length_field
    from test_roundtrip import assert_same_graph
except ImportError:  # collected under an import mode that leaves sys.path alone
    sys.path.insert(0, os.path.dirname(__file__))
    from test_index_space import length_field
    from test_roundtrip import assert_same_graph

MP = types.MappingProxyType


def _self_dict():
    d = {}
    d["self"] = d
    return d


def _dict_list_cycle():
    d = {"l": []}
    d["l"].append(d)
    return d


def _gen(*items):
    return lambda: (x for x in items)


def _partly_consumed():
    g = (x for x in (1, 2))
    next(g)
    return g


def _pair(make):
    def build():
        x = make()
        return [x, x]

    return build


_D = {"a": 1}


def G(make, hexstream, loads_as=None, *, id):
    """A golden case: what make() dumps to, and what the stream loads as
    (make() itself unless given)."""
    return pytest.param(make, hexstream, loads_as, id=id)


GOLDEN = [
    # set of 3: "a", 10, 2 (a quote sorts before the digits)
    G(lambda: {10, 2, "a"}, "0A 03 15 01 61 CA C2", id="set-ordered-by-repr"),
    G(lambda: {"b", "a", 1}, "0A 03 15 01 61 15 01 62 C1", id="set-quote-before-digit"),
    G(lambda: {None, True, False}, "0A 03 80 00 81", id="set-constants"),  # False, None, True
    G(set, "0A 00", id="empty-set"),
    # a set takes no index: written twice
    G(_pair(lambda: {1}), "14 02 0A 01 C1 0A 01 C1", id="set-twice"),
    G(lambda: frozenset({10, 2, "a"}), "17 03 15 01 61 CA C2", id="frozenset-ordered"),
    G(frozenset, "17 00", id="empty-frozenset"),
    # list (idx 0); frozenset (idx 1); FE 01
    G(_pair(lambda: frozenset({1})), "14 02 17 01 C1 FE 01", id="frozenset-shared"),
    # shared by identity only
    G(lambda: [frozenset({1}), frozenset({1})], "14 02 17 01 C1 17 01 C1", id="equal-frozensets"),
    G(lambda: (1, "a"), "16 02 C1 15 01 61", id="tuple"),
    G(tuple, "16 00", id="empty-tuple"),
    G(_pair(lambda: (1,)), "14 02 16 01 C1 FE 01", id="tuple-shared"),
    G(lambda: {"a": 1, 2: None}, "13 02 15 01 61 C1 C2 00", id="dict"),  # key, value, key, value
    G(lambda: [{}, {}], "14 02 13 00 13 00", id="distinct-empty-dicts"),
    # dict (idx 0) {"self" (idx 1): FE 00}
    G(_self_dict, "13 01 15 04 73 65 6C 66 FE 00", id="self-containing-dict"),
    # dict (idx 0) {"l" (idx 1): list (idx 2) [FE 00]}
    G(_dict_list_cycle, "13 01 15 01 6C 14 01 FE 00", id="dict-list-cycle"),
    # generators: a plain list of the remaining items, no index
    G(_gen(1, 2), "08 02 C1 C2", [1, 2], id="generator"),
    G(_gen(), "08 00", [], id="empty-generator"),
    G(_partly_consumed, "08 01 C2", [2], id="partly-consumed-generator"),
    G(lambda: [(x for x in [1])], "14 01 08 01 C1", [[1]], id="generator-in-list"),
    # keys view: a list (idx 0)
    G(lambda: {}.keys(), "2A 14 00", [], id="empty-keys-view"),
    G(lambda: {"a": 1}.items(), "2C 14 01 16 02 15 01 61 C1", [("a", 1)], id="items-view"),
    # list (idx 0); keys: list (idx 1) ["a" (idx 2)]; values: list (idx 3) [1]
    G(lambda: [_D.keys(), _D.values()], "14 02 2A 14 01 15 01 61 2B 14 01 C1", [["a"], [1]], id="keys-vals"),
    # list (idx 0); dict (idx 1) {"a" (idx 2): 1}; keys: list (idx 3) [FE 02]
    G(lambda: [_D, _D.keys()], "14 02 13 01 15 01 61 C1 2A 14 01 FE 02", [_D, ["a"]], id="dict-and-keys"),
    # each view builds a new list; none may be mistaken for an earlier one
    G(
        lambda: [_D.keys()] * 3,
        "14 03 2A 14 01 15 01 61 2A 14 01 FE 02 2A 14 01 FE 02",
        [["a"], ["a"], ["a"]],
        id="same-view-thrice",
    ),
    # list (idx 0); list (idx 1) [("a" idx 2, 1) idx 3]; list (idx 4) [(FE 02, 1) idx 5]
    G(
        lambda: [_D.items(), _D.items()],
        "14 02 2C 14 01 16 02 15 01 61 C1 2C 14 01 16 02 FE 02 C1",
        [[("a", 1)], [("a", 1)]],
        id="items-views-new-tuples",
    ),
    # proxy of a plain dict block
    G(lambda: MP({"a": 1}), "2D 0C 01 15 01 61 C1", id="mapping-proxy"),
    G(lambda: MP({"__dict__": 1, "x": 2}), "2D 0C 01 15 01 78 C2", MP({"x": 2}), id="proxy-drops-dict-key"),
    # list (idx 0); dict (idx 1) {"a" (idx 2): 1}; proxy of a copy: {FE 02: 1}
    G(lambda: [_D, MP(_D)], "14 02 13 01 15 01 61 C1 2D 0C 01 FE 02 C1", id="dict-and-proxy"),
    # typecode "b" (idx 0), 2 raw bytes
    G(lambda: array.array("b", [1, -1]), "2E 15 01 62 02 01 FF", id="array"),
    G(lambda: array.array("B"), "2E 15 01 42 00", id="empty-array"),
    # list (idx 0); array: typecode "b" (idx 1); array: FE 01
    G(
        lambda: [array.array("b", [5]), array.array("b", [6])],
        "14 02 2E 15 01 62 01 05 2E FE 01 01 06",
        id="array-typecode-shared",
    ),
]

GOLDEN_STREAMS = [bytes.fromhex(p.values[1]) for p in GOLDEN]


@pytest.mark.parametrize("make, hexstream, loads_as", GOLDEN)
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


READ_ONLY = [
    ("09 02 C1 C2", (1, 2)),  # plain tuple tag
    ("0B 02 C1 C2", frozenset({1, 2})),  # plain frozenset tag
    ("0C 01 15 01 61 C1", {"a": 1}),  # plain dict tag
    ("08 00", []),
    ("0A 02 C1 C1", {1}),
    ("13 02 C1 C2 C1 C3", {1: 3}),  # a later equal key overwrites
    ("16 FF 00 00 00 02 C1 C2", (1, 2)),  # non-minimal length
    ("2A C5", 5),  # a view tag returns its nested value, whatever it is
    ("2B 14 02 C1 C2", [1, 2]),
    ("2D 13 00", MP({})),
    ("2E 05 15 01 62 01 07", array.array("b", [7])),  # typecode behind a str tag
    ("2E 0E 01 62 01 07", array.array("b", [7])),  # typecode as a bare short block
    ("2E 05 FB 05 01 62 01 07", array.array("b", [7])),
    ("14 02 15 01 62 2E FE 01 01 07", ["b", array.array("b", [7])]),  # typecode by reference
    # the plain tuple and frozenset tags take no index: "a" is idx 1
    ("14 02 09 01 15 01 61 FE 01", [("a",), "a"]),
    ("14 02 0B 01 15 01 61 FE 01", [frozenset({"a"}), "a"]),
]

READ_ONLY_STREAMS = [bytes.fromhex(h) for h, _ in READ_ONLY]


@pytest.mark.parametrize("hexstream, expected", READ_ONLY)
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

ERROR_STREAMS = [bytes.fromhex(h) for h, _, _ in CONTAINER_ERRORS]


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


@pytest.mark.parametrize("container", ["list", "dict"])
def test_container_shrinking_while_written_fails_instead_of_truncating(container):
    if container == "list":
        target = [None, 1, 2, 3]

        def shrink():
            del target[1:]
            yield 0

        target[0] = shrink()
    else:
        target = {"g": None, "a": 1, "b": 2}

        def shrink():
            target.clear()
            yield 0

        target["g"] = shrink()
    with pytest.raises(RuntimeError, match="cambió de tamaño"):
        vellum.dumps(target)
