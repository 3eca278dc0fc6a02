"""Reference indices: numbering in stream order, the three reference widths,
the read table and its errors."""


import sys

import pytest

import vellum

from streams import INDEX_GOLDEN, assert_same_graph, fresh, length_field, ref, short_str


@pytest.mark.parametrize("make, hexstream", INDEX_GOLDEN)
def test_golden_stream_written_and_read(make, hexstream):
    stream = bytes.fromhex(hexstream)
    assert vellum.dumps(make()) == stream
    assert_same_graph(make(), vellum.loads(stream))


def test_tuple_on_cycle_loads_as_two_equal_tuples():
    out = vellum.loads(bytes.fromhex("16 01 14 01 16 01 FE 00"))
    lst = out[0]
    assert type(out) is tuple and type(lst) is list
    assert lst[0] is not out
    assert lst[0][0] is lst


def test_tuple_reached_twice_resolves_to_inner_copy():
    out = vellum.loads(bytes.fromhex("14 02 16 01 14 01 16 01 FE 01 FE 02"))
    outer, again = out
    assert again is outer[0][0]
    assert again is not outer


# Boundaries of the reference widths: N distinct strings after the root list
# (idx 0) take indices 1..N; repeating the last one references index N.
@pytest.mark.parametrize(
    "n, tail",
    [
        (254, "FE FE"),  # last one-byte reference
        (255, "FD 00 FF"),  # 255 is already two bytes
        (65_535, "FD FF FF"),
        (65_536, "FC 00 01 00 00"),
    ],
    ids=["idx-254", "idx-255", "idx-65535", "idx-65536"],
)
def test_reference_width_boundaries(n, tail):
    strings = [f"s{i}" for i in range(n)]
    obj = strings + [strings[-1]]
    expected = b"\x14" + length_field(n + 1) + b"".join(map(short_str, strings)) + bytes.fromhex(tail)
    assert vellum.dumps(obj) == expected
    out = vellum.loads(expected)
    assert out[-1] == strings[-1]
    assert out[-1] is out[-2]


@pytest.mark.parametrize(
    "hexstream",
    [
        "14 02 15 01 61 FE 01",  # one-byte form
        "14 02 15 01 61 FD 00 01",  # non-minimal two-byte form
        "14 02 15 01 61 FC 00 00 00 01",  # non-minimal four-byte form
    ],
)
def test_reader_accepts_non_minimal_references(hexstream):
    out = vellum.loads(bytes.fromhex(hexstream))
    assert out == ["a", "a"] and out[0] is out[1]


def test_reader_accepts_one_byte_reference_to_index_255():
    strings = [f"s{i}" for i in range(255)]
    stream = b"\x14" + length_field(256) + b"".join(map(short_str, strings)) + b"\xfe\xff"
    out = vellum.loads(stream)
    assert out[-1] is out[-2] == "s254"


REF_ERRORS = [
    # 14 03: list (idx 0); "aa" (idx 1); "bb" (idx 2); FE 03: one past the end
    ("14 03 15 02 61 61 15 02 62 62 FE 03", IndexError, "ref idx 3 fuera de rango [0,3)"),
    # list (idx 0) and four strings (idx 1-4); FE 05
    ("14 05 15 01 61 15 01 62 15 01 63 15 01 64 FE 05", IndexError, "ref idx 5 fuera de rango [0,5)"),
    ("FE 00", IndexError, "ref idx 0 fuera de rango [0,0)"),  # nothing read yet
    ("14 01 FD 01 00", IndexError, "ref idx 256 fuera de rango [0,1)"),
    ("14 01 FC 80 00 00 00", IndexError, "ref idx -2147483648 fuera de rango [0,1)"),  # top bit set
    ("14 01 FC FF FF FF FF", IndexError, "ref idx -1 fuera de rango [0,1)"),
    ("FE", ValueError, "EOF ref8"),
    ("14 01 FE", ValueError, "EOF ref8"),
    ("FD", ValueError, "EOF ref16"),
    ("FD 00", ValueError, "EOF ref16"),
    ("14 02 15 01 61 FD 00", ValueError, "EOF ref16"),  # cut short among a list's items
    ("FC 00 00 00", ValueError, "EOF ref32"),
    ("14 01 FC", ValueError, "EOF ref32"),
]


@pytest.mark.parametrize("hexstream, exc, message", REF_ERRORS)
def test_bad_reference_raises(hexstream, exc, message):
    with pytest.raises(exc) as info:
        vellum.loads(bytes.fromhex(hexstream))
    assert type(info.value) is exc
    assert str(info.value) == message


