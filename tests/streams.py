"""The machinery the test files and the fuzzer share: stream builders, the
graph comparison and value strategies of the round trips, the watcher of what
a call runs, and the golden and error tables that more than one file replays.

Not collected (no test_ prefix): the pytest settings put tests/ and fuzz/ on
the path, and the fuzz harness puts tests/ on its own.
"""

import array
import gc
import math
import os
import struct
import sys
import threading
import types
import zlib

import pytest
from hypothesis import strategies as st

import vellum
from vellum import _vellum

# ---------------------------------------------------------------------------
# Stream builders


def H(text):
    """Bytes from hex text, spaces allowed: H("14 01 C1")."""
    return bytes.fromhex(text)


def length_field(n):
    if n < 64:
        return bytes([n])
    if n < 16_384:
        return bytes([0x40 | n >> 8, n & 0xFF])
    return b"\xff" + n.to_bytes(4, "big")


def ref(idx):
    if idx < 255:
        return bytes([0xFE, idx])
    if idx < 65_536:
        return b"\xfd" + idx.to_bytes(2, "big")
    return b"\xfc" + idx.to_bytes(4, "big")


def S(text):
    """A string field written in full: 15 n text."""
    raw = text.encode() if isinstance(text, str) else text
    return bytes([0x15, len(raw)]) + raw


short_str = S


def B(payload, tag=0x1D):
    """A new dedup block as the writer lays it out: 0E n payload, or FB, the
    content tag and a length field (always for compressed source, 0x1B)."""
    if tag != 0x1B and len(payload) <= 63:
        return bytes([0x0E, len(payload)]) + payload
    return bytes([0xFB, tag]) + length_field(len(payload)) + payload


def fresh(s):
    """An equal str, bytes or bytearray that is a different object."""
    return s[:1] + s[1:]


def twice(make):
    """A maker of [x, x] for one x = make()."""
    def build():
        x = make()
        return [x, x]

    return build


def apply_edits(base, edits):
    """base with each (position, byte, kind) edit made: s sets, i inserts, d deletes."""
    data = bytearray(base)
    for at, byte, kind in edits:
        i = at % (len(data) + 1)
        if kind == "s" and i < len(data):
            data[i] = byte
        elif kind == "i":
            data.insert(i, byte)
        elif i < len(data):
            del data[i]
    return bytes(data)


def verify(stream, show=False):
    return _vellum.verify_stream_fast(stream, show)


# ---------------------------------------------------------------------------
# Round trips: the graph comparison and the values to round-trip


_F64 = struct.Struct(">d")
CANONICAL_NAN = bytes.fromhex("7FF8000000000000")
LARGE_VALUE = 65_536  # from this size on, equal str/bytes are no longer merged


def canon(x):
    """A hashable, totally ordered stand-in for a hashable value that keeps
    types apart (1, 1.0 and True differ) and floats by their bits."""
    t = type(x)
    if t is float:
        return ("float", _F64.pack(x))
    if t is complex:
        return ("complex", _F64.pack(x.real), _F64.pack(x.imag))
    if t is tuple:
        return ("tuple", tuple(canon(i) for i in x))
    if t is frozenset or t is set:
        return (t.__name__, tuple(sorted(canon(i) for i in x)))
    return (t.__name__, x)


