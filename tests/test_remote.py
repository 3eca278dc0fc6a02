"""vellum.remote and vellum.pickler in one process: what a remote function
carries, the checks at its first call, each refusing before anything of the
stream loads, and which functions the pickler sends by value."""

import functools
import importlib
import os.path
import pickle

import pytest

import vellum
import vellum.pickler

remote_module = importlib.import_module("vellum.remote")
RemoteLoadError = remote_module.RemoteLoadError


def scaler(factor):
    def scale(x):
        """Multiplies by the factor."""
        return x * factor
    return scale


def revived(fn):
    """What the receiving process holds: the unpickled wrapper."""
    return pickle.loads(pickle.dumps(vellum.remote(fn)))


@pytest.fixture(autouse=True)
def receiver(monkeypatch):
    monkeypatch.delenv("VELLUM_KEY", raising=False)
    monkeypatch.delenv("VELLUM_ALLOW", raising=False)
    remote_module._clear_loaded()


def code_events(ran):
    """The bytecode and source that ran, imports aside."""
    return [e for e in ran if e != "import"]


def test_remote_function_keeps_its_names_and_loads_once_per_stream(watch):
    fn = scaler(3)
    wrapper = vellum.remote(fn)
    assert wrapper(2) == 6  # here it calls fn itself
    first, second = revived(fn), revived(fn)
    for attr in ("__name__", "__qualname__", "__module__", "__doc__"):
        assert getattr(first, attr) == getattr(fn, attr)
    result, ran = watch.run(first, 14, frames=False)
    assert result == 42 and code_events(ran) == ["marshal.loads"]
    result, ran = watch.run(second, 1, frames=False)
    assert result == 3 and code_events(ran) == []  # same digest: cached
    assert vellum.remote(fn).payload() is wrapper.payload()  # made once per function


OTHER_VERSION = b"\0\0\r\n\x03\x63"  # magic 00000d0a, Python 3.99


def flip(data, at):
    return data[:at] + bytes([data[at] ^ 0x40]) + data[at + 1:]


def restream(edit):
    """An edit of the payload that rebuilds its body around an edited stream."""
    def apply(version, doc, body, mac):
        qualname, module, name, stream = remote_module._unpack_body(body)
        body = remote_module._pack_body(qualname, module, name, edit(bytes(stream)))
        return version, doc, body, mac
    return apply


def rename(version, doc, body, mac):
    _, module, name, stream = remote_module._unpack_body(body)
    return version, doc, remote_module._pack_body("other.name", module, name, bytes(stream)), mac


# (sender's key, receiver's key, edit of (version, doc, body, mac) after signing, message)
REFUSALS = [
    pytest.param("k", "k", lambda v, d, b, m: (v, d, flip(b, len(b) // 2), m),
                 "its signature does not match", id="tampered-body"),
    pytest.param("k", "k", rename, "its signature does not match", id="tampered-name"),
    pytest.param("k", "k", lambda v, d, b, m: (v, "other doc", b, m),
                 "its signature does not match", id="tampered-doc"),
    pytest.param("k", "k", lambda v, d, b, m: (OTHER_VERSION, d, b, m),
                 "its signature does not match", id="tampered-version"),
    pytest.param("k", "other", None, "its signature does not match", id="wrong-key"),
    pytest.param(None, "k", None, "it is not signed", id="unsigned"),
    pytest.param("k", None, None, "it is signed, and this process has no key", id="no-key-here"),
    pytest.param(None, None, lambda v, d, b, m: (OTHER_VERSION, d, b, m),
                 "written by Python 3.99 (bytecode magic 00000d0a) and this is Python",
                 id="other-version"),
    pytest.param(None, None, lambda v, d, b, m: (v, d, b"\x01" + b[1:-2], m),
                 "its body does not inflate", id="truncated-body"),
    pytest.param(None, None, restream(lambda s: s[:1]), "its stream is malformed: EOF",
                 id="truncated-stream"),
    pytest.param(None, None, restream(lambda s: s + b"\x00"),
                 "its stream is malformed: 1 bytes sobrantes", id="trailing-bytes"),
    pytest.param(None, None, restream(lambda s: vellum.dumps([1, 2])),
                 "its stream holds a list, not a callable", id="not-callable"),
    pytest.param(None, None, restream(lambda s: vellum.dumps(range(3))),
                 "TAG_REDUCE (0x27): callable 'range' from module 'builtins'", id="unapproved"),
]


@pytest.mark.parametrize("sender, receiver_key, edit, message", REFUSALS)
def test_refused_remote_function_loads_nothing(monkeypatch, watch, sender, receiver_key, edit,
                                               message):
    fn = scaler(2)
    payload = remote_module._make_payload(fn, sender and sender.encode())
    if edit:
        payload = edit(*payload)
    if receiver_key:
        monkeypatch.setenv("VELLUM_KEY", receiver_key)
    wrapper = pickle.loads(pickle.dumps(remote_module._revive(*payload)))
    refused, ran = watch.run(wrapper, 1, frames=False)
    assert isinstance(refused, RemoteLoadError), refused
    assert code_events(ran) == []
    assert str(refused).startswith(
        f"remote function {wrapper.__module__}.{wrapper.__qualname__} refused: ")
    assert message in str(refused)
    again = pickle.loads(pickle.dumps(refused))
    assert str(again) == str(refused) and len(again.blocks) == len(refused.blocks)


def test_receiver_allow_list_approves_classes_and_callables(monkeypatch):
    fn = functools.partial(scaler(2), 4)
    with pytest.raises(RemoteLoadError, match="functools.partial"):
        revived(fn)()
    monkeypatch.setenv("VELLUM_ALLOW", "functools.partial")
    assert revived(fn)() == 8
    monkeypatch.setenv("VELLUM_ALLOW", "functools.no_such_name")
    with pytest.raises(ValueError, match="does not resolve"):
        revived(scaler(5))(1)


def module_level(x):
    return x + 1


# (object, whether the pickler writes it as a remote function)
PICKLED = [
    pytest.param(len, False, id="builtin"),
    pytest.param(os.path.join, False, id="importable-function"),
    pytest.param(module_level, False, id="test-module-function"),
    pytest.param(lambda x: x - 1, True, id="lambda"),
    pytest.param(scaler(3), True, id="closure"),
    pytest.param(functools.partial(lambda a, b: a * b, 5), True, id="function-in-a-partial"),
    pytest.param(vellum.remote(scaler(4)), True, id="remote"),
]


@pytest.mark.parametrize("obj, by_value", PICKLED)
def test_pickler_sends_functions_pickle_cannot_name(obj, by_value):
    data = vellum.pickler.dumps(obj)
    assert (b"vellum.remote" in data) == by_value
    copy = vellum.pickler.loads(data)
    if by_value:
        assert copy(1) == obj(1)
    else:
        assert copy is obj

