"""vellum: compact, self-describing serialization of Python object graphs.

``dumps`` turns an object graph into bytes and ``loads`` rebuilds it.  Equal
strings and byte blocks are written once, shared lists, dicts, tuples and
frozensets keep their sharing, and cycles through lists and dicts survive a
round trip.  Functions travel by value (their bytecode checked against the
interpreter version, the module globals their code uses, their defaults,
attributes and closure cells); instances and classes travel with their
class's name, module and source; built-ins, classes of C and modules by
module and name; everything else the reduce protocol describes, in pickle's
order.

Loading a stream can run the code it carries.  ``verify`` reports what a
stream would run without running any of it, and ``loads(data,
allow_code=False, allow=(...))`` loads a stream only when everything in it
that would run is a class or callable the caller approved, which is then
taken from the caller's own modules instead of from the stream.
"""

from __future__ import annotations

from collections.abc import Iterable
from types import ModuleType
from typing import Protocol, Union

from ._tags import tag_name
from ._vellum import (approval, dedup_reset, deserialize_fast, deserialize_safe,
                      serialize_fast, verify_stream_fast)
from .vellum import CapturedSource, StreamReport, _quoted, escape_text

__all__ = [
    "dumps", "dump", "loads", "load", "verify", "StreamReport", "UnsafeStreamError",
    "RefusedValue", "dedup_reset", "tag_name", "__version__",
]

__version__ = "0.1.0"

BytesLike = Union[bytes, bytearray, memoryview]


class _Reader(Protocol):
    def read(self) -> bytes: ...


class _Writer(Protocol):
    def write(self, data: bytes, /) -> object: ...


# Code-carrying values that no ``allow`` entry approves: they execute source,
# load bytecode, resolve by source or builtins only, or wrap such a value.
_NEVER_APPROVED = {
    0x0D: "a function made from source is never approved",
    0x1C: "a version 1 instance is re-created from its source only",
    0x1E: "a version 1 instance is re-created from its source only",
    0x1F: "a version 1 reduce callable comes from its source or the builtins only",
    0x20: "bytecode is never approved",
    0x21: "bytecode is never approved",
    0x22: "a wrapper of a function is never approved",
    0x23: "a wrapper of a function is never approved",
    0x24: "a wrapper of functions is never approved",
    0x30: "bytecode is never approved",
    0x31: "bytecode is never approved",
}
# Functions, code and their wrappers, approved together by allow_functions.
_FUNCTION_FORMS = frozenset((0x0D, 0x20, 0x21, 0x22, 0x23, 0x24, 0x30, 0x31))
_INSTANCE_TAGS = (0x25, 0x26)
_REDUCE = 0x27
# What the name of a value by reference must denote, as the engine's
# approval kinds number it: a class, any object, a module.
_CLASS, _GLOBAL, _MODULE, _REDUCE_EX = 0x32, 0x33, 0x34, 0x36
_APPROVE_KIND = {_CLASS: 3, _GLOBAL: 2, _MODULE: 4}
_KIND_NAMES = {0x25: "class", 0x26: "class", _CLASS: "class", _GLOBAL: "value",
               _MODULE: "module"}


class RefusedValue:
    """One code-carrying value of a stream that safe loading refused.

    ``offset`` is the offset of its tag byte in the stream, ``tag`` and
    ``tag_name`` its tag, ``reason`` what loading it would do as the verifier
    reports it, ``name`` and ``module`` the class or callable the stream
    names for it (None when it names none), and ``refusal`` why it was not
    approved.  These keep the exact text; ``describe()`` and the repr escape
    it as ``vellum.vellum.escape_text`` does, the refusal included, since a
    refusal can quote the stream's names.
    """

    __slots__ = ("offset", "tag", "tag_name", "reason", "name", "module", "refusal")

    def __init__(self, offset: int, tag: int, reason: str, name: str | None,
                 module: str | None, refusal: str):
        self.offset = offset
        self.tag = tag
        self.tag_name = tag_name(tag)
        self.reason = reason
        self.name = name
        self.module = module
        self.refusal = refusal

    def __repr__(self) -> str:
        fields = ", ".join(f"{field}={escape_text(repr(getattr(self, field)), one_line=True)}"
                           for field in ("name", "module", "refusal"))
        return f"RefusedValue(offset={self.offset}, tag=0x{self.tag:02X}, {fields})"

    def describe(self) -> str:
        """One line: where the value is, what it names and why it was refused."""
        what = ""
        if self.tag == _MODULE and self.module is not None:
            what = f" module {_quoted(self.module)};"
        elif self.name is not None:
            where = f" from module {_quoted(self.module)}" if self.module else " without a module"
            kind = _KIND_NAMES.get(self.tag, "callable")
            what = f" {kind} {_quoted(self.name)}{where};"
        refusal = escape_text(self.refusal, one_line=True)
        reason = escape_text(self.reason, one_line=True)
        return (f"at byte {self.offset}: {self.tag_name} (0x{self.tag:02X}):{what} "
                f"{refusal} [{reason}]")