class _GraphCompare:
    def __init__(self):
        self.forward = {}  # id(original) -> loaded, for lists, dicts, frozensets
        self.backward = {}  # id(loaded) -> original
        self.alive = []  # keeps ids unique while comparing
        self.texts = {}  # (type, value) -> the one loaded object for that value

    def walk(self, a, b, path):
        ta = type(a)
        assert type(b) is ta, f"{path}: {ta.__name__} loaded as {type(b).__name__}"
        if ta is float:
            want = CANONICAL_NAN if math.isnan(a) else _F64.pack(a)
            assert _F64.pack(b) == want, f"{path}: {a!r} loaded as {b!r}"
        elif ta is complex:
            assert canon(a) == canon(b), f"{path}: {a!r} loaded as {b!r}"
        elif ta in (str, bytes):
            assert a == b, f"{path}: {a!r:.60} loaded as {b!r:.60}"
            if len(a) < LARGE_VALUE:
                first = self.texts.setdefault((ta, a), b)
                assert first is b, f"{path}: equal {ta.__name__} values loaded as two objects"
        elif ta in (list, dict, frozenset):
            seen = self.forward.get(id(a))
            if seen is not None:
                assert seen is b, f"{path}: a shared {ta.__name__} lost its sharing"
                return
            other = self.backward.get(id(b))
            assert other is None, f"{path}: two distinct {ta.__name__} objects merged"
            self.forward[id(a)] = b
            self.backward[id(b)] = a
            self.alive += (a, b)
            if ta is list:
                self._items(a, b, path)
            elif ta is dict:
                assert len(a) == len(b), f"{path}: dict of {len(a)} loaded with {len(b)}"
                for i, ((ka, va), (kb, vb)) in enumerate(zip(a.items(), b.items())):
                    assert canon(ka) == canon(kb), f"{path}: key {i} {ka!r} loaded as {kb!r}"
                    self.walk(va, vb, f"{path}[{ka!r}]")
            else:
                assert canon(a) == canon(b), f"{path}: {a!r} loaded as {b!r}"
        elif ta is tuple:
            # A tuple reached again from inside its own items is written twice,
            # so tuples carry no sharing guarantee.
            self._items(a, b, path)
        elif ta is set:
            assert canon(a) == canon(b), f"{path}: {a!r} loaded as {b!r}"
        elif ta is types.MappingProxyType:
            self.walk(dict(a), dict(b), path)
        else:
            assert a == b, f"{path}: {a!r} loaded as {b!r}"

    def _items(self, a, b, path):
        assert len(a) == len(b), f"{path}: {len(a)} items loaded as {len(b)}"
        for i, (x, y) in enumerate(zip(a, b)):
            self.walk(x, y, f"{path}[{i}]")


def assert_same_graph(original, loaded):
    """Equal structure and values; floats by bits (NaN loads canonical); lists,
    dicts and frozensets shared exactly where the original shared them."""
    _GraphCompare().walk(original, loaded, "root")


def flush_read_table():
    """The module keeps the last stream's objects; a one-byte load drops them."""
    vellum.loads(b"\x00")


hashables = st.recursive(
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats(allow_nan=False)
    | st.complex_numbers(allow_nan=False)
    | st.text(max_size=12)
    | st.binary(max_size=12),
    lambda inner: st.lists(inner, max_size=4).map(tuple) | st.frozensets(inner, max_size=4),
    max_leaves=8,
)

leaves = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.integers(min_value=-(2**200), max_value=2**200)
    | st.floats()
    | st.complex_numbers()
    | st.text()
    | st.sampled_from(["", "abc", "é", "\U0001d11e", "x" * 64])
    | st.binary()
    | st.binary(max_size=80).map(bytearray)
)

values = st.recursive(
    leaves,
    lambda inner: st.lists(inner, max_size=6)
    | st.lists(inner, max_size=6).map(tuple)
    | st.dictionaries(hashables, inner, max_size=5)
    | st.sets(hashables, max_size=5)
    | st.frozensets(hashables, max_size=5),
    max_leaves=25,
)

# ---------------------------------------------------------------------------
# What a call runs


class Watch:
    """Records what runs while a call is watched: the audit events of running
    code and of anything refused, and every Python function started, as
    (file, name).  One for the process, since an audit hook stays for good;
    the tests reach it through the `watch` fixture."""

    CODE_EVENTS = frozenset({"exec", "compile", "marshal.loads", "import"})
    PACKAGE = os.path.dirname(vellum.__file__)

    def __init__(self):
        self.on = False
        self.seen = []
        self.allowed = None
        self.package_frames = True
        self.thread = threading.get_ident()
        sys.addaudithook(self._audit)

    def _audit(self, event, args):
        if not self.on or threading.get_ident() != self.thread:
            return
        refused = self.allowed is not None and event not in self.allowed
        if refused or event in self.CODE_EVENTS:
            self.seen.append(event)
        if refused:
            raise RuntimeError(f"refused {event}")

    def _profile(self, frame, event, arg):
        code = frame.f_code
        if self.on and event == "call" and (self.package_frames or
                                            not code.co_filename.startswith(self.PACKAGE)):
            self.seen.append((code.co_filename, code.co_name))

    def run(self, fn, *args, allowed=None, modules=None, package_frames=True, frames=True,
            **kwargs):
        """(what fn returned or raised, what ran).  With allowed, every other
        audit event is refused; with modules, sys.modules shows only those
        packages while fn runs; without package_frames, functions of the vellum
        package are not recorded, and without frames no function at all.  No
        garbage is collected while watching: a finalizer of another test's
        garbage may run anything."""
        saved = dict(sys.modules) if modules is not None else None
        gc.disable()
        self.seen, self.allowed, self.package_frames = [], allowed, package_frames
        if frames:
            sys.setprofile(self._profile)
        if saved is not None:
            sys.modules.clear()
            sys.modules.update({k: v for k, v in saved.items() if k.split(".")[0] in modules})
        try:
            self.on = True
            result = fn(*args, **kwargs)
        except BaseException as exc:  # a stream must not be able to end the process
            result = exc
        finally:
            self.on = False
            if saved is not None:
                sys.modules.clear()
                sys.modules.update(saved)
            sys.setprofile(None)
            self.allowed = None
            gc.enable()
        return result, self.seen


