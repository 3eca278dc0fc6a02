"""str, bytes and bytearray blocks: layouts, content dedup, the reader-only
forms, compressed payloads and the block reader's errors."""

import os
import sys
import zlib

import pytest

import vellum

try:
    from test_roundtrip import assert_same_graph
except ImportError:  # collected under an import mode that leaves sys.path alone
    sys.path.insert(0, os.path.dirname(__file__))
    from test_roundtrip import assert_same_graph


def H(hexstream):
    return bytes.fromhex(hexstream)


def fresh(s):
    """An equal str, bytes or bytearray that is a different object."""
    return s[:1] + s[1:]


def _twice(make):
    def build():
        x = make()
        return [x, x]

    return build


def _equal_pair(make):
    return lambda: [make(), fresh(make())]


def _abc_array():
    return bytearray(b"abc")


E63 = "é" * 31 + "a"  # 63 UTF-8 bytes
E64 = "é" * 32  # 64 UTF-8 bytes

GOLDEN = [
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
    pytest.param(_twice(lambda: ""), H("14 02 15 00 FE 01"), id="empty-str-twice"),
    pytest.param(_equal_pair(lambda: b"abc"), H("14 02 06 0E 03 61 62 63 FE 01"), id="equal-bytes"),
    pytest.param(_twice(lambda: b""), H("14 02 06 0E 00 FE 01"), id="empty-bytes-twice"),
    # bytearray (idx 1); 07 FE 01: the same object again, as a bytearray
    pytest.param(_twice(_abc_array), H("14 02 07 0E 03 61 62 63 07 FE 01"), id="same-bytearray"),
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

GOLDEN_STREAMS = [p.values[1] for p in GOLDEN]


@pytest.mark.parametrize("make, stream", GOLDEN)
def test_golden_stream_written_and_read(make, stream):
    assert vellum.dumps(make()) == stream
    assert_same_graph(make(), vellum.loads(stream))


def test_same_bytearray_loads_as_distinct_bytearrays():
    ba = bytearray(b"abc")
    out = vellum.loads(vellum.dumps([ba, ba]))
    assert out == [ba, ba]
    assert type(out[0]) is type(out[1]) is bytearray
    assert out[0] is not out[1]


def test_bytearray_index_holds_its_bytes():
    # bytearray block (idx 1); FE 01; 07 FE 01
    out = vellum.loads(H("14 03 07 0E 03 61 62 63 FE 01 07 FE 01"))
    assert out == [bytearray(b"abc"), b"abc", bytearray(b"abc")]
    assert [type(x) for x in out] == [bytearray, bytes, bytearray]


LARGE_KINDS = {
    # kind: (make a value of n bytes, its type tag, prefix of a later occurrence)
    "str": (lambda n: "s" * n, 0x05, b""),
    "bytes": (lambda n: b"b" * n, 0x06, b""),
    "bytearray": (lambda n: bytearray(b"a" * n), 0x07, b"\x07"),
}


def _long_block(tag, value):
    payload = value.encode() if isinstance(value, str) else bytes(value)
    return bytes([tag, 0xFB, tag, 0xFF]) + len(payload).to_bytes(4, "big") + payload


@pytest.mark.parametrize("kind", LARGE_KINDS)
def test_65535_bytes_merged_by_content(kind):
    make, tag, again = LARGE_KINDS[kind]
    a, b = make(65_535), make(65_535)
    stream = b"\x14\x02" + _long_block(tag, a) + again + b"\xfe\x01"
    assert vellum.dumps([a, b]) == stream
    out = vellum.loads(stream)
    assert out == [a, b]
    assert (out[0] is out[1]) == (kind != "bytearray")


@pytest.mark.parametrize("kind", LARGE_KINDS)
def test_65536_bytes_not_merged_yet_indexed(kind):
    make, tag, again = LARGE_KINDS[kind]
    a, b = make(65_536), make(65_536)
    stream = b"\x14\x02" + _long_block(tag, a) + _long_block(tag, b)
    assert vellum.dumps([a, b]) == stream
    out = vellum.loads(stream)
    assert out == [a, b] and out[0] is not out[1]
    # the same object is still found, and the value took index 1: "xy" is idx 2
    stream = b"\x14\x04" + _long_block(tag, a) + again + H("FE 01 15 02 78 79 FE 02")
    assert vellum.dumps([a, a, "xy", fresh("xy")]) == stream
    out = vellum.loads(stream)
    assert out == [a, a, "xy", "xy"]
    assert out[2] is out[3]


class _Str(str):
    pass


class _Bytes(bytes):
    pass


class _ByteArray(bytearray):
    pass


@pytest.mark.parametrize(
    "obj, stream",
    [
        (_Str("abc"), H("15 03 61 62 63")),
        (_Bytes(b"abc"), H("06 0E 03 61 62 63")),
        (_ByteArray(b"abc"), H("07 0E 03 61 62 63")),
    ],
    ids=["str", "bytes", "bytearray"],
)
def test_subclasses_written_as_base_type(obj, stream):
    assert vellum.dumps(obj) == stream
    out = vellum.loads(stream)
    assert type(out) is type(obj).__mro__[1]
    assert out == obj


@pytest.mark.parametrize(
    "obj, stream",
    [
        ("\ud800", H("37 0E 03 ED A0 80")),  # 37, a block of the code point's three bytes
        # one block for equal text, then a reference; 14 02: list of 2
        (["a\udcff", "a\udcff"], H("14 02 37 0E 04 61 ED B3 BF FE 01")),
        ("x" * 61 + "\udfff", H("37 FB 37 40 40") + b"x" * 61 + H("ED BF BF")),
    ],
    ids=["alone", "repeated", "long"],
)
def test_lone_surrogates_round_trip(obj, stream):
    assert vellum.dumps(obj) == stream
    assert vellum.loads(stream) == obj


def test_text_decoded_with_surrogateescape_comes_back_as_the_same_bytes():
    name = b"caf\xe9-\xff.txt".decode("utf-8", "surrogateescape")
    loaded = vellum.loads(vellum.dumps({name: [name]}))
    assert list(loaded) == [name] and loaded[name][0].encode("utf-8", "surrogateescape") == \
        b"caf\xe9-\xff.txt"


UTF8_200 = "é" * 100

READ_ONLY = [
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

READ_ONLY_STREAMS = [H(h) for h, _ in READ_ONLY]


@pytest.mark.parametrize("hexstream, expected", READ_ONLY)
def test_reader_only_forms(hexstream, expected):
    out = vellum.loads(H(hexstream))
    assert type(out) is type(expected) and out == expected
    if type(out) is list:
        assert out[0] is out[1]


PLAIN = b"hello world, " * 30
Z = zlib.compress(PLAIN)
assert len(Z) < 64
ZN = f"{len(Z):02X} {Z.hex()}"

COMPRESSED = [
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

COMPRESSED_STREAMS = [H(p.values[0]) for p in COMPRESSED]


@pytest.mark.parametrize("hexstream, expected", COMPRESSED)
def test_compressed_payload_inflates(hexstream, expected):
    out = vellum.loads(H(hexstream))
    assert type(out) is type(expected) and out == expected
    if type(out) is list:  # the last item references the first equal one
        assert out[-1] is next(x for x in out if x == out[-1])


def test_inflation_that_needs_the_last_attempt_succeeds():
    data = b"\0" * 20_000
    z = zlib.compress(data, 9)
    c = 4 * len(z) + 256
    assert 16 * c < len(data) <= 64 * c
    assert vellum.loads(b"\x06\xfb\x1b" + bytes([len(z)]) + z) == data


BOMB = zlib.compress(b"\0" * (4 << 20), 9)
assert len(BOMB) < 16_384 and 64 * (4 * len(BOMB) + 256) < 4 << 20
BOMB_LEN = bytes([0x40 | len(BOMB) >> 8, len(BOMB) & 0xFF])


@pytest.mark.parametrize(
    "stream",
    [
        b"\x06\xfb\x1b" + BOMB_LEN + BOMB,  # inflates past 64 x (4n + 256)
        b"\x1b\x1b\xfb\x00" + BOMB_LEN + BOMB,
        H("06 1B 0E 03 61 62 63"),  # not a zlib stream
        H("06 FB 1B 03 61 62 63"),
        b"\x06\x1b\x0e" + bytes([len(Z) - 4]) + Z[:-4],  # stream cut short
    ],
    ids=["bomb-long-block", "bomb-src-z", "garbage-src-z", "garbage-long-block", "truncated"],
)
def test_inflation_failure(stream):
    with pytest.raises(ValueError) as info:
        vellum.loads(stream)
    assert str(info.value) == "SRC_Z: fallo zlib decompress"


@pytest.mark.parametrize(
    "hexstream",
    [
        "14 02 14 00 07 FE 01",  # bytearray copied from a list
        "14 02 15 02 61 62 07 FE 01",  # bytearray copied from a str
        "14 02 14 00 06 1B FE 01",  # compressed stream that is a list
        "14 02 15 02 61 62 1B 1B FE 01",  # compressed stream that is a str
    ],
)
def test_reference_used_as_bytes_must_name_bytes(hexstream):
    with pytest.raises(TypeError):
        vellum.loads(H(hexstream))


BLOCK_ERRORS = [
    ("05", ValueError, "EOF str_dedup"),
    ("06", ValueError, "EOF en dedup"),
    ("07", ValueError, "EOF en dedup"),
    ("1B", ValueError, "EOF en dedup"),
    ("06 0E", ValueError, "EOF short len"),
    ("05 0E", ValueError, "EOF short len"),
    ("06 0E 03 61 62", ValueError, "short str overflow"),
    ("05 0E 03 61 62", ValueError, "short str overflow"),
    ("06 FB", ValueError, "EOF 0xFB tag"),
    ("05 FB", ValueError, "EOF 0xFB tag"),
    ("06 FB 06", ValueError, "0xFB longitud inválida"),
    ("06 FB 06 FF 00 00 00", ValueError, "0xFB longitud inválida"),
    ("06 FB 06 03 61 62", ValueError, "0xFB longitud inválida"),
    ("06 FB 06 FF FF FF FF FF 61", ValueError, "0xFB longitud inválida"),
    ("05 FB 05", ValueError, "0xFB str overflow"),
    ("05 FB 05 03 61 62", ValueError, "0xFB str overflow"),
    ("06 1B", ValueError, "EOF SRC_Z sub"),
    ("1B 1B", ValueError, "EOF SRC_Z sub"),
    ("06 1B 0E", ValueError, "EOF SRC_Z len"),
    ("06 1B 0E 05 78 9C", ValueError, "SRC_Z overflow"),
    ("06 1B FB", ValueError, "EOF SRC_Z 0xFB"),
    ("06 1B FB 00", ValueError, "SRC_Z 0xFB overflow"),
    ("06 1B FB 00 05 78 9C", ValueError, "SRC_Z 0xFB overflow"),
    ("06 1B C1", ValueError, "SRC_Z: sub-marker desconocido 0xc1"),
    ("06 1B 1B", ValueError, "SRC_Z: sub-marker desconocido 0x1b"),
    ("06 C1", ValueError, "Marker dedup_bytes desconocido: 0xc1"),
    ("06 15 01 61", ValueError, "Marker dedup_bytes desconocido: 0x15"),
    ("07 05", ValueError, "Marker dedup_bytes desconocido: 0x05"),
    ("1B 00", ValueError, "Marker dedup_bytes desconocido: 0x00"),
    ("05 C1", ValueError, "str_dedup: marker inesperado 0xc1"),
    ("05 1B", ValueError, "str_dedup: marker inesperado 0x1b"),
    ("15", ValueError, "EOF 0x15 len"),
    ("15 03 61 62", ValueError, "0x15 overflow"),
    ("05 15", ValueError, "EOF 0x15 len"),
    ("05 15 03 61", ValueError, "0x15 overflow"),
    ("06 FE", ValueError, "EOF ref8"),
    ("05 FD 00", ValueError, "EOF ref16"),
    ("07 FC 00", ValueError, "EOF ref32"),
    ("06 FE 00", IndexError, "ref idx 0 fuera de rango [0,0)"),
    ("1B 1B FE 00", IndexError, "ref idx 0 fuera de rango [0,0)"),
]

ERROR_STREAMS = [H(h) for h, _, _ in BLOCK_ERRORS]


@pytest.mark.parametrize("hexstream, exc, message", BLOCK_ERRORS)
def test_malformed_block_raises(hexstream, exc, message):
    with pytest.raises(exc) as info:
        vellum.loads(H(hexstream))
    assert type(info.value) is exc
    assert str(info.value) == message


@pytest.mark.parametrize(
    "hexstream",
    [
        "15 01 FF",  # short str
        "15 03 ED A0 80",  # encoded surrogate
        "05 0E 02 C3 28",  # str tag, short block
        "05 FB 05 01 80",  # str tag, long block
        "05 15 01 FE",  # str tag, 0x15 marker
    ],
)
def test_invalid_utf8_raises_unicode_decode_error(hexstream):
    with pytest.raises(UnicodeDecodeError):
        vellum.loads(H(hexstream))
