"""The properties every input must keep, checked by the fuzzer on each input
and by the test suite on every input in tests/corpus.

check(data) raises AssertionError when one breaks:
- the verifier returns a report, never an exception; its plain and capturing
  walks agree;
- a stream it reports ok with no code-carrying block loads without an audit
  event of running code and without starting a Python function;
- loading fails only with the codec's own exceptions, never SystemError or
  MemoryError; a stream it reports ok and that loads no longer loads one byte
  short;
- the memory a load or a walk holds at its peak stays within a small multiple
  of the input, plus the inflation cap when the input may carry zlib data.

Loading runs with the code-running audit events refused and with only the
package and the harmless classes of targets.py visible in sys.modules, so a
mutated stream can neither execute source nor call anything outside them.
"""

import targets  # noqa: F401 - visible to the loads
import vellum
import vellum.vellum
from streams import WATCH
from vellum import _vellum

try:
    import _fuzzmem as _meter  # the fuzzer's heap meter, counting every malloc
except ImportError:
    import tracemalloc

    class _meter:
        """tracemalloc's peak: Python's own allocations only."""

        @staticmethod
        def start():
            tracemalloc.start()
            tracemalloc.reset_peak()

        @staticmethod
        def peak():
            peak = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
            return peak


# Audit events that a load may raise while building objects; any other event
# is refused (the hook raises), "exec", "compile" and "import" among them.
ALLOWED_EVENTS = {"marshal.loads", "object.__getattr__", "object.__setattr__",
                  "object.__delattr__", "code.__new__", "function.__new__", "array.__new__"}
CODE_EVENTS = {"exec", "compile", "marshal.loads", "import"}
CODEC_ERRORS = (ValueError, IndexError, KeyError, TypeError)
# Errors that only the capturing walk reports: it inflates source and checks
# what a captured reference names.
CAPTURE_ONLY = ("0xFB: fallo zlib", "referencia a indice")

WORDS = 160        # bytes of heap per input byte: a 2-byte empty set is ~200
SLACK = 2 << 20
INFLATE = 1100     # four inflate attempts end at 64 * (4n + 256) bytes


# Only the package and the harmless targets are visible to a load.
VISIBLE = ("vellum", "targets")


def _load(data, visible):
    """(error or None, the events and functions seen) of one watched load,
    with every earlier load's objects released first."""
    vellum.loads(b"\x00")
    result, seen = WATCH.run(_vellum.deserialize_fast, data, allowed=ALLOWED_EVENTS,
                             modules=visible)
    return (result if isinstance(result, BaseException) else None), seen


# The module imports array and marshal on first use; an import while watching
# would count as running code.
vellum.loads(vellum.dumps([__import__("array").array("b"), (lambda: 0)]))


def _metered(call, *args):
    _meter.start()
    try:
        return call(*args)
    finally:
        peak = _meter.peak()
        _metered.peak = max(_metered.peak, peak)


def check(data, visible=VISIBLE):
    """Raises AssertionError when data breaks a property; visible names the
    top-level packages that a load may find classes and callables in."""
    limit = WORDS * len(data) + SLACK
    if b"\x78" in data:  # any zlib stream starts with 0x78
        limit += INFLATE * len(data)
    _metered.peak = 0

    report = _metered(_vellum.verify_stream_fast, data)
    captured = _metered(_vellum.verify_stream_fast, data, True)
    for r in (report, captured):
        assert r.ok in (True, False) and r.bytes_total == len(data), data.hex()
        assert r.ok or isinstance(r.error, str), data.hex()
    if report.ok and captured.ok:
        assert (report.tag_counts, report.bytes_consumed) == (captured.tag_counts, captured.bytes_consumed)
        assert [b[:3] for b in report.unexecuted_blocks] == [b[:3] for b in captured.unexecuted_blocks]
    else:
        assert report.ok or not captured.ok, (data.hex(), report.error)
        assert not report.ok or captured.error.startswith(CAPTURE_ONLY), (data.hex(), captured.error)

    walk_peak, _metered.peak = _metered.peak, 0
    assert walk_peak <= limit, (data.hex(), "verifier", walk_peak, limit)
    error, seen = _metered(_load, data, visible)
    vellum.loads(b"\x00")
    # marshal.loads sizes what it builds from counts in the blob: its memory
    # is the interpreter's, not the codec's
    marshal_ran = "marshal.loads" in seen
    # and it checks a code object it builds with SystemError
    assert marshal_ran or not isinstance(error, (SystemError, MemoryError)), (data.hex(), repr(error))
    if report.ok and not report.unexecuted_blocks:
        assert seen == [], (data.hex(), seen)
        assert error is None or isinstance(error, CODEC_ERRORS), (data.hex(), repr(error))
    if not marshal_ran:
        assert _metered.peak <= limit, (data.hex(), "loader", _metered.peak, limit)
    if error is None and report.ok:
        # the reader used the whole stream too: one byte less does not load
        assert _load(data[:-1], visible)[0] is not None, data.hex()
        vellum.loads(b"\x00")