WATCH = Watch()


# ---------------------------------------------------------------------------
# Golden and error tables replayed by more than one file.  A golden case is
# (make, stream as hex or bytes, ...): what make() dumps to.


# Index space

def _worked_example():
    s = fresh("abc")
    return [s, s, 1.5]


def _self_list():
    a = []
    a.append(a)
    return a


def _shared_inner():
    inner = [1]
    return [inner, inner]


def _tuple_on_cycle():
    lst = []
    t = (lst,)
    lst.append(t)
    return t


def _tuple_reached_twice_on_cycle():
    lst = []
    t = (lst,)
    lst.append(t)
    return [t, t]


def _tuple_after_items():
    t = (fresh("xy"),)
    return [t, t[0], t]


def _frozenset_after_items():
    fs = frozenset([fresh("xy")])
    return [fs, fs]


def _dict_before_items():
    d = {fresh("xy"): 1}
    return [d, "xy", d]


INDEX_GOLDEN = [
    # 14 03: list (idx 0) of 3; 15 03 "abc" (idx 1); FE 01; 03 float 1.5
    pytest.param(
        _worked_example, "14 03 15 03 61 62 63 FE 01 03 3F F8 00 00 00 00 00 00", id="worked-example"
    ),
    # 14 01: list (idx 0) of 1; FE 00: itself
    pytest.param(_self_list, "14 01 FE 00", id="self-containing-list"),
    # 14 02: list (idx 0) of 2; 14 01 C1: [1] (idx 1); FE 01: the same inner list
    pytest.param(_shared_inner, "14 02 14 01 C1 FE 01", id="shared-inner-list"),
    # 16 01: tuple; 14 01: list (idx 0); 16 01 FE 00: the tuple again, in full (idx 1); outer tuple idx 2
    pytest.param(_tuple_on_cycle, "16 01 14 01 16 01 FE 00", id="tuple-on-cycle"),
    # 14 02: list (idx 0); tuple; list (idx 1); inner tuple (idx 2); outer tuple (idx 3);
    # FE 02: the first match of the tuple
    pytest.param(
        _tuple_reached_twice_on_cycle, "14 02 16 01 14 01 16 01 FE 01 FE 02", id="tuple-on-cycle-twice"
    ),
    # 14 03: list (idx 0); 16 01 "xy" (idx 1): tuple takes idx 2 after it; FE 01 "xy"; FE 02 the tuple
    pytest.param(_tuple_after_items, "14 03 16 01 15 02 78 79 FE 01 FE 02", id="tuple-index-after-items"),
    # 14 02: list (idx 0); 17 01 "xy" (idx 1): frozenset takes idx 2; FE 02
    pytest.param(_frozenset_after_items, "14 02 17 01 15 02 78 79 FE 02", id="frozenset-index-after-items"),
    # 14 03: list (idx 0); 13 01: dict (idx 1) {"xy" (idx 2): 1}; FE 02 "xy"; FE 01 the dict
    pytest.param(_dict_before_items, "14 03 13 01 15 02 78 79 C1 FE 02 FE 01", id="dict-index-before-items"),
]


# Strings and bytes

def _equal_pair(make):
    return lambda: [make(), fresh(make())]


def _abc_array():
    return bytearray(b"abc")


E63 = "é" * 31 + "a"  # 63 UTF-8 bytes
E64 = "é" * 32  # 64 UTF-8 bytes

