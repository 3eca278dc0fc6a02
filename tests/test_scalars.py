import enum
import math
import struct
import tracemalloc

import pytest

import vellum

h = bytes.fromhex


def bits(x):
    return struct.pack(">d", x)


def from_bits(hexstr):
    return struct.unpack(">d", h(hexstr))[0]


# (value, stream): written exactly so, and read back to an equal value of the same type
GOLDEN = [
    (None, h("00")),  # 00: None
    (False, h("80")),  # 80: False
    (True, h("81")),  # 81: True
    (..., h("28")),  # 28: Ellipsis
    (NotImplemented, h("29")),  # 29: NotImplemented
    (0, h("c0")),  # C0: small int 0
    (58, h("fa")),  # FA: small int 58
    (59, h("11 3b")),  # 11: uint8
    (255, h("11 ff")),  # 11: uint8
    (256, h("0f 01 00")),  # 0F: int16
    (65535, h("0f ff ff")),  # 0F: int16
    (65536, h("2f 00 01 00 00")),  # 2F: int32
    (-1, h("10 00")),  # 10: neg int -1-0
    (-30, h("10 1d")),  # 10: neg int -1-29
    (-31, h("12 1e")),  # 12: neg8 -1-30
    (-256, h("12 ff")),  # 12: neg8 -1-255
    (-257, h("2f ff ff fe ff")),  # 2F: int32
    (2**31 - 1, h("2f 7f ff ff ff")),  # 2F: int32 max
    (-(2**31), h("2f 80 00 00 00")),  # 2F: int32 min
    (2**31, h("02 00 04 80 00 00 00")),  # 02: bigint +, 4 bytes
    (-(2**31) - 1, h("02 01 04 80 00 00 01")),  # 02: bigint -, 4 bytes
    (2**32, h("02 00 05 01 00 00 00 00")),  # 02: bigint +, 5 bytes
    (-(2**40), h("02 01 06 01 00 00 00 00 00")),  # 02: bigint -, 6 bytes
    (2**63 - 1, h("02 00 08 7f ff ff ff ff ff ff ff")),  # 02: int64 max
    (-(2**63), h("02 01 08 80 00 00 00 00 00 00 00")),  # 02: int64 min
    (2**63, h("02 00 08 80 00 00 00 00 00 00 00")),  # 02: past int64, 8 bytes
    (-(2**63) - 1, h("02 01 08 80 00 00 00 00 00 00 01")),  # 02: past int64, negative
    (2**64 - 1, h("02 00 08 ff ff ff ff ff ff ff ff")),  # 02: uint64 max
    (2**64, h("02 00 09 01 00 00 00 00 00 00 00 00")),  # 02: 9 bytes
    (-(2**64), h("02 01 09 01 00 00 00 00 00 00 00 00")),  # 02: 9 bytes, negative
    (0.0, h("82")),  # 82: 0.0
    (-0.0, h("83")),  # 83: -0.0
    (1.0, h("84")),  # 84: 1.0
    (-1.0, h("85")),  # 85: -1.0
    (math.inf, h("87")),  # 87: +inf
    (-math.inf, h("88")),  # 88: -inf
    (2.5, h("03 40 04 00 00 00 00 00 00")),  # 03: float bits
    (5e-324, h("03 00 00 00 00 00 00 00 01")),  # 03: smallest subnormal
    (-2.0, h("03 c0 00 00 00 00 00 00 00")),  # 03: negative
    (1 + 2j, h("04 3f f0 00 00 00 00 00 00 40 00 00 00 00 00 00 00")),  # 04: re, im
    (0j, h("04" + "00" * 16)),  # 04: no short form for zero
]


@pytest.mark.parametrize("value, stream", GOLDEN, ids=repr)
def test_golden_write(value, stream):
    assert vellum.dumps(value) == stream


@pytest.mark.parametrize("value, stream", GOLDEN, ids=repr)
def test_golden_read(value, stream):
    got = vellum.loads(stream)
    assert type(got) is type(value)
    assert got == value
    if type(value) is float:
        assert bits(got) == bits(value)
    if value is None or value is ... or value is NotImplemented or type(value) is bool:
        assert got is value


@pytest.mark.parametrize("value, stream", GOLDEN, ids=repr)
def test_every_proper_prefix_fails(value, stream):
    for i in range(len(stream)):
        with pytest.raises(ValueError):
            vellum.loads(stream[:i])


@pytest.mark.parametrize(
    "value, header",
    [
        (10**3000, h("02 00 44 de")),  # 1246 bytes: 2-byte length
        (-(10**3000), h("02 01 44 de")),
        (2 ** (8 * 20000), h("02 00 ff 00 00 4e 21")),  # 20001 bytes: 5-byte length
        (-(2 ** (8 * 20000)) + 1, h("02 01 ff 00 00 4e 20")),  # 20000 bytes of FF
    ],
    ids=["pos-1246", "neg-1246", "pos-20001", "neg-20000"],
)
def test_long_integers(value, header):
    stream = vellum.dumps(value)
    m = (abs(value).bit_length() + 7) // 8
    assert stream == header + abs(value).to_bytes(m, "big")
    assert vellum.loads(stream) == value


class MyInt(int):
    pass


class Color(enum.IntEnum):
    RED = 1
    BLUE = 300


class MyFloat(float):
    pass


class MyComplex(complex):
    pass


