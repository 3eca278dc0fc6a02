"""A pickler that sends functions by value as vellum streams.

``Pickler`` is a ``pickle.Pickler`` that writes every function pickle cannot
find by name in another process (lambdas, nested functions, functions of
``__main__``) as ``vellum.remote`` does; everything else pickles as usual,
and loading is plain ``pickle.loads``.  The module has pickle's shape, so
process pools that take a pickler module by name use it:
``loky.set_loky_pickler("vellum.pickler")``, and the same call on joblib's
copy, ``joblib.externals.loky``.
"""

from __future__ import annotations

import io
import pickle

from .remote import _key, remote, travels_by_value

__all__ = ["Pickler", "dump", "dumps", "load", "loads"]

load = pickle.load
loads = pickle.loads


class Pickler(pickle.Pickler):
    """``pickle.Pickler`` with functions by value through ``vellum.remote``,
    signed with ``key`` (else VELLUM_KEY) when one is set."""

    def __init__(self, file, protocol=None, *, key=None, **kwargs):
        super().__init__(file, protocol, **kwargs)
        self._vellum_key = _key(key)

    def reducer_override(self, obj):
        if travels_by_value(obj):
            return remote(obj, key=self._vellum_key).__reduce__()
        return NotImplemented


def dump(obj, file, protocol=None, *, key=None, **kwargs) -> None:
    """Pickle ``obj`` to ``file`` as ``pickle.dump`` does, functions by value."""
    Pickler(file, protocol, key=key, **kwargs).dump(obj)


def dumps(obj, protocol=None, *, key=None, **kwargs) -> bytes:
    """Pickle ``obj`` to bytes as ``pickle.dumps`` does, functions by value."""
    buf = io.BytesIO()
    Pickler(buf, protocol, key=key, **kwargs).dump(obj)
    return buf.getvalue()
