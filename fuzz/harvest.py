"""pytest plugin that keeps, as fuzzer seeds, every stream the test suite
feeds to the loader or the verifier and every stream it serializes, plus the
dumps of targets.samples().

    VELLUM_HARVEST_DIR=DIR python3 -m pytest -q -p harvest tests   (fuzz/ on PYTHONPATH)
"""

import hashlib
import os

import vellum
from vellum import _vellum

import pytest

MAX_LEN = 4096
_seen = {}
_recording = True


def _keep(data):
    if _recording and isinstance(data, (bytes, bytearray, memoryview)):
        raw = bytes(bytearray(data))  # a copy: the suite counts references to its inputs
        if len(raw) <= MAX_LEN:
            _seen.setdefault(hashlib.sha1(raw).hexdigest(), raw)


def _recording_input(fn):
    def wrapper(data, *args):
        _keep(data)
        return fn(data, *args)
    return wrapper


def _recording_output(fn):
    def wrapper(*args):
        out = fn(*args)
        _keep(out)
        return out
    return wrapper


def pytest_configure(config):
    wrapped = {name: _recording_input(getattr(_vellum, name))
               for name in ("deserialize_fast", "verify_stream_fast")}
    wrapped["serialize_fast"] = _recording_output(_vellum.serialize_fast)
    for mod in (_vellum, vellum):
        for name, fn in wrapped.items():
            if hasattr(mod, name):
                setattr(mod, name, fn)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_call(item):
    """Streams made up by hypothesis are left out: the fuzzer makes its own."""
    global _recording
    _recording = not getattr(getattr(item, "obj", None), "is_hypothesis_test", False)
    yield
    _recording = True


def pytest_unconfigure(config):
    global _recording
    import targets

    _recording = True
    for value in targets.samples():
        _keep(vellum.dumps(value))
    out = os.environ["VELLUM_HARVEST_DIR"]
    os.makedirs(out, exist_ok=True)
    # Proper prefixes (the suite truncates every golden stream) are left to
    # the fuzzer: in sorted order a prefix sits right before a stream it begins.
    streams = sorted(_seen.values())
    kept = [s for s, after in zip(streams, streams[1:] + [None])
            if after is None or not after.startswith(s)]
    for raw in kept:
        with open(os.path.join(out, hashlib.sha1(raw).hexdigest()), "wb") as f:
            f.write(raw)
    print(f"harvest: {len(kept)} streams in {out}")