class UnsafeStreamError(ValueError):
    """A stream holds code-carrying values that were not approved.

    ``blocks`` lists every refused value as a ``RefusedValue``; the message
    has one escaped line per value.  Nothing of the stream was executed,
    imported, unmarshalled or called.
    """

    MAX_LISTED = 20

    def __init__(self, blocks: list[RefusedValue]):
        self.blocks = blocks
        lines = [b.describe() for b in blocks[:self.MAX_LISTED]]
        if len(blocks) > self.MAX_LISTED:
            lines.append(f"... and {len(blocks) - self.MAX_LISTED} more (see .blocks)")
        n = len(blocks)
        super().__init__(f"stream refused: {n} value{'' if n == 1 else 's'} would run "
                         f"code that is not approved:\n  " + "\n  ".join(lines))

    def __reduce__(self):
        return type(self), (self.blocks,)


def dumps(obj: object) -> bytes:
    """Serialize ``obj`` to bytes.

    Unsupported objects raise TypeError; a structure nested more than 200
    levels deep raises ValueError.
    """
    return serialize_fast(obj)


def dump(obj: object, file: _Writer) -> None:
    """Serialize ``obj`` and write the bytes to ``file``, a binary file."""
    file.write(serialize_fast(obj))


def _in_place(fn, data: BytesLike, *args: object) -> object:
    """fn(stream, *args), the engine reading ``data`` where it lies: a
    read-only view of a contiguous buffer, a copy of any other."""
    if isinstance(data, bytes):
        return fn(data, *args)
    with memoryview(data) as view:
        if not view.c_contiguous:
            return fn(view.tobytes(), *args)
        with view.toreadonly() as readonly:
            return fn(readonly, *args)


def _text(part: object) -> str | None:
    """A captured name as the loader decodes it, or None when it cannot."""
    if not isinstance(part, bytes):
        return None
    try:
        return part.decode("utf-8")
    except UnicodeDecodeError:
        return None


def _approved(allow: Iterable[object]) -> tuple[object, ...]:
    """The approved objects, checked to be classes, callables and modules.
    The engine matches them by identity, and bound methods, which are made
    anew at each lookup, by their self and function."""
    objects = tuple(allow)
    for obj in objects:
        if not (callable(obj) or isinstance(obj, ModuleType)):
            raise TypeError(f"allow takes classes, callables and modules, not {obj!r}")
    return objects


def _refusals(report: StreamReport, allowed: tuple[object, ...],
              allow_functions: bool) -> list[RefusedValue]:
    """Every block of a capturing report that loading would run unapproved.

    Back-references to a callable name an entry of the stream's own index
    space: either a callable written in full earlier in the stream, or an
    entry that is no callable at all, whose call fails before anything runs.
    They are approved when every callable written in full is.  With
    ``allow_functions`` the function forms are approved.
    """
    refused: list[RefusedValue] = []
    backrefs: list[RefusedValue] = []
    for offset, tag, reason, code in report.unexecuted_blocks:
        parts = getattr(code, "parts", None)
        name = module = None
        if tag == _REDUCE_EX:
            continue  # its callable or class is a value of its own; the engine checks it again
        if tag in _APPROVE_KIND:
            why = _by_reference_refusal(tag, parts, allowed, allow_functions)
            if why is not None:
                name, module = _named(tag, parts)
                refused.append(RefusedValue(offset, tag, reason, name, module, why))
            continue
        if tag in _INSTANCE_TAGS or tag == _REDUCE:
            if not isinstance(parts, tuple) or len(parts) != 3:
                refused.append(RefusedValue(offset, tag, reason, None, None,
                                            "its class or callable was not captured"))
                continue
            name, module = _text(parts[0]), _text(parts[2])
        if tag in _FUNCTION_FORMS and allow_functions:
            continue
        if tag in _NEVER_APPROVED:
            why = _NEVER_APPROVED[tag]
        elif tag == _REDUCE and parts[0] is None and parts[2] is None:
            backrefs.append(RefusedValue(offset, tag, reason, None, None,
                                         "names a callable of this stream that is refused"))
            continue
        elif name is None or module is None:
            why = "its name or module is not UTF-8 text"
        else:
            why = approval(name, module, tag != _REDUCE, allowed)
            if why is None:
                continue
        refused.append(RefusedValue(offset, tag, reason, name, module, why))
    if any(r.tag == _REDUCE for r in refused):
        refused.extend(backrefs)
        refused.sort(key=lambda r: r.offset)
    return refused