@pytest.mark.parametrize(
    "before",
    [
        "14 02 15 01 61 FE 01",  # a load that succeeded
        "14 02 14 01 15 02 61 62",  # a load that failed with partly filled lists
    ],
)
def test_read_table_starts_empty_on_every_load(before):
    try:
        vellum.loads(bytes.fromhex(before))
    except ValueError:
        pass
    with pytest.raises(IndexError, match=r"^ref idx 0 fuera de rango \[0,0\)$"):
        vellum.loads(bytes.fromhex("FE 00"))


def test_identity_table_growth_keeps_sharing():
    # A one-item dict root gets the smallest tables, so 2,000 shared lists
    # force many rounds of growth.
    inners = [[f"v{i}"] for i in range(2000)]
    root = {"a": inners + inners}
    # dict idx 0, "a" idx 1, outer list idx 2, then list 3+2i holding str 4+2i
    expected = b"\x13\x01" + short_str("a") + b"\x14" + length_field(4000)
    expected += b"".join(b"\x14\x01" + short_str(f"v{i}") for i in range(2000))
    expected += b"".join(ref(3 + 2 * i) for i in range(2000))
    assert vellum.dumps(root) == expected
    assert_same_graph(root, vellum.loads(expected))


def test_content_table_growth_finds_equal_strings():
    strings = [f"t{i}" for i in range(3000)]
    copies = [fresh(s) for s in strings]
    root = {"a": strings + copies}
    # dict idx 0, "a" idx 1, list idx 2, strings idx 3..3002
    expected = b"\x13\x01" + short_str("a") + b"\x14" + length_field(6000)
    expected += b"".join(map(short_str, strings)) + b"".join(ref(3 + i) for i in range(3000))
    assert vellum.dumps(root) == expected
    out = vellum.loads(expected)["a"]
    assert all(out[i] is out[i + 3000] for i in range(3000))


def test_payloads_past_first_arena_block_still_match():
    # 40 x 40,000 bytes is more than the first 1 MiB of payload copies.
    blocks = [bytes([i]) * 40_000 for i in range(40)]
    copies = [bytes(bytearray(b)) for b in blocks]
    expected = b"\x14" + length_field(80)
    expected += b"".join(b"\x06\xfb\x06\xff\x00\x00\x9c\x40" + b for b in blocks)
    expected += b"".join(ref(1 + i) for i in range(40))
    assert vellum.dumps(blocks + copies) == expected
    out = vellum.loads(expected)
    assert all(out[i] is out[i + 40] for i in range(40))


def test_large_tables_reused_across_calls_give_identical_streams():
    # Big enough for the identity, index and bucket tables and the payload
    # store to be kept and handed to the next call.
    shared = [[f"s{i}"] for i in range(6000)]
    payloads = [bytes([i % 251]) * 30_000 for i in range(60)]
    root = [shared, shared, payloads, [bytes(bytearray(p)) for p in payloads]]
    first = vellum.dumps(root)
    assert vellum.dumps(root) == first
    vellum.dedup_reset()  # also frees the kept tables
    assert vellum.dumps(root) == first
    assert_same_graph(root, vellum.loads(first))


# A call's first tables, arena and output live in fixed blocks of its own
# and move to the heap when outgrown (16 entries, 32 identity slots, 64
# buckets, 512 payload bytes, 512 output bytes): the stream is the same on
# both sides of each move.
@pytest.mark.parametrize("count", [15, 16, 17, 19, 20, 41, 42, 60])
@pytest.mark.parametrize("width", [3, 12])
def test_local_blocks_outgrown_mid_call(count, width):
    texts = [f"{i:0{width}d}" for i in range(count)]
    lists = [[] for _ in range(count)]
    obj = [fresh(t) for t in texts] + [fresh(t) for t in texts] + lists + lists
    # the root list is idx 0, the strings 1..count, the empty lists after them
    expected = (b"\x14" + length_field(4 * count)
                + b"".join(short_str(t) for t in texts)
                + b"".join(ref(1 + i) for i in range(count))
                + b"\x14\x00" * count
                + b"".join(ref(1 + count + i) for i in range(count)))
    assert vellum.dumps(obj) == expected
    assert_same_graph(obj, vellum.loads(expected))


@pytest.mark.parametrize("size", [511, 512, 513, 1100])
def test_output_around_the_local_block(size):
    # 06 FB 06 <2-byte length>: bytes with a long block, 5 bytes before the payload
    payload = bytes(range(256)) * 5
    payload = payload[: size - 5]
    stream = vellum.dumps(payload)
    assert stream == b"\x06\xfb\x06" + length_field(len(payload)) + payload
    assert len(stream) == size
    assert vellum.loads(stream) == payload


