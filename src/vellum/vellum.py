"""Pure-Python side of vellum, importable as ``vellum.vellum``.

It holds what the extension's verifier hands its findings to: the
``StreamReport`` it fills and ``_render_captured_source``, which turns the
raw parts captured for a code-carrying value into text that keeps the parts,
and ``escape_text``, through which every text taken from a stream passes
before it is shown.  Nothing here ever imports, unmarshals or executes
anything taken from a stream.
"""

import functools
import importlib.util
import re
import sys
from types import MappingProxyType

__all__ = ["CapturedSource", "StreamReport", "escape_text", "hidden_characters"]


# ---------------------------------------------------------------------------
# Escaping the text a stream carries
#
# A stream's author chooses its names and source, and a person reads them on a
# terminal.  The characters below can move the cursor, erase or overwrite what
# was printed, reorder a line or hide in it, so they are shown as escapes.  The
# set is a fixed list rather than a Unicode category, so every interpreter
# shows the same text.  Tab and newline are kept in source and escaped in a
# one-line field (a name, a module), which must not forge a line of its own.

_SOURCE_ESCAPED = (
    "\x00-\x08\x0b-\x1f\x7f-\x9f"          # C0 but tab and newline, DEL, C1
    "\u00ad\u061c\u180e\u200b\u200c\u200e\u200f"  # invisible or direction marks
    "\u2028\u2029\u202a-\u202e\u2060-\u2064\u2066-\u2069\ufeff"
    # Lone surrogates: no UTF-8 text holds one, and bytes that are not UTF-8
    # are decoded to U+DC80..U+DCFF so that they come out as byte escapes.
    "\ud800-\udfff"
)
_ESCAPED = {
    False: re.compile(f"[{_SOURCE_ESCAPED}]"),
    True: re.compile(f"[\t\n{_SOURCE_ESCAPED}]"),
}
# Bytes that are printable ASCII (and, in source, tabs and newlines) hold
# nothing to escape: most names and source, settled without decoding.
_PLAIN = {
    False: re.compile(rb"[\t\n\x20-\x7e]*"),
    True: re.compile(rb"[\x20-\x7e]*"),
}


def _is_byte(ch, from_bytes):
    return from_bytes and "\udc80" <= ch <= "\udcff"


def _escape_one(ch, from_bytes):
    r"""One escaped character: \\xNN for a byte that is not UTF-8, so that it
    differs from the character U+00NN, written \xNN."""
    if _is_byte(ch, from_bytes):
        return f"\\\\x{ord(ch) - 0xDC00:02x}"
    cp = ord(ch)
    return f"\\x{cp:02x}" if cp < 0x100 else f"\\u{cp:04x}"


def _as_str(text):
    """(text as str, whether it came from bytes); bytes that are not UTF-8
    become U+DC80..U+DCFF."""
    if isinstance(text, str):
        return text, False
    return bytes(text).decode("utf-8", "surrogateescape"), True


def escape_text(text, *, one_line):
    r"""``text`` (str or bytes taken from a stream) ready to be shown.

    Every C0 control but tab and newline, DEL, every C1 control, U+2028,
    U+2029 and the invisible and direction characters U+00AD, U+061C,
    U+180E, U+200B, U+200C, U+200E, U+200F, U+202A..U+202E,
    U+2060..U+2064, U+2066..U+2069 and U+FEFF are written as ``\xNN`` or
    ``\uNNNN``; with ``one_line`` tab and newline too.  A byte that is not
    part of valid UTF-8 is written ``\\xNN``.  Everything else is kept.
    """
    if type(text) is bytes and _PLAIN[bool(one_line)].fullmatch(text):
        return text.decode("ascii")
    text, from_bytes = _as_str(text)
    pattern = _ESCAPED[bool(one_line)]
    if pattern.search(text) is None:
        return text
    return pattern.sub(lambda m: _escape_one(m.group(), from_bytes), text)


def hidden_characters(text, *, one_line):
    """What ``escape_text`` escapes in ``text``, each once in order of first
    appearance: ``U+NNNN`` for a character, ``byte 0xNN`` for a byte that is
    not UTF-8."""
    if type(text) is bytes and _PLAIN[bool(one_line)].fullmatch(text):
        return ()
    text, from_bytes = _as_str(text)
    found = dict.fromkeys(_ESCAPED[bool(one_line)].findall(text))
    return tuple(f"byte 0x{ord(ch) - 0xDC00:02X}" if _is_byte(ch, from_bytes)
                 else f"U+{ord(ch):04X}" for ch in found)


