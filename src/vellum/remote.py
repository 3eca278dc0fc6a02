"""Functions sent to other processes as one checked vellum stream.

``remote(fn)`` wraps a function in a callable that pickles as a small loader
and one vellum stream of the function, beside the names engines give tasks,
the interpreter version whose bytecode the stream carries and, when a key is
set, an HMAC-SHA256 signature over all of it.  Where the wrapper is unpickled
nothing loads until its first call, which checks the signature, the
interpreter version, the stream's form and the receiver's policy, in that
order, each before anything of the stream loads.

What travels, as the loader's arguments ``(version, doc, body, mac)``:
``version`` is the bytecode magic number and the major and minor version of
the writing interpreter (6 bytes); ``doc`` the docstring or None; ``body`` a
flags byte, then, raw or deflated (flag 1), the byte lengths of the
qualified name, the module and the name (0 when it is the qualified name's
last part) as three big-endian 16-bit numbers, the three as UTF-8 and the
stream; ``mac`` the HMAC-SHA256 of version, doc and body, or None.

Process-wide state: the payloads made per function object (weakly keyed),
the functions loaded per payload digest, the resolved allow lists, and one
lock that serializes the loads of the adapters, since the engine's read
table serves one load at a time.
"""

from __future__ import annotations

import hashlib
import hmac
import importlib
import importlib.util
import os
import struct
import sys
import threading
import types
import weakref
import zlib
from collections import OrderedDict
from collections.abc import Callable

import vellum

__all__ = ["remote", "Remote", "RemoteLoadError"]

# The bytecode a stream carries loads on the interpreter version that wrote it only.
_VERSION = importlib.util.MAGIC_NUMBER + bytes(sys.version_info[:2])
_RAW, _DEFLATED = 0, 1
# Small streams are deflated: their bytecode is sparse and repeats the names.
_DEFLATE_BELOW = 16 << 10
_MAX_BODY = 3 * 0xFFFF + 6 + _DEFLATE_BELOW
_LENGTHS = struct.Struct(">HHH")

# The loaded functions kept, by count and by the size of their streams.
_MAX_LOADED = 1024
_MAX_LOADED_BYTES = 64 << 20
# Reentrant: an approved callable running during a load may load again.
LOAD_LOCK = threading.RLock()
_loaded: OrderedDict[bytes, tuple[Callable, int]] = OrderedDict()
_loaded_bytes = 0
_payloads: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()
_resolved: dict[tuple[str, ...], tuple[object, ...]] = {}


class RemoteLoadError(ValueError):
    """A remote function refused where it was to run: its signature, its
    interpreter version, its stream or the receiver's policy did not pass.
    Nothing of its stream was loaded.  ``blocks`` lists the refused values
    when the policy refused it, as ``UnsafeStreamError`` does."""

    def __init__(self, message: str, blocks: list | None = None):
        super().__init__(message)
        self.blocks = blocks or []

    def __reduce__(self):
        return type(self), (self.args[0], self.blocks)


def _key(key: str | bytes | None) -> bytes | None:
    """The signing key: the argument, else VELLUM_KEY; None when neither is set."""
    if key is None:
        key = os.environ.get("VELLUM_KEY") or None
        if key is None:
            return None
    if isinstance(key, str):
        key = key.encode("utf-8")
    if not isinstance(key, (bytes, bytearray)):
        raise TypeError(f"key must be str or bytes, not {type(key).__name__}")
    if not key:
        raise ValueError("key must not be empty")
    return bytes(key)


def _signature(key: bytes, version: bytes, doc: str | None, body: bytes) -> bytes:
    if doc is None:
        text = b"\xff\xff\xff\xff"
    else:
        text = doc.encode("utf-8", "surrogatepass")
        text = len(text).to_bytes(4, "big") + text
    if len(body) < 1 << 16:  # one call, for the common small payload
        return hmac.digest(key, b"".join((version, text, body)), "sha256")
    mac = hmac.new(key, version + text, "sha256")
    mac.update(body)  # without copying a large body
    return mac.digest()


def _text(raw: bytes) -> str:
    return raw.decode("utf-8", "surrogatepass")


def _pack_body(qualname: str, module: str, name: str, stream: bytes) -> bytes:
    texts = [t.encode("utf-8", "surrogatepass") for t in (
        qualname, module, "" if name == qualname.rpartition(".")[2] else name)]
    lengths = _LENGTHS.pack(*map(len, texts))
    if len(stream) < _DEFLATE_BELOW:
        raw = b"".join((lengths, *texts, stream))
        deflate = zlib.compressobj(9, zlib.DEFLATED, -15)
        packed = deflate.compress(raw) + deflate.flush()
        if len(packed) < len(raw):
            return bytes((_DEFLATED,)) + packed
    return b"".join((bytes((_RAW,)), lengths, *texts, stream))


