"""vellum: compact, self-describing serialization of Python object graphs.

``dumps`` turns an object graph into bytes and ``loads`` rebuilds it.  Equal
strings and byte blocks are written once, shared lists, dicts, tuples and
frozensets keep their sharing, and cycles through lists and dicts survive a
round trip.  Functions travel by value (their bytecode, defaults and closure
contents).
"""

from ._vellum import dedup_reset, deserialize_fast, serialize_fast

__all__ = ["dumps", "loads", "dedup_reset"]


def dumps(obj: object) -> bytes:
    """Serialize ``obj`` to bytes."""
    return serialize_fast(obj)


def loads(data: "bytes | bytearray | memoryview") -> object:
    """Rebuild the object graph serialized in ``data``.

    ``data`` is any bytes-like object; bytes after the first complete value
    are ignored.
    """
    if type(data) is not bytes and isinstance(data, (bytearray, memoryview)):
        data = bytes(data)
    return deserialize_fast(data)