def _is_text(part):
    return isinstance(part, (str, bytes, bytearray, memoryview))


def _field(part):
    """A one-line field escaped; a part that is not text, such as None, as
    its repr."""
    return escape_text(part, one_line=True) if _is_text(part) else repr(part)


def _quoted(part):
    """A one-line field escaped and between single quotes."""
    return f"'{_field(part)}'" if _is_text(part) else repr(part)


class StreamReport:
    """What verifying a stream found, without running any of it.

    ``ok`` says whether the stream is one well-formed value with no bytes
    after it.  Then ``bytes_consumed`` equals ``bytes_total``,
    ``tag_counts`` maps every tag byte read as a value to its count, and
    ``unexecuted_blocks`` lists, in stream order with nested values first,
    one ``(offset, tag, reason, code)`` tuple per value whose loading would
    execute source, load bytecode or call a callable; ``code`` is the
    rendered capture (a ``CapturedSource``) when source was asked for, else
    None.  Otherwise
    ``error`` says what is wrong and the other fields keep their defaults.
    Its printed form escapes what came from the stream.
    """

    bytes_total = 0
    bytes_consumed = 0
    tag_counts = MappingProxyType({})
    unexecuted_blocks = ()
    ok = False
    error = None

    def __repr__(self):
        if self.ok:
            n = len(self.unexecuted_blocks)
            hiding = sum(1 for block in self.unexecuted_blocks
                         if getattr(block[3], "hidden", ()))
            hidden = f", {hiding} with hidden or control characters" if hiding else ""
            return (f"<StreamReport ok: {self.bytes_consumed} of {self.bytes_total} bytes, "
                    f"{n} value{'' if n == 1 else 's'} that would run code{hidden}>")
        error = escape_text(repr(self.error), one_line=True)
        return f"<StreamReport not ok: {error}, {self.bytes_total} bytes>"


class CapturedSource(str):
    """The readable text of what the verifier captured for one value, with
    the stream's text passed through ``escape_text``.

    ``parts`` keeps the exact raw parts it was made from, as bytes or None:
    (name, source) for functions made from source and version 1 instances,
    (class name, source, module) for instances and classes, (callable name,
    source, module) for reduced objects, all three None when the callable is
    one written earlier in the stream, (qualified name, module, version,
    bytecode) for functions with their globals, (version, bytecode) for their
    code objects, (qualified name, module, scope) for values by reference and
    (module, scope) for modules, where the scope is ``b"function globals"``
    when a function's globals name it, (kind,) for the full reduce form, and
    (bytecode,) or (wrapper kind,) for the rest.
    ``hidden`` lists, as ``hidden_characters`` does, what the text escapes.
    """

    parts: tuple = ()
    hidden: tuple = ()


_HEX_HEAD = 16  # bytes of marshalled code shown
# This interpreter's bytecode magic number and version, as the function and
# code forms carry them: the number big-endian, then major and minor.
_PYVERSION = (int.from_bytes(importlib.util.MAGIC_NUMBER[:2], "little").to_bytes(2, "big")
              + bytes(sys.version_info[:2]))
# Tags whose second captured part is source text; every other text part is
# a one-line field.
_WITH_SOURCE = frozenset((0x0D, 0x1C, 0x1E, 0x1F, 0x25, 0x26, 0x27, 0x32))
_REDUCE_EX_KINDS = {
    b"call": "calls its callable (the value before its arguments)",
    b"new": "a new instance of its class (the value before its arguments), made with __new__",
    b"new with keywords": ("a new instance of its class (the value before its arguments), "
                           "made with __new__ and keyword arguments"),
}


def _source_block(title, source):
    if source is None:
        return f"{title}\n# (no source carried: found by name on load)"
    return f"{title}\n{escape_text(source, one_line=False).rstrip()}"


def _where(module):
    return f" from module {_quoted(module)}" if module else ""


def _hidden(tag, parts):
    """What the rendering of a block escapes: the second part of a block
    with source is that source, every other text part a one-line field;
    bytecode and version parts are not text."""
    if tag in (0x20, 0x21, 0x31):
        return ()
    if tag == 0x30:
        parts = parts[:2]
    found = {}
    for i, part in enumerate(parts):
        if _is_text(part):
            one_line = not (i == 1 and tag in _WITH_SOURCE)
            found.update(dict.fromkeys(hidden_characters(part, one_line=one_line)))
    return tuple(found)