STR_GOLDEN = [
    pytest.param(lambda: "", H("15 00"), id="empty-str"),  # short str of 0
    pytest.param(lambda: "abc", H("15 03 61 62 63"), id="abc"),  # short str of 3
    pytest.param(lambda: "héllo", H("15 06 68 C3 A9 6C 6C 6F"), id="non-ascii"),  # 6 UTF-8 bytes
    pytest.param(lambda: "\U0001d11e", H("15 04 F0 9D 84 9E"), id="astral"),  # one 4-byte char
    pytest.param(lambda: "a" * 63, H("15 3F") + b"a" * 63, id="str-63"),  # last short form
    pytest.param(lambda: "a" * 64, H("05 FB 05 40 40") + b"a" * 64, id="str-64"),  # 05, long block, len 64
    pytest.param(lambda: E63, H("15 3F") + E63.encode(), id="str-63-utf8-bytes"),
    pytest.param(lambda: E64, H("05 FB 05 40 40") + E64.encode(), id="str-64-utf8-bytes"),
    pytest.param(lambda: "a" * 16_384, H("05 FB 05 FF 00 00 40 00") + b"a" * 16_384, id="str-16384"),
    pytest.param(lambda: b"", H("06 0E 00"), id="empty-bytes"),  # bytes, short block of 0
    pytest.param(lambda: b"abc", H("06 0E 03 61 62 63"), id="bytes-abc"),
    pytest.param(lambda: b"x" * 63, H("06 0E 3F") + b"x" * 63, id="bytes-63"),
    pytest.param(lambda: b"x" * 64, H("06 FB 06 40 40") + b"x" * 64, id="bytes-64"),  # bytes, long block
    pytest.param(lambda: bytearray(), H("07 0E 00"), id="empty-bytearray"),
    pytest.param(lambda: bytearray(b"abc"), H("07 0E 03 61 62 63"), id="bytearray-abc"),
    # list (idx 0); "abc" (idx 1); FE 01: equal distinct str
    pytest.param(_equal_pair(lambda: "abc"), H("14 02 15 03 61 62 63 FE 01"), id="equal-strs"),
    pytest.param(twice(lambda: ""), H("14 02 15 00 FE 01"), id="empty-str-twice"),
    pytest.param(_equal_pair(lambda: b"abc"), H("14 02 06 0E 03 61 62 63 FE 01"), id="equal-bytes"),
    pytest.param(twice(lambda: b""), H("14 02 06 0E 00 FE 01"), id="empty-bytes-twice"),
    # bytearray (idx 1); 07 FE 01: the same object again, as a bytearray
    pytest.param(twice(_abc_array), H("14 02 07 0E 03 61 62 63 07 FE 01"), id="same-bytearray"),
    pytest.param(_equal_pair(_abc_array), H("14 02 07 0E 03 61 62 63 07 FE 01"), id="equal-bytearrays"),
    # same bytes under different content tags: separate entries
    pytest.param(lambda: [b"abc", "abc"], H("14 02 06 0E 03 61 62 63 15 03 61 62 63"), id="bytes-and-str"),
    pytest.param(
        lambda: [b"abc", _abc_array()],
        H("14 02 06 0E 03 61 62 63 07 0E 03 61 62 63"),
        id="bytes-and-bytearray",
    ),
    # "abc" idx 1, b"abc" idx 2; FE 01; FE 02
    pytest.param(
        lambda: ["abc", b"abc", "abc", b"abc"],
        H("14 04 15 03 61 62 63 06 0E 03 61 62 63 FE 01 FE 02"),
        id="str-bytes-interleaved",
    ),
]


UTF8_200 = "é" * 100

STR_READ_ONLY = [
    ("05 15 03 61 62 63", "abc"),  # str tag, then a 0x15 block as marker
    ("05 0E 03 61 62 63", "abc"),  # str tag, short block
    ("05 FB 1B 03 61 62 63", "abc"),  # long block: content tag skipped, nothing inflated
    ("05 FB 05 03 61 62 63", "abc"),  # long block with a one-byte length
    ("05 FB 05 80 00 00 00 03 61 62 63", "abc"),  # any 0x80-0xFF byte opens the 4-byte length
    ("06 FB 63 03 61 62 63", b"abc"),  # unknown content tag accepted
    ("06 FB 06 40 03 61 62 63", b"abc"),  # two-byte form of a small length
    ("06 0E 00", b""),
    ("07 FB 06 03 61 62 63", bytearray(b"abc")),  # bytearray from a long block
    ("1B 0E 03 61 62 63", b"abc"),  # 0x1B value tag, short block: not inflated
    ("15 C8" + UTF8_200.encode().hex(), UTF8_200),  # short str of 200 bytes
    ("14 02 15 C8" + UTF8_200.encode().hex() + "FE 01", [UTF8_200, UTF8_200]),
    ("14 02 15 01 61 05 FE 01", ["a", "a"]),  # str tag, then a reference
    ("14 02 14 00 06 FE 01", [[], []]),  # a bytes reference returns whatever it names
]


PLAIN = b"hello world, " * 30
Z = zlib.compress(PLAIN)
assert len(Z) < 64
ZN = f"{len(Z):02X} {Z.hex()}"

