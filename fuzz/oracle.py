"""The properties every input must keep, checked by the fuzzer on each input
and by the test suite on every input in tests/corpus.

check(data) raises AssertionError when one breaks:
- the verifier returns a report, never an exception; its plain and capturing
  walks agree;
- a stream it reports ok with no code-carrying block loads without an audit
  event of running code and without starting a Python function;
- loading fails only with the codec's own exceptions, never SystemError or
  MemoryError;
- the memory a load or a walk holds at its peak stays within a small multiple
  of the input, plus the inflation cap when the input may carry zlib data.

Loading runs with the code-running audit events refused and with only the
package and the harmless classes of targets.py visible in sys.modules, so a
mutated stream can neither execute source nor call anything outside them.
"""

import gc
import sys
import threading

import targets
import vellum
import vellum.vellum
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


class _Watch:
    def __init__(self):
        self.on = False
        self.seen = []
        self.thread = threading.get_ident()
        sys.addaudithook(self._audit)

    def _audit(self, event, args):
        if self.on and threading.get_ident() == self.thread:
            if event in CODE_EVENTS or event not in ALLOWED_EVENTS:
                self.seen.append(event)
            if event not in ALLOWED_EVENTS:
                raise RuntimeError(f"refused {event}")

    def _profile(self, frame, event, arg):
        if self.on and event == "call":
            self.seen.append(frame.f_code.co_name)

    def load(self, data):
        """(error or None, events and functions seen); what sys.modules shows
        is cut down to the package and the targets while loading."""
        vellum.loads(b"\x00")
        keep = {k: v for k, v in sys.modules.items() if k.split(".")[0] in ("vellum", "targets")}
        saved = dict(sys.modules)
        gc.disable()
        self.seen = []
        sys.setprofile(self._profile)
        sys.modules.clear()
        sys.modules.update(keep)
        try:
            self.on = True
            _vellum.deserialize_fast(data)
            error = None
        except BaseException as e:  # a stream must not be able to end the process
            error = e
        finally:
            self.on = False
            sys.modules.clear()
            sys.modules.update(saved)
            sys.setprofile(None)
            gc.enable()
        return error, self.seen


WATCH = _Watch()
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


def check(data):
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
    error, seen = _metered(WATCH.load, data)
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
