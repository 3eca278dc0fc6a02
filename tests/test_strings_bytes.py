"""str, bytes and bytearray blocks: layouts, content dedup, the reader-only
forms, compressed payloads and the block reader's errors."""

import zlib

import pytest

import vellum

from streams import (STR_COMPRESSED, STR_GOLDEN, STR_READ_ONLY, H, Z, assert_same_graph,
                     fresh)


@pytest.mark.parametrize("make, stream", STR_GOLDEN)
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


@pytest.mark.parametrize("hexstream, expected", STR_READ_ONLY)
def test_reader_only_forms(hexstream, expected):
    out = vellum.loads(H(hexstream))
    assert type(out) is type(expected) and out == expected
    if type(out) is list:
        assert out[0] is out[1]


@pytest.mark.parametrize("hexstream, expected", STR_COMPRESSED)
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