def _unpack_body(body: bytes) -> tuple[str, str, str, memoryview]:
    """(qualname, module, name, stream), the stream a view into the body or
    its inflated copy; ValueError when the body is malformed."""
    if not isinstance(body, bytes) or not body or body[0] not in (_RAW, _DEFLATED):
        raise ValueError("unknown body format")
    raw = memoryview(body)[1:]
    if body[0] == _DEFLATED:
        inflate = zlib.decompressobj(-15)
        try:
            raw = memoryview(inflate.decompress(raw, _MAX_BODY + 1))
        except zlib.error as exc:
            raise ValueError(f"its body does not inflate: {exc}") from None
        if not inflate.eof or inflate.unused_data or len(raw) > _MAX_BODY:
            raise ValueError("its body does not inflate to one bounded block")
    if len(raw) < _LENGTHS.size:
        raise ValueError("its body is shorter than its header")
    lengths = _LENGTHS.unpack_from(raw)
    at = _LENGTHS.size
    texts = []
    for n in lengths:
        if at + n > len(raw):
            raise ValueError("its body is shorter than its names")
        texts.append(_text(bytes(raw[at:at + n])))
        at += n
    qualname, module, name = texts
    return qualname, module, name or qualname.rpartition(".")[2], raw[at:]


def _names(fn: object) -> tuple[str, str, str, str | None]:
    name = getattr(fn, "__name__", None) or type(fn).__name__
    return (name, getattr(fn, "__qualname__", None) or name,
            getattr(fn, "__module__", None) or "", getattr(fn, "__doc__", None))


def _make_payload(fn: object, key: bytes | None) -> tuple:
    stream = vellum.dumps(fn)
    name, qualname, module, doc = _names(fn)
    if not isinstance(doc, str):
        doc = None
    body = _pack_body(qualname, module, name, stream)
    mac = None if key is None else _signature(key, _VERSION, doc, body)
    return _VERSION, doc, body, mac


def _payload_of(fn: object, key: bytes | None) -> tuple:
    """The payload of ``fn`` signed with ``key``, made once per function object."""
    try:
        made = _payloads.get(fn)
    except TypeError:  # not weakly referenceable: made at each pickling
        return _make_payload(fn, key)
    if made is None:
        made = _payloads[fn] = {}
    payload = made.get(key)
    if payload is None:
        payload = made[key] = _make_payload(fn, key)
    return payload


class Remote:
    """A callable that pickles as one vellum stream of its function.

    Made by ``remote(fn)`` it calls ``fn``; unpickled it holds the stream
    and loads the function at its first call, after the checks of this
    module.  It carries the function's ``__name__``, ``__qualname__``,
    ``__module__`` and ``__doc__``.
    """

    def __init__(self, fn: Callable, key: bytes | None):
        self._fn = fn
        self._key = key
        self._payload = None
        self.__name__, self.__qualname__, self.__module__, self.__doc__ = _names(fn)

    def __call__(self, *args, **kwargs):
        fn = self._fn
        if fn is None:
            fn = self._fn = _check_and_load(self)
        return fn(*args, **kwargs)

    def payload(self) -> tuple:
        """(version, doc, body, mac), as it travels."""
        if self._payload is None:
            self._payload = _payload_of(self._fn, self._key)
        return self._payload

    def __reduce__(self):
        return _revive, self.payload()

    def __dask_tokenize__(self):
        version, doc, body, mac = self.payload()
        if mac is None:
            mac = hashlib.sha256(repr((version, doc, body)).encode()).digest()
        return "vellum.remote", mac.hex()

    def __repr__(self) -> str:
        state = "loaded" if self._fn is not None else "not loaded"
        return f"<remote function {self.__module__}.{self.__qualname__} ({state})>"


def _revive(version: bytes, doc: str | None, body: bytes, mac: bytes | None) -> Remote:
    """The loader pickled with every remote function: it reads the names and
    loads nothing, so a process that only passes tasks on never loads their
    bytecode.  A body it cannot read fails the first call."""
    self = Remote.__new__(Remote)
    self._fn = None
    self._key = None
    self._payload = version, doc, body, mac
    try:
        qualname, module, name, self._stream = _unpack_body(body)
    except ValueError as exc:
        qualname = module = name = "?"
        self._stream = exc
    self.__name__, self.__qualname__, self.__module__, self.__doc__ = name, qualname, module, doc
    return self


def remote(fn: Callable, *, key: str | bytes | None = None) -> Remote:
    """Wrap ``fn`` to travel to other processes as one vellum stream.

    The wrapper calls ``fn`` here and pickles as a loader and the stream
    (made once per function object), with ``fn``'s names and the
    interpreter version.  With a key (``key``, else the VELLUM_KEY
    environment variable, as UTF-8 when it is text) the payload carries an
    HMAC-SHA256 signature.  Where it is unpickled it loads ``fn`` at its
    first call, after checking the signature against that process's
    VELLUM_KEY, the interpreter version and the stream, and loading it with
    ``allow_code=False, allow_functions=True`` and that process's allow list
    (VELLUM_ALLOW: dotted names); a refusal raises ``RemoteLoadError``.
    """
    if isinstance(fn, Remote):
        return fn
    if not callable(fn):
        raise TypeError(f"remote takes a callable, not {type(fn).__name__}")
    return Remote(fn, _key(key))