@functools.lru_cache(maxsize=16)
def _pyversion(part):
    """The interpreter that a version part names, and a note when it is not
    this one (which refuses its bytecode)."""
    if not isinstance(part, bytes) or len(part) != 4:
        return "bytecode of an unreadable interpreter version", ""
    major, minor, magic = part[2], part[3], part[0] << 8 | part[1]
    text = f"CPython {major}.{minor} bytecode (magic {magic})"
    if part == _PYVERSION:
        return text, ""
    here = int.from_bytes(_PYVERSION[:2], "big")
    return text, (f"\n# written by another interpreter version: this one (CPython "
                  f"{sys.version_info[0]}.{sys.version_info[1]}, magic {here}) refuses it")


def _bytecode(kind, version, blob):
    what, note = _pyversion(version)
    if not isinstance(blob, bytes):
        return f"# {kind}: {what} (not captured){note}"
    more = " ..." if len(blob) > _HEX_HEAD else ""
    return (f"# {kind}: {what}, {len(blob)} bytes, not loaded: "
            f"{blob[:_HEX_HEAD].hex(' ')}{more}{note}")


def _scope(part):
    return ", named by a function's globals" if part else ""


# Blocks of this many bytes of parts or fewer are rendered once for equal
# parts: streams of one function each (tasks sent to workers) repeat them.
_RENDER_CACHED = 4096


def _render_captured_source(tag, parts):
    """Readable text for the raw parts the verifier captured for one block."""
    if sum(len(p) for p in parts if type(p) is bytes) <= _RENDER_CACHED:
        return _rendered(tag, parts)
    return _rendered.__wrapped__(tag, parts)


@functools.lru_cache(maxsize=256)
def _rendered(tag, parts):
    text = CapturedSource(_render(tag, parts))
    text.parts = parts
    text.hidden = _hidden(tag, parts)
    return text


def _render(tag, parts):
    first = parts[0] if parts else None
    if tag == 0x20 or tag == 0x21:
        kind = "function" if tag == 0x20 else "code object"
        if not isinstance(first, bytes):
            return f"# {kind}: marshalled bytecode (not captured)"
        more = " ..." if len(first) > _HEX_HEAD else ""
        return (f"# {kind}: {len(first)} bytes of marshalled bytecode, not loaded: "
                f"{first[:_HEX_HEAD].hex(' ')}{more}")
    second = parts[1] if len(parts) > 1 else None
    third = parts[2] if len(parts) > 2 else None
    if tag == 0x30:
        fourth = parts[3] if len(parts) > 3 else None
        return _bytecode(f"function {_quoted(first)}{_where(second)}", third, fourth)
    if tag == 0x31:
        return _bytecode("code object", first, second)
    if tag == 0x32:
        return _source_block(f"# class {_quoted(first)}{_where(third)}", second)
    if tag == 0x33:
        return (f"# {_quoted(first)}{_where(second)}, by reference{_scope(third)}: a trusted "
                f"load imports the module when it is not imported")
    if tag == 0x34:
        return (f"# module {_quoted(first)}, by name{_scope(second)}: a trusted load "
                f"imports it when it is not imported")
    if tag == 0x36:
        what = _REDUCE_EX_KINDS.get(first, _field(first))
        return f"# reduced object: {what}; its state goes to __setstate__ when it has one"
    if tag == 0x0D:
        return _source_block(f"# function {_quoted(first)}", second)
    if tag in (0x1C, 0x1E, 0x25, 0x26):
        kind = "class (slots instance)" if tag in (0x1E, 0x26) else "class"
        module = _where(third) if tag in (0x25, 0x26) else ""
        return _source_block(f"# {kind} {_quoted(first)}{module}", second)
    if tag == 0x1F or tag == 0x27:
        if first is None and second is None and third is None:
            return "# callable: the one an earlier block of this stream names"
        module = _where(third) if tag == 0x27 else ""
        return _source_block(f"# callable {_quoted(first)}{module}", second)
    if tag == 0x22 or tag == 0x23:
        return f"# {_field(first)} wrapping the function of the block before"
    if tag == 0x24:
        return f"# property with {_field(first)}" if first else "# property without accessors"
    return f"# tag 0x{tag:02X}: {parts!r}"
