"""Functions sent to other processes as one checked vellum stream.

``remote(fn)`` wraps a function in a callable that pickles as a small loader
and one vellum stream of the function, beside the names engines give tasks,
the interpreter version whose bytecode the stream carries and, when a key is
set, an HMAC-SHA256 signature over all of it.  Where the wrapper is unpickled
nothing loads until its first call, which checks the signature, the
interpreter version, the stream's form and the receiver's policy, in that
order, each before anything of the stream loads.

Process-wide state: the payloads made per function object (weakly keyed),
the functions loaded per stream digest, the resolved allow lists, and one
lock that serializes the loads of the adapters, since the engine's read
table serves one load at a time.
"""

from __future__ import annotations

import hashlib
import hmac
import importlib
import importlib.util
import os
import sys
import threading
import types
import weakref
from collections import OrderedDict
from collections.abc import Callable

import vellum

__all__ = ["remote", "Remote", "RemoteLoadError"]

_FORMAT = 1
# What the bytecode of a stream is bound to: it loads on the same interpreter only.
_CACHE_TAG = sys.implementation.cache_tag or sys.implementation.name
_MAGIC = importlib.util.MAGIC_NUMBER
_VERSION = "%d.%d" % sys.version_info[:2]

_MAX_LOADED = 1024
# Reentrant: an approved callable running during a load may load again.
LOAD_LOCK = threading.RLock()
_loaded: OrderedDict[bytes, Callable] = OrderedDict()
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


def _sign(key: bytes, head: tuple, stream: bytes) -> bytes:
    """HMAC-SHA256 over the header's repr, which is text of str, bytes, int
    and None only, its length, and the stream."""
    text = repr(head).encode("utf-8")
    mac = hmac.new(key, len(text).to_bytes(8, "big"), hashlib.sha256)
    mac.update(text)
    mac.update(stream)
    return mac.digest()


def _names(fn: object) -> tuple[str, str, str, str | None]:
    name = getattr(fn, "__name__", None) or type(fn).__name__
    return (name, getattr(fn, "__qualname__", None) or name,
            getattr(fn, "__module__", None) or "", getattr(fn, "__doc__", None))


def _make_payload(fn: object, key: bytes | None) -> tuple:
    stream = vellum.dumps(fn)
    head = (_FORMAT, *_names(fn), _CACHE_TAG, _MAGIC, _VERSION)
    return head, stream, None if key is None else _sign(key, head, stream)


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
            fn = self._fn = _check_and_load(self._payload)
        return fn(*args, **kwargs)

    def payload(self) -> tuple:
        """(header, stream, signature or None), as it travels."""
        if self._payload is None:
            self._payload = _payload_of(self._fn, self._key)
        return self._payload

    def __reduce__(self):
        return _revive, (self.payload(),)

    def __dask_tokenize__(self):
        head, stream, _ = self.payload()
        return "vellum.remote", hashlib.sha256(stream).hexdigest(), head[1:5]

    def __repr__(self) -> str:
        state = "loaded" if self._fn is not None else "not loaded"
        return f"<remote function {self.__module__}.{self.__qualname__} ({state})>"


def _revive(payload: tuple) -> Remote:
    """The loader pickled with every remote function: it keeps the payload
    and loads nothing, so a process that only passes tasks on never loads
    their bytecode."""
    try:
        head, stream, mac = payload
        _, name, qualname, module, doc = head[:5]
    except (TypeError, ValueError):
        raise ValueError("not the payload of a remote function") from None
    if not isinstance(stream, bytes):
        raise ValueError("not the payload of a remote function")
    self = Remote.__new__(Remote)
    self._fn = None
    self._key = None
    self._payload = payload
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


def _check_and_load(payload: tuple) -> Callable:
    head, stream, mac = payload
    what = f"remote function {head[3]}.{head[2]}" if head[3] else f"remote function {head[2]}"
    key = _key(None)
    if key is not None:
        if mac is None:
            raise RemoteLoadError(f"{what} refused: it is not signed, and this process "
                                  "requires a signature (VELLUM_KEY is set)")
        if not hmac.compare_digest(mac, _sign(key, head, stream)):
            raise RemoteLoadError(f"{what} refused: its signature does not match: the key "
                                  "differs, or the stream or its names were altered")
    elif mac is not None:
        raise RemoteLoadError(f"{what} refused: it is signed, and this process has no key "
                              "to check it with (set VELLUM_KEY)")
    if head[0] != _FORMAT or len(head) != 8:
        raise RemoteLoadError(f"{what} refused: unknown payload format {head[0]!r}")
    cache_tag, magic, version = head[5:]
    if (cache_tag, magic, version) != (_CACHE_TAG, _MAGIC, _VERSION):
        theirs = magic.hex() if isinstance(magic, bytes) else repr(magic)
        raise RemoteLoadError(
            f"{what} refused: its bytecode was written by Python {version} ({cache_tag}, "
            f"magic {theirs}) and this is Python {_VERSION} ({_CACHE_TAG}, magic "
            f"{_MAGIC.hex()}); bytecode loads only on the version that wrote it")
    digest = hashlib.sha256(stream).digest()
    with LOAD_LOCK:
        fn = _loaded.get(digest)
        if fn is not None:
            _loaded.move_to_end(digest)
            return fn
        report = vellum.verify(stream)
        if not report.ok:
            raise RemoteLoadError(f"{what} refused: its stream is malformed: {report.error}")
        try:
            fn = vellum.loads(stream, allow_code=False, allow=allowed(),
                              allow_functions=True)
        except vellum.UnsafeStreamError as exc:
            raise RemoteLoadError(f"{what} refused: {exc}", exc.blocks) from None
        if not callable(fn):
            raise RemoteLoadError(f"{what} refused: its stream holds a "
                                  f"{type(fn).__name__}, not a callable")
        _loaded[digest] = fn
        if len(_loaded) > _MAX_LOADED:
            _loaded.popitem(last=False)
    return fn


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