def _describe(version: bytes) -> str:
    if not isinstance(version, bytes) or len(version) != 6:
        return f"an unknown version {version!r}"
    return f"Python {version[4]}.{version[5]} (bytecode magic {version[:4].hex()})"


def _check_and_load(stub: Remote) -> Callable:
    version, doc, body, mac = stub._payload
    what = f"remote function {stub.__module__}.{stub.__qualname__}"
    key = _key(None)
    if key is not None:
        if mac is None:
            raise RemoteLoadError(f"{what} refused: it is not signed, and this process "
                                  "requires a signature (VELLUM_KEY is set)")
        if not hmac.compare_digest(mac, _signature(key, version, doc, body)):
            raise RemoteLoadError(f"{what} refused: its signature does not match: the key "
                                  "differs, or the stream or its names were altered")
    elif mac is not None:
        raise RemoteLoadError(f"{what} refused: it is signed, and this process has no key "
                              "to check it with (set VELLUM_KEY)")
    if version != _VERSION:
        raise RemoteLoadError(
            f"{what} refused: it was written by {_describe(version)} and this is "
            f"{_describe(_VERSION)}; bytecode loads only on the version that wrote it")
    stream = stub._stream
    if isinstance(stream, ValueError):
        raise RemoteLoadError(f"{what} refused: {stream}")
    digest = mac or hashlib.sha256(body).digest()
    global _loaded_bytes
    with LOAD_LOCK:
        cached = _loaded.get(digest)
        if cached is not None:
            _loaded.move_to_end(digest)
            return cached[0]
        try:
            fn = vellum.loads(stream, allow_code=False, allow=allowed(),
                              allow_functions=True)
        except vellum.UnsafeStreamError as exc:
            raise RemoteLoadError(f"{what} refused: {exc}", exc.blocks) from None
        except ValueError:
            report = vellum.verify(stream)
            if report.ok:
                raise
            raise RemoteLoadError(f"{what} refused: its stream is malformed: "
                                  f"{report.error}") from None
        if not callable(fn):
            raise RemoteLoadError(f"{what} refused: its stream holds a "
                                  f"{type(fn).__name__}, not a callable")
        _loaded[digest] = fn, len(stream)
        _loaded_bytes += len(stream)
        while len(_loaded) > _MAX_LOADED or _loaded_bytes > _MAX_LOADED_BYTES:
            _loaded_bytes -= _loaded.popitem(last=False)[1][1]
    return fn


def _clear_loaded() -> None:
    """Forget the loaded functions, so that the next call of each loads it again."""
    global _loaded_bytes
    with LOAD_LOCK:
        _loaded.clear()
        _loaded_bytes = 0


def resolve(name: str) -> object:
    """The object a dotted name such as ``package.module.Class`` names,
    importing the longest module prefix that exists."""
    parts = name.split(".")
    for cut in range(len(parts) - 1, 0, -1):
        module_name = ".".join(parts[:cut])
        try:
            obj = importlib.import_module(module_name)
        except ModuleNotFoundError as exc:
            if exc.name is not None and module_name.startswith(exc.name):
                continue
            raise
        try:
            for part in parts[cut:]:
                obj = getattr(obj, part)
        except AttributeError:
            break
        return obj
    raise ValueError(f"allow names {name!r}, which does not resolve to an object")


def _env_allow_names() -> list[str]:
    return os.environ.get("VELLUM_ALLOW", "").replace(",", " ").split()


# Where the receiver's allow list comes from; the Dask preload adds its config.
allow_names: Callable[[], list[str]] = _env_allow_names


def allowed() -> tuple[object, ...]:
    """The receiver's allow list, resolved once per list of names."""
    names = tuple(allow_names())
    objects = _resolved.get(names)
    if objects is None:
        objects = _resolved[names] = tuple(resolve(n) for n in names)
    return objects


def travels_by_value(obj: object) -> bool:
    """Whether ``obj`` is a Python function that pickle cannot find by name
    in another process: a lambda, a nested function, a function of
    ``__main__``, or one that its module no longer holds under its name."""
    if type(obj) is not types.FunctionType:
        return False
    module = obj.__module__
    qualname = obj.__qualname__
    if not module or module in ("__main__", "__mp_main__") or "<" in qualname:
        return True
    found = sys.modules.get(module)
    try:
        for part in qualname.split("."):
            found = getattr(found, part)
    except AttributeError:
        return True
    return found is not obj
