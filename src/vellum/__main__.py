"""Demo run by ``python3 -m vellum``.

Round-trips a sample object graph, compares the stream's size with pickle's and
marshal's, shows that shared lists stay shared and cycles survive, carries a closure
by value when this build supports functions, and prints the verifier's report of the
stream when the verifier is available. Exits non-zero if any round trip fails.
"""

from __future__ import annotations

import marshal
import pickle
import sys

import vellum


def sample_graph() -> dict:
    """A graph of plain data: no cycle, so == can compare it with its copy."""
    shared = [10, 20, 30]
    return {
        "ints": [0, 1, 58, 59, 255, -1, -129, 2**31, -(2**63), 2**100, -(3**80)],
        "floats": [0.0, -0.0, 1.0, -1.0, 1.5, 3.141592653589793, float("inf"), -1e-300],
        "complex": 2.5 - 1j,
        "bytes": b"\x00\x01vellum\xff" * 4,
        "flags": (None, True, False),
        # Equal strings built separately, so only content dedup can share them.
        "users": ["user-%d" % (i % 5) for i in range(60)],
        "nested": {
            "tuple": (1, ("two", 3.0), frozenset({4, 5})),
            "set": {"alpha", "beta", "gamma"},
            "matrix": [[row * col for col in range(4)] for row in range(4)],
        },
        "shared_a": shared,
        "shared_b": shared,
    }


def make_scaler(factor: int):
    """A closure, to show functions travelling by value."""

    def scale(x: int) -> int:
        return x * factor

    return scale


def other_size(dump, obj) -> str:
    try:
        return str(len(dump(obj)))
    except (TypeError, ValueError, AttributeError, pickle.PicklingError):
        return "n/a"


def print_sizes(name: str, obj) -> None:
    print(f"  {name:<22} vellum {len(vellum.dumps(obj)):>6}   "
          f"pickle(5) {other_size(lambda o: pickle.dumps(o, protocol=5), obj):>6}   "
          f"marshal {other_size(marshal.dumps, obj):>6}")


def check(failures: list[str], ok: bool, what: str) -> None:
    print(f"  {'ok  ' if ok else 'FAIL'} {what}")
    if not ok:
        failures.append(what)


def show_verification(stream: bytes) -> None:
    from vellum import _vellum

    try:
        try:
            report = _vellum.verify_stream_fast(stream, True)
        except AttributeError:
            # No source renderer in the package yet: report without captured source.
            report = _vellum.verify_stream_fast(stream)
    except NotImplementedError:
        print("verification is not available in this build")
        return
    if not report.ok:
        print(f"verification: not ok: {report.error}")
        return
    blocks = report.unexecuted_blocks
    print(f"verification: ok, {report.bytes_consumed} of {report.bytes_total} bytes, "
          f"{len(report.tag_counts)} distinct tags, "
          f"{len(blocks)} value(s) whose loading would run code")
    for pos, tag, reason, code in blocks:
        print(f"  at byte {pos}: tag 0x{tag:02X}, {reason}")
        if code:
            for line in str(code).splitlines():
                print(f"      {line}")


def main() -> int:
    failures: list[str] = []
    data = sample_graph()

    print("sizes in bytes:")
    print_sizes("sample graph", data)
    print_sizes("repeated strings", data["users"])
    print_sizes("ints", data["ints"])

    print("round trips:")
    stream = vellum.dumps(data)
    copy = vellum.loads(stream)
    check(failures, copy == data, "sample graph loads back equal")
    check(failures, copy["shared_a"] is copy["shared_b"], "shared list stays one object")

    cycle: list = [1, 2]
    cycle.append(cycle)
    cycle_copy = vellum.loads(vellum.dumps(cycle))
    check(failures, isinstance(cycle_copy, list) and len(cycle_copy) == 3
          and cycle_copy[:2] == [1, 2] and cycle_copy[2] is cycle_copy,
          "self-referencing list keeps its cycle")

    scaler = make_scaler(3)
    try:
        fn_stream = vellum.dumps(scaler)
    except TypeError as exc:
        print(f"  --   functions are not supported by this build ({exc})")
    else:
        fn_copy = vellum.loads(fn_stream)
        check(failures, callable(fn_copy) and fn_copy(14) == 42,
              f"closure travels by value ({len(fn_stream)} bytes; pickle cannot do this)")
        stream = vellum.dumps([data, scaler])

    show_verification(stream)

    if failures:
        print(f"demo FAILED: {len(failures)} check(s) failed")
        return 1
    print("demo passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