def _named(tag: int, parts: object) -> tuple[str | None, str | None]:
    """(name, module) that a class, value by reference or module names."""
    if not isinstance(parts, tuple) or len(parts) < 2:
        return None, None
    if tag == _MODULE:
        return None, _text(parts[0])
    return _text(parts[0]), _text(parts[2] if tag == _CLASS else parts[1])


def _by_reference_refusal(tag: int, parts: object, allowed: tuple[object, ...],
                          allow_functions: bool) -> str | None:
    """Why a class, value by reference or module is refused, or None.  With
    allow_functions, what a function's globals name by reference is taken
    as a trusted load takes it, imports included."""
    name, module = _named(tag, parts)
    if module is None or (tag != _MODULE and name is None):
        return "its name or module was not captured as UTF-8 text"
    if allow_functions and tag != _CLASS and parts[-1] is not None:
        return None
    return approval(name or "", module, _APPROVE_KIND[tag], allowed)


def verify(data: BytesLike, *, show_source: bool = False) -> StreamReport:
    """Walk a stream without building or running anything and report on it.

    The report says whether ``data`` is one well-formed value (``ok``, else
    ``error``), counts its tags, and lists in ``unexecuted_blocks`` every
    value whose loading would execute source, load bytecode or call a
    callable, as ``(offset, tag, reason, code)``.  With ``show_source`` the
    ``code`` of each is the text the stream carries for it, escaped by
    ``vellum.vellum.escape_text``, with the exact bytes in its ``parts``.
    """
    return _in_place(verify_stream_fast, data, bool(show_source))


def _safe_load(data: BytesLike, allow: Iterable[object], allow_functions: bool) -> object:
    allowed = _approved(allow)
    # The bytes verified are the bytes loaded: a mutable buffer is copied once.
    stream = data if isinstance(data, bytes) else memoryview(data).tobytes()
    report = verify_stream_fast(stream)
    if not report.ok:
        raise ValueError(report.error)
    if report.unexecuted_blocks:
        report = verify_stream_fast(stream, True)
        if not report.ok:
            raise ValueError(report.error)
        refused = _refusals(report, allowed, allow_functions)
        if refused:
            raise UnsafeStreamError(refused)
    # The load resolves every class and callable by the same static lookup
    # and checks each against the approved objects again, back-references
    # included; it runs no carried source.
    return deserialize_safe(stream, allowed, allow_functions)


def loads(data: BytesLike, *, allow_code: bool = True, allow: Iterable[object] = (),
          allow_functions: bool = False) -> object:
    """Rebuild the object graph serialized in ``data``.

    ``data`` is any bytes-like object, read in place where it can be; bytes
    after the first complete value are ignored.  Malformed input raises
    ValueError (IndexError for a reference out of range).  The engine keeps
    nothing of the result once this returns.  Tuples and frozensets nested
    more than 10,000 deep, set items and dict keys larger than the input can
    justify, and compressed source inflating past 256 times the input plus
    16 MiB are refused with ValueError, so that loading stays linear in the
    input.

    With ``allow_code=True`` (the default) loading runs whatever code the
    stream carries, and imports the modules that function globals and values
    given by module and name need: use it for streams you trust only.  With
    ``allow_code=False`` the stream is verified first: a malformed stream
    raises ValueError with the verifier's message, and a stream with any
    code-carrying value that is not approved raises ``UnsafeStreamError``
    before anything of it runs; nothing is imported.  An instance, reduced
    object, class, value given by module and name or module is approved when
    what the stream names, found statically (in the ``__dict__`` of a module
    the program has already imported, and along a class's MRO, running no
    code of what it looks at), is one of the objects in ``allow``, which
    takes modules too; the loader then takes that object and never runs the
    source the stream carries.  An instance is approved only for a class that
    makes its instances with ``object.__new__``, and a reduced object gets
    the state and items the stream carries only when its callable is such
    a class: approval creates objects and never rewrites one that exists.
    Bytecode, functions made from source and their wrappers are approved
    only with ``allow_functions=True``, which approves arbitrary code: use
    it only for streams whose sender is authenticated; what their globals
    name by module is then imported as a trusted load imports it.  Version 1
    values are never approved.
    """
    if allow_code and type(data) is bytes and allow == () and not allow_functions:
        # The common call, without the layers below: small messages are
        # dominated by per-call costs.
        return deserialize_fast(data)
    allow = tuple(allow)
    if allow_code:
        if allow or allow_functions:
            raise ValueError("allow and allow_functions take effect only with "
                             "allow_code=False")
        return _in_place(deserialize_fast, data)
    return _safe_load(data, allow, allow_functions)


def load(file: _Reader, *, allow_code: bool = True, allow: Iterable[object] = (),
         allow_functions: bool = False) -> object:
    """Read a whole binary file and load it as ``loads`` does."""
    return loads(file.read(), allow_code=allow_code, allow=allow,
                 allow_functions=allow_functions)


# Last: the module imports this package.
from .remote import remote  # noqa: E402

__all__.append("remote")
