"""vellum in Dask distributed.

Importing this module registers the "vellum" serialization family for
program data: it writes what vellum can write and what the receiver's policy
would load, and raises NotImplementedError for the rest so that the next
family in ``serializers`` takes it; it loads with ``allow_code=False`` and the
allow list of the Dask config key ``vellum.allow`` (dotted names) together
with the VELLUM_ALLOW environment variable.  As a worker preload
(``distributed.worker.preload: ["vellum.dask"]``) it registers the family in
every worker and gives remote functions loaded there the same allow list.
``client(...)`` makes a Client whose ``submit`` and ``map`` send functions as
``vellum.remote`` does.
"""

from __future__ import annotations

import importlib

import dask.config
import distributed
from distributed.protocol.serialize import register_serialization_family

import vellum

__all__ = ["client", "dask_setup", "SERIALIZERS"]

# The recommended ``serializers`` and ``deserializers`` of Clients and Workers.
SERIALIZERS = ("dask", "vellum", "pickle")

_remote = importlib.import_module("vellum.remote")


def _allow_names() -> list[str]:
    names = dask.config.get("vellum.allow", None) or []
    if isinstance(names, str):
        names = names.replace(",", " ").split()
    return [*names, *_remote._env_allow_names()]


_remote.allow_names = _allow_names


def serialize(x: object, context: dict | None = None) -> tuple[dict, list[bytes]]:
    """(header, frames) of the "vellum" family."""
    try:
        stream = vellum.dumps(x)
    except (TypeError, ValueError) as exc:
        raise NotImplementedError(f"vellum cannot write {type(x).__name__}: {exc}") from None
    if vellum.verify(stream).unexecuted_blocks:
        report = vellum.verify(stream, show_source=True)
        if vellum._refusals(report, vellum._approved(_remote.allowed()), False):
            raise NotImplementedError(f"the receiver's policy refuses {type(x).__name__}")
    return {}, [stream]


def deserialize(header: dict, frames: list) -> object:
    """The object of a "vellum" frame, loaded with the receiver's allow list."""
    data = frames[0] if len(frames) == 1 else b"".join(frames)
    return vellum.loads(data, allow_code=False, allow=_remote.allowed())


register_serialization_family("vellum", serialize, deserialize)


def dask_setup(worker=None) -> None:
    """The preload hook: checks that the allow list resolves, so that a
    misspelt name stops the worker instead of its tasks."""
    _remote.allowed()


def _send(func, key):
    return _remote.remote(func, key=key) if _remote.travels_by_value(func) else func


class Client(distributed.Client):
    """A Client whose ``submit`` and ``map`` send the functions that pickle
    cannot find by name as ``vellum.remote`` streams, signed with
    ``vellum_key`` (else VELLUM_KEY) when one is set."""

    def __init__(self, *args, vellum_key: str | bytes | None = None, **kwargs):
        self._vellum_key = _remote._key(vellum_key)
        super().__init__(*args, **kwargs)

    def submit(self, func, *args, **kwargs):
        return super().submit(_send(func, self._vellum_key), *args, **kwargs)

    def map(self, func, *iterables, **kwargs):
        return super().map(_send(func, self._vellum_key), *iterables, **kwargs)


def client(*args, key: str | bytes | None = None, **kwargs) -> Client:
    """A ``distributed.Client`` (same arguments) whose ``submit`` and ``map``
    send functions through ``vellum.remote``, signed with ``key`` (else
    VELLUM_KEY) when one is set."""
    return Client(*args, vellum_key=key, **kwargs)