STR_COMPRESSED = [
    # 1B value tag; 1B: compressed sub-block; 0E n: inline stream
    pytest.param("1B 1B 0E " + ZN, PLAIN, id="src-z-short"),
    pytest.param("06 1B 0E " + ZN, PLAIN, id="bytes-src-z-short"),
    pytest.param("06 1B FB 99 " + ZN, PLAIN, id="bytes-src-z-long"),  # byte after FB ignored
    pytest.param("06 FB 1B " + ZN, PLAIN, id="long-block-content-tag-1b"),
    pytest.param("1B FB 1B " + ZN, PLAIN, id="src-z-tag-long-block"),
    pytest.param("07 FB 1B " + ZN, bytearray(PLAIN), id="bytearray-inflated"),
    # list (idx 0): src-z block: stream (idx 1), result (idx 2); FE 01; FE 02
    pytest.param("14 03 1B 1B 0E " + ZN + " FE 01 FE 02", [PLAIN, Z, PLAIN], id="inline-sub-block"),
    # list (idx 0); long block with content tag 1B: only the result (idx 1)
    pytest.param("14 02 06 FB 1B " + ZN + " FE 01", [PLAIN, PLAIN], id="long-block-one-index"),
    # list (idx 0); bytes holding a stream (idx 1); 1B 1B FE 01: inflate idx 1 (result idx 2)
    pytest.param(
        "14 03 06 0E " + ZN + " 1B 1B FE 01 FE 02", [Z, PLAIN, PLAIN], id="referenced-stream"
    ),
]


# Containers

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


_D = {"a": 1}


def G(make, hexstream, loads_as=None, *, id):
    """A golden case: what make() dumps to, and what the stream loads as
    (make() itself unless given)."""
    return pytest.param(make, hexstream, loads_as, id=id)


CONTAINER_GOLDEN = [
    # set of 3: "a", 10, 2 (a quote sorts before the digits)
    G(lambda: {10, 2, "a"}, "0A 03 15 01 61 CA C2", id="set-ordered-by-repr"),
    G(lambda: {"b", "a", 1}, "0A 03 15 01 61 15 01 62 C1", id="set-quote-before-digit"),
    G(lambda: {None, True, False}, "0A 03 80 00 81", id="set-constants"),  # False, None, True
    G(set, "0A 00", id="empty-set"),
    # a set takes no index: written twice
    G(twice(lambda: {1}), "14 02 0A 01 C1 0A 01 C1", id="set-twice"),
    G(lambda: frozenset({10, 2, "a"}), "17 03 15 01 61 CA C2", id="frozenset-ordered"),
    G(frozenset, "17 00", id="empty-frozenset"),
    # list (idx 0); frozenset (idx 1); FE 01
    G(twice(lambda: frozenset({1})), "14 02 17 01 C1 FE 01", id="frozenset-shared"),
    # shared by identity only
    G(lambda: [frozenset({1}), frozenset({1})], "14 02 17 01 C1 17 01 C1", id="equal-frozensets"),
    G(lambda: (1, "a"), "16 02 C1 15 01 61", id="tuple"),
    G(tuple, "16 00", id="empty-tuple"),
    G(twice(lambda: (1,)), "14 02 16 01 C1 FE 01", id="tuple-shared"),
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


CONTAINER_READ_ONLY = [
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


# Counts far beyond the input: every one fails with EOF
HUGE_COUNTS = [
    "16 FF FF FF FF FF",  # tuple of 4,294,967,295
    "14 FF FF FF FF FF",  # list
    "13 FF FF FF FF FF",  # dict
    "17 FF FF FF FF FF",  # frozenset
    "08 FF FF FF FF FF",  # plain list
    "09 FF FF FF FF FF",  # plain tuple
    "0A FF FF FF FF FF",  # set
    "0B FF FF FF FF FF",  # plain frozenset
    "0C FF FF FF FF FF",  # plain dict
    "16 FF FF FF FF FF C1 C2",  # items run out after two
    "16 FF 10 00 00 00 C1",
    "14 FF 10 00 00 00 14 FF 10 00 00 00",
    "13 FF 10 00 00 00 C1 C2 C3",
    "0A FF 10 00 00 00 C1",
]


# Every stream above that loads: the seeds of truncation and mutation tests.
VALID = (
    [H(p.values[1]) for p in INDEX_GOLDEN]
    + [p.values[1] for p in STR_GOLDEN]
    + [H(h) for h, _ in STR_READ_ONLY]
    + [H(p.values[0]) for p in STR_COMPRESSED]
    + [H(p.values[1]) for p in CONTAINER_GOLDEN]
    + [H(h) for h, _ in CONTAINER_READ_ONLY]
)