# --- values made during the call ---------------------------------------------------------
# The writer records containers by address.  Values that exist only while they are
# written (read through a property or __getattr__, made by __reduce__) and values that
# code run during the call removes from the graph are freed early unless the writer
# keeps them; a later value at the same address would then be written as a reference
# to the dead one, and the objects would load with each other's data.


def fresh_value(n):
    """A new value of every kind the writer records by address."""
    return {"list": [n, str(n)], "tuple": (n, [n]), "bytes": bytearray(b"%d" % n),
            "set": frozenset({n, -n - 1}), "dict": {"n": [n]}}


class CopyingGetattribute:
    __slots__ = ("data",)

    def __init__(self, n):
        object.__setattr__(self, "data", n)

    def __getattribute__(self, name):
        value = object.__getattribute__(self, name)
        return fresh_value(value) if name == "data" and type(value) is int else value


class SlotBase:
    __slots__ = ("data",)


class PropertyOverSlot(SlotBase):
    __slots__ = ()

    def __init__(self, n):
        SlotBase.data.__set__(self, n)

    @property
    def data(self):
        value = SlotBase.data.__get__(self)
        return fresh_value(value) if type(value) is int else value

    @data.setter
    def data(self, value):
        SlotBase.data.__set__(self, value)


class GetattrDefault:
    __slots__ = ("n", "data")  # data is never set: __getattr__ supplies it

    def __init__(self, n):
        self.n = n

    def __getattr__(self, name):
        if name == "data":
            return fresh_value(self.n)
        raise AttributeError(name)


class DictFromGetattr:
    __slots__ = ("n", "_data")

    def __init__(self, n):
        self.n = n

    def __getattr__(self, name):
        if name == "__dict__":
            return {"data": fresh_value(self.n)}
        raise AttributeError(name)

    data = property(lambda self: self._data, lambda self, v: setattr(self, "_data", v))


def stored_data(obj):
    for cls in (CopyingGetattribute, SlotBase, GetattrDefault):
        if isinstance(obj, cls):
            return cls.data.__get__(obj)
    return obj._data


FRESH_CLASSES = [CopyingGetattribute, PropertyOverSlot, GetattrDefault, DictFromGetattr]


@pytest.mark.parametrize("cls", FRESH_CLASSES)
def test_attribute_values_made_on_the_fly_load_with_their_own_data(cls):
    objs = [cls(n) for n in range(6)]
    loaded = vellum.loads(vellum.dumps(objs))
    assert [stored_data(o) for o in loaded] == [fresh_value(n) for n in range(6)]


class Mutate:
    """Runs action while it is written, then reduces to a new list of items."""

    def __init__(self, action, items):
        self.action, self.items = action, items

    def __reduce__(self):
        self.action()
        return (list, ([*self.items],))


def _list_popped_by_a_later_item():
    root = [[1, 2]]
    root.append(Mutate(lambda: root.pop(0), "xy"))
    return root, [[1, 2], ["x", "y"]]


def _dict_value_replaced_by_a_later_item():
    d = {"a": [1, 2]}
    d["b"] = Mutate(lambda: d.__setitem__("a", None), "xy")
    return d, {"a": [1, 2], "b": ["x", "y"]}


def _tuple_popped_while_written():
    # The tuple takes its index after its item, when the list was its last owner.
    holder = [(Mutate(lambda: holder.pop(), "ab"),)]
    return [holder, Mutate(lambda: None, "cd")], [[(["a", "b"],)], ["c", "d"]]


REMOVED_DURING_CALL = [_list_popped_by_a_later_item, _dict_value_replaced_by_a_later_item,
                       _tuple_popped_while_written]


@pytest.mark.parametrize("make", REMOVED_DURING_CALL)
def test_containers_removed_from_the_graph_during_the_call(make):
    obj, expected = make()
    assert vellum.loads(vellum.dumps(obj)) == expected


@pytest.mark.parametrize("fails", [False, True], ids=["written", "refused"])
def test_values_kept_for_the_call_are_released(fails):
    probe = [0]
    shared = ("t", [1])
    root = [shared, CopyingGetattribute(1), probe, Mutate(lambda: None, "x"), probe, shared]
    if fails:
        root.append(object())  # refused after everything above was kept
    before = sys.getrefcount(probe), sys.getrefcount(shared), sys.getrefcount(shared[1])
    for _ in range(50):
        try:
            vellum.dumps(root)
        except TypeError:
            assert fails
    assert (sys.getrefcount(probe), sys.getrefcount(shared), sys.getrefcount(shared[1])) == before
