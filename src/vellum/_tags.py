"""The tag bytes of the stream under the names the extension gives them.

The package names tags from this table only; a test holds it to the
extension's header, so that a tag added there is named here too.
"""

SMALLINT_MAX = 58  # the ints from 0 up to here are their own tag byte

TAG_NONE = 0x00
TAG_BIGINT = 0x02
TAG_FLOAT = 0x03
TAG_COMPLEX = 0x04
TAG_STR = 0x05
TAG_BYTES = 0x06
TAG_BYTEARRAY = 0x07
TAG_LIST = 0x08
TAG_TUPLE = 0x09
TAG_SET = 0x0A
TAG_FROZENSET = 0x0B
TAG_DICT = 0x0C
TAG_FN_SOURCE = 0x0D
TAG_INT16 = 0x0F
TAG_NEG_INT = 0x10
TAG_UINT8 = 0x11
TAG_NEG8 = 0x12
TAG_DICT_DEDUP = 0x13
TAG_LIST_DEDUP = 0x14
TAG_SHORT_STR = 0x15
TAG_TUPLE_DEDUP = 0x16
TAG_FROZENSET_DEDUP = 0x17
TAG_SRC_Z = 0x1B
TAG_INSTANCE_V1 = 0x1C
TAG_SRC_RAW = 0x1D  # content tag of plain source text; never a value
TAG_SLOTS_INSTANCE_V1 = 0x1E
TAG_REDUCE_V1 = 0x1F
TAG_FN_BYTECODE = 0x20
TAG_CODE = 0x21
TAG_CLASSMETHOD = 0x22
TAG_STATICMETHOD = 0x23
TAG_PROPERTY = 0x24
TAG_INSTANCE = 0x25
TAG_SLOTS_INSTANCE = 0x26
TAG_REDUCE = 0x27
TAG_ELLIPSIS = 0x28
TAG_NOTIMPLEMENTED = 0x29
TAG_DICT_KEYS = 0x2A
TAG_DICT_VALUES = 0x2B
TAG_DICT_ITEMS = 0x2C
TAG_MAPPINGPROXY = 0x2D
TAG_ARRAY = 0x2E
TAG_INT32 = 0x2F
TAG_FUNCTION = 0x30
TAG_CODE_V2 = 0x31
TAG_CLASS = 0x32
TAG_GLOBAL = 0x33
TAG_MODULE = 0x34
TAG_CELL = 0x35
TAG_REDUCE_EX = 0x36
TAG_STR_SURROGATES = 0x37
TAG_FALSE = 0x80
TAG_TRUE = 0x81
TAG_FLOAT_ZERO = 0x82
TAG_FLOAT_NEG_ZERO = 0x83
TAG_FLOAT_ONE = 0x84
TAG_FLOAT_MINUS_ONE = 0x85
TAG_FLOAT_NAN = 0x86
TAG_FLOAT_INF = 0x87
TAG_FLOAT_NEG_INF = 0x88
TAG_SMALLINT = 0xC0
TAG_SMALLINT_LAST = TAG_SMALLINT + SMALLINT_MAX
TAG_REF32 = 0xFC
TAG_REF16 = 0xFD
TAG_REF8 = 0xFE

# Every TAG_ name above with its byte.
TAGS = {name: value for name, value in globals().items() if name.startswith("TAG_")}

# The byte's name for every tag but the small ints, which share one.  0xFB and
# 0xFF are markers inside dedup blocks, no tag of a value: they stay unnamed.
_NAMES = {value: name for name, value in TAGS.items()
          if not TAG_SMALLINT <= value <= TAG_SMALLINT_LAST}


def tag_name(tag: int) -> str:
    """The name of a tag byte, such as ``TAG_LIST_DEDUP`` for 0x14."""
    if TAG_SMALLINT <= tag <= TAG_SMALLINT_LAST:
        return "TAG_SMALLINT"
    return _NAMES.get(tag, f"0x{tag:02X}")
