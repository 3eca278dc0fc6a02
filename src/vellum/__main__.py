"""The command line: ``python3 -m vellum`` runs the demo, ``python3 -m vellum
inspect FILE`` reports on a stream without running it, ``--version`` prints the
version.

The demo round-trips a sample object graph, compares the stream's size with
pickle's and marshal's, shows that shared lists stay shared and cycles survive,
carries a closure by value, prints the verifier's report of the stream and
shows safe loading refusing it.  It exits non-zero if any check fails.

``inspect`` exits 2 when the stream is malformed or unreadable, else 1 when
loading it would run code or its text hides characters, else 0.  Every text the
stream carries is shown through ``vellum.vellum.escape_text``, and each value
whose text holds a character it escapes gets a warning line.
"""

from __future__ import annotations

import argparse
import json
import marshal
import pickle
import sys

import vellum
from vellum.vellum import escape_text


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
    report = vellum.verify(stream, show_source=True)
    if not report.ok:
        print(f"verification: not ok: {report.error}")
        return
    blocks = report.unexecuted_blocks
    print(f"verification: ok, {report.bytes_consumed} of {report.bytes_total} bytes, "
          f"{len(report.tag_counts)} distinct tags, "
          f"{len(blocks)} value(s) whose loading would run code")
    for pos, tag, reason, code in blocks:
        print(f"  at byte {pos}: {vellum.tag_name(tag)} (0x{tag:02X}), {reason}")
        if code:
            for line in str(code).splitlines()[:3]:
                print(f"      {line}")
    try:
        vellum.loads(stream, allow_code=False)
    except vellum.UnsafeStreamError as exc:
        print(f"safe loading refuses it: {len(exc.blocks)} value(s) not approved, "
              "nothing ran")


def demo() -> int:
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
    fn_stream = vellum.dumps(scaler)
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


# ---------------------------------------------------------------------------
# inspect

def read_stream(path: str) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    with open(path, "rb") as f:
        return f.read()


def tag_counts_by_name(report) -> dict[str, int]:
    counts: dict[str, int] = {}
    for tag, n in report.tag_counts.items():
        name = vellum.tag_name(tag)
        counts[name] = counts.get(name, 0) + n
    return counts


MAX_HIDDEN_LISTED = 8


def hidden_warning(hidden: tuple[str, ...]) -> str:
    listed = ", ".join(hidden[:MAX_HIDDEN_LISTED])
    unlisted = len(hidden) - MAX_HIDDEN_LISTED
    more = f" and {unlisted} more" if unlisted > 0 else ""
    return f"warning: hidden or control characters in its text: {listed}{more}"


def inspect_stream(path: str, show_source: bool, as_json: bool) -> int:
    # A file name can come from whoever sent the file, so it is escaped too.
    shown_path = escape_text(path, one_line=True)
    try:
        data = read_stream(path)
    except OSError as exc:
        if as_json:
            print(json.dumps({"file": path, "ok": False, "error": str(exc)}))
        else:
            why = escape_text(exc.strerror or str(exc), one_line=True)
            print(f"{shown_path}: cannot read: {why}", file=sys.stderr)
        return 2
    # Capture always: the hidden characters are flagged with or without --source.
    report = vellum.verify(data, show_source=True)
    blocks = report.unexecuted_blocks if report.ok else []
    hidden = [code.hidden if code is not None else () for _, _, _, code in blocks]
    status = 2 if not report.ok else 1 if blocks or any(hidden) else 0
    if as_json:
        out = {
            "file": path,
            "size": report.bytes_total,
            "ok": report.ok,
            "error": report.error,
            "runs_code": bool(blocks),
            "hides_text": any(hidden),
            "tag_counts": tag_counts_by_name(report) if report.ok else {},
            "blocks": [
                {"offset": pos, "tag": tag, "tag_name": vellum.tag_name(tag),
                 "reason": reason, "hidden_text": list(chars),
                 **({"source": str(code)} if show_source else {})}
                for (pos, tag, reason, code), chars in zip(blocks, hidden)
            ],
        }
        # ASCII escapes only: exact, and nothing in it can act on a terminal.
        print(json.dumps(out, ensure_ascii=True))
        return status
    print(f"{shown_path}: {report.bytes_total} bytes")
    if not report.ok:
        print(f"malformed: {escape_text(report.error, one_line=True)}")
        return status
    print("well-formed")
    print("tags:")
    for name, n in sorted(tag_counts_by_name(report).items(), key=lambda kv: (-kv[1], kv[0])):
        print(f"  {name:<22} {n}")
    if not blocks:
        print("loading it runs no code")
        return status
    print(f"loading it would run code in {len(blocks)} value(s):")
    for (pos, tag, reason, code), chars in zip(blocks, hidden):
        print(f"  at byte {pos}: {vellum.tag_name(tag)} (0x{tag:02X}): {reason}")
        if chars:
            print(f"    {hidden_warning(chars)}")
        if show_source and code:
            # Escaped text has no line breaks but its newlines.
            for line in str(code).split("\n"):
                print(f"      {line}")
    return status


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m vellum",
        description="Without a command, run the demo.")
    parser.add_argument("--version", action="version", version=f"vellum {vellum.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.add_parser("demo", help="run the demo (the default)")
    inspect = commands.add_parser(
        "inspect", help="report on a stream without running any of it",
        description="Report on a stream without running any of it. Text the stream "
                    "carries is shown with control, invisible and direction characters "
                    "escaped. Exit status: 2 malformed or unreadable, else 1 loading it "
                    "would run code or its text hides characters, else 0.")
    inspect.add_argument("file", metavar="FILE", help="the stream; - reads standard input")
    inspect.add_argument("--source", action="store_true",
                         help="show the source and code the stream carries")
    inspect.add_argument("--json", action="store_true", help="print one JSON object")
    args = parser.parse_args(argv)
    if args.command == "inspect":
        return inspect_stream(args.file, args.source, args.json)
    return demo()


if __name__ == "__main__":
    sys.exit(main())
