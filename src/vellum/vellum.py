"""Pure-Python side of vellum, importable as ``vellum.vellum``.

It holds what the extension's verifier hands its findings to: the
``StreamReport`` it fills and ``_render_captured_source``, which turns the
raw parts captured for a code-carrying value into text that keeps the parts.  Neither ever
imports, unmarshals or executes anything taken from a stream.
"""

from types import MappingProxyType

__all__ = ["CapturedSource", "StreamReport"]


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
            return (f"<StreamReport ok: {self.bytes_consumed} of {self.bytes_total} bytes, "
                    f"{n} value{'' if n == 1 else 's'} that would run code>")
        return f"<StreamReport not ok: {self.error!r}, {self.bytes_total} bytes>"


class CapturedSource(str):
    """The readable text of what the verifier captured for one value.

    ``parts`` keeps the raw parts it was made from, as bytes or None: (name,
    source) for functions and version 1 instances, (class name, source,
    module) for instances, (callable name, source, module) for reduced
    objects, all three None when the callable is one written earlier in the
    stream, and (bytecode,) or (wrapper kind,) for the rest.
    """

    parts: tuple = ()


_HEX_HEAD = 16  # bytes of marshalled code shown


def _text(part):
    """A captured name or source as text; undecodable bytes are replaced."""
    if part is None:
        return None
    if isinstance(part, (bytes, bytearray, memoryview)):
        return bytes(part).decode("utf-8", "replace")
    return repr(part)


def _source_block(title, source):
    if source is None:
        return f"{title}\n# (no source carried: found by name on load)"
    return f"{title}\n{_text(source).rstrip()}"


def _where(module):
    module = _text(module)
    return f" from module {module!r}" if module else ""


def _render_captured_source(tag, parts):
    """Readable text for the raw parts the verifier captured for one block."""
    text = CapturedSource(_render(tag, parts))
    text.parts = parts
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
    if tag == 0x0D:
        return _source_block(f"# function {_text(first)!r}", second)
    if tag in (0x1C, 0x1E, 0x25, 0x26):
        kind = "class (slots instance)" if tag in (0x1E, 0x26) else "class"
        module = _where(third) if tag in (0x25, 0x26) else ""
        return _source_block(f"# {kind} {_text(first)!r}{module}", second)
    if tag == 0x1F or tag == 0x27:
        if first is None and second is None and third is None:
            return "# callable: the one an earlier block of this stream names"
        module = _where(third) if tag == 0x27 else ""
        return _source_block(f"# callable {_text(first)!r}{module}", second)
    if tag == 0x22 or tag == 0x23:
        return f"# {_text(first)} wrapping the function of the block before"
    if tag == 0x24:
        names = _text(first)
        return f"# property with {names}" if names else "# property without accessors"
    return f"# tag 0x{tag:02X}: {parts!r}"