@pytest.mark.parametrize(
    "value, stream, loaded",
    [
        (Color.RED, h("c1"), 1),  # C1: small int
        (Color.BLUE, h("0f 01 2c"), 300),  # 0F: int16
        (MyInt(-(2**70)), h("02 01 09 40 00 00 00 00 00 00 00 00"), -(2**70)),  # 02: bigint
        (MyFloat(2.5), h("03 40 04 00 00 00 00 00 00"), 2.5),  # 03: float bits
        (MyFloat(-0.0), h("83"), -0.0),  # 83: -0.0
        (MyComplex(1, 2), h("04 3f f0 00 00 00 00 00 00 40 00 00 00 00 00 00 00"), 1 + 2j),
    ],
    ids=repr,
)
def test_subclasses_written_as_base_type(value, stream, loaded):
    assert vellum.dumps(value) == stream
    got = vellum.loads(stream)
    assert type(got) is type(loaded) and got == loaded


@pytest.mark.parametrize(
    "pattern",
    ["7ff8000000000000", "fff8000000000000", "7ff8000000000001", "ffffffffffffffff", "7ff0000000000001"],
)
def test_every_nan_is_one_byte(pattern):
    assert vellum.dumps(from_bits(pattern)) == h("86")


def test_nan_tag_loads_quiet_nan():
    assert bits(vellum.loads(h("86"))) == h("7ff8000000000000")


@pytest.mark.parametrize("pattern", ["7ff8000000000123", "fff800000000abcd", "fff8000000000000"])
def test_float_tag_keeps_nan_payload(pattern):
    # 03 + bit pattern: the long form is read as is, payload and sign included
    assert bits(vellum.loads(h("03" + pattern))) == h(pattern)


@pytest.mark.parametrize(
    "real, imag",
    [
        ("8000000000000000", "8000000000000000"),  # -0.0, -0.0
        ("0000000000000000", "8000000000000000"),  # 0.0, -0.0
        ("8000000000000000", "7ff0000000000000"),  # -0.0, inf
        ("fff0000000000000", "7ff8000000000000"),  # -inf, nan
        ("7ff8000000000123", "fff800000000abcd"),  # nans with payloads and signs
    ],
)
def test_complex_parts_bit_identical(real, imag):
    value = complex(from_bits(real), from_bits(imag))
    stream = vellum.dumps(value)
    assert stream == h("04" + real + imag)
    got = vellum.loads(stream)
    assert type(got) is complex
    assert bits(got.real) + bits(got.imag) == h(real + imag)


@pytest.mark.parametrize(
    "stream, expected",
    [
        (h("02 00 00"), 0),  # bigint with no magnitude bytes
        (h("02 01 00"), 0),  # negative zero magnitude
        (h("02 00 02 00 05"), 5),  # leading zero byte
        (h("02 07 01 05"), -5),  # any non-zero sign byte is negative
        (h("02 00 40 01 05"), 5),  # 2-byte length form for 1
        (h("02 00 80 00 00 00 01 05"), 5),  # 5-byte length form, marker 0x80
        (h("02 00 ff 00 00 00 01 05"), 5),  # 5-byte length form, marker 0xFF
        (h("02 00 a7 00 00 00 02 01 00"), 256),  # 5-byte length form, any marker
        (h("11 00"), 0),  # uint8 for a small int
        (h("0f 00 05"), 5),  # int16 for a small int
        (h("2f 00 00 00 00"), 0),  # int32 for a small int
        (h("2f ff ff ff ff"), -1),  # int32 sign-extended
    ],
)
def test_non_minimal_integer_forms(stream, expected):
    got = vellum.loads(stream)
    assert type(got) is int and got == expected


@pytest.mark.parametrize("b", [0, 1, 29, 30, 31, 254, 255])
def test_neg_int_and_neg8_decode_identically(b):
    assert vellum.loads(bytes([0x10, b])) == vellum.loads(bytes([0x12, b])) == -1 - b


def test_small_int_tags():
    assert [vellum.loads(bytes([t])) for t in range(0xC0, 0xFB)] == list(range(59))


@pytest.mark.parametrize(
    "stream, message",
    [
        (b"", "EOF"),  # no value at all
        (h("02"), "EOF int sign"),  # 02: sign missing
        (h("02 00"), "EOF int data"),  # 02 00: length missing
        (h("02 00 40"), "EOF int data"),  # 2-byte length cut
        (h("02 00 80 00 00"), "EOF int data"),  # 5-byte length cut
        (h("02 01 ff 00 00 00"), "EOF int data"),
        (h("02 00 02 01"), "EOF int data"),  # magnitude cut
        (h("02 00 ff ff ff ff ff 01 02"), "EOF int data"),  # 4 GiB magnitude announced
        (h("03 40 04 00 00 00 00 00"), "EOF float"),  # 7 of 8 bytes
        (h("04 3f f0 00 00 00 00 00 00 40 00 00 00 00 00 00"), "EOF complex"),  # 15 of 16
        (h("0f 01"), "EOF int16"),
        (h("10"), "EOF neg int"),
        (h("11"), "EOF UINT8"),
        (h("12"), "EOF NEG8"),
        (h("2f 00 01 00"), "EOF int32"),
    ],
)
def test_truncated_scalar_messages(stream, message):
    with pytest.raises(ValueError) as excinfo:
        vellum.loads(stream)
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "action",
    [
        lambda big, stream: vellum.dumps(big),
        lambda big, stream: vellum.loads(stream),
    ],
    ids=["write", "read"],
)
def test_long_integer_temporaries_are_released(action):
    # each round makes integers and bytes of about 1 KB; a leaked temporary shows as MBs
    big = -(10**2500)
    stream = vellum.dumps(big)
    for _ in range(50):
        action(big, stream)
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(2000):
            action(big, stream)
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert grown < 200_000
