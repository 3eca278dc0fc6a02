"""vellum in real engines: the standard process pool, loky, joblib and a Dask
cluster run functions sent as vellum streams, load their bytecode in the
workers only, and refuse tampered, unsigned, other-version and unapproved
streams there before anything of them runs."""

import importlib
import multiprocessing
import os
import pathlib
import re
import subprocess
import sys

import pytest

import engine_probe
import vellum
from engine_probe import Point, Secret

remote_module = importlib.import_module("vellum.remote")
RemoteLoadError = remote_module.RemoteLoadError

KEY = "engines-test-key"
TIMEOUT = 60


def probe_lambda():
    return lambda x: x * 2


def probe_closure():
    base = 40

    def add(x):
        return base + x
    return add


def probe_builtins():
    def total(xs):
        return sum(sorted(xs)) + len(xs)
    return total


def probe_defaults():
    return lambda x, y=7: divmod(x, y)


def probe_approved():
    origin = Point(1, 2)
    return lambda x: origin.x + origin.y + x


OFFSET = 12


def _halve(x):
    return x // 2


def probe_globals():
    return lambda x: _halve(x) + OFFSET


# (factory, argument, result)
FUNCTIONS = [
    pytest.param(probe_lambda, 21, 42, id="lambda"),
    pytest.param(probe_closure, 2, 42, id="closure"),
    pytest.param(probe_builtins, [3, 1, 2], 9, id="builtins-only"),
    pytest.param(probe_defaults, 45, (6, 3), id="defaults"),
    pytest.param(probe_approved, 39, 42, id="closure-over-approved-instance"),
    pytest.param(probe_globals, 60, 42, id="module-globals"),
]


def probe_refused():
    return lambda path: open(path, "w").close()


def probe_unapproved():
    secret = Secret()
    return lambda path: (secret, open(path, "w").close())


def refused_remote(kind):
    """A remote function of kind KIND that the receivers of this module refuse."""
    fn = probe_unapproved() if kind == "unapproved-class" else probe_refused()
    version, doc, body, mac = vellum.remote(fn).payload()
    if kind == "tampered":
        body = body[:20] + bytes([body[20] ^ 1]) + body[21:]
    elif kind == "unsigned":
        mac = None
    elif kind == "other-version":
        version = b"\0\0\r\n\x03\x63"  # magic 00000d0a, Python 3.99
        mac = remote_module._signature(KEY.encode(), version, doc, body)
    return remote_module._revive(version, doc, body, mac)


REFUSALS = [
    pytest.param("tampered", "its signature does not match", id="tampered"),
    pytest.param("unsigned", "it is not signed", id="unsigned"),
    pytest.param("other-version", "written by Python 3.99 (bytecode magic 00000d0a)",
                 id="other-version"),
    pytest.param("unapproved-class", "engine_probe.Secret is not in allow",
                 id="unapproved-class"),
]


# ---------------------------------------------------------------------------
# Engines, one of each for the module, in worker processes of their own.


@pytest.fixture(scope="module")
def probes(tmp_path_factory):
    """The directory the workers' audit hooks write to, with the hook
    installed in this process (the Dask scheduler's) first."""
    directory = str(tmp_path_factory.mktemp("probes"))
    engine_probe.install(directory, "main")
    with pytest.MonkeyPatch.context() as mp:
        # Set before any worker starts, so the workers inherit them.
        mp.setenv("VELLUM_KEY", KEY)
        mp.setenv("VELLUM_ALLOW", "engine_probe.Point")
        yield directory


class Pool:
    def __init__(self, probes):
        from vellum.futures import ProcessPoolExecutor

        # The initializer travels by value as well.
        self.executor = ProcessPoolExecutor(
            2, mp_context=multiprocessing.get_context("spawn"),
            initializer=lambda d: __import__("engine_probe").install(d, "pool"),
            initargs=(probes,))

    def run(self, fn, arg):
        return self.executor.submit(fn, arg).result(TIMEOUT)

    def close(self):
        self.executor.shutdown(wait=True)


class Loky:
    def __init__(self, probes):
        loky = pytest.importorskip("loky", reason="loky is not installed for this interpreter")
        loky.set_loky_pickler("vellum.pickler")
        self.loky = loky
        self.executor = loky.get_reusable_executor(
            max_workers=2, initializer=engine_probe.install, initargs=(probes, "loky"))

    def run(self, fn, arg):
        return self.executor.submit(fn, arg).result(TIMEOUT)

    def close(self):
        self.executor.shutdown(wait=True)
        self.loky.set_loky_pickler("cloudpickle")


class Joblib:
    def __init__(self, probes):
        joblib = pytest.importorskip("joblib", reason="joblib is not installed for this "
                                     "interpreter")
        from joblib.externals import loky

        loky.set_loky_pickler("vellum.pickler")
        self.joblib, self.loky, self.probes = joblib, loky, probes

    def run(self, fn, arg):
        # The argument installs the hook where the batch is unpickled, before
        # the function loads at its first call.
        arg = engine_probe.Hooking(self.probes, "joblib", arg)
        parallel = self.joblib.Parallel(n_jobs=2, backend="loky", timeout=TIMEOUT)
        result, = parallel(self.joblib.delayed(fn)(arg) for _ in range(1))
        return result

    def close(self):
        self.loky.set_loky_pickler("cloudpickle")


class Dask:
    def __init__(self, probes):
        pytest.importorskip("distributed", reason="Dask distributed is not installed for this "
                            "interpreter")
        import dask.config
        from distributed import LocalCluster

        import vellum.dask

        families = list(vellum.dask.SERIALIZERS)
        self.config = dask.config.set({"distributed.worker.preload": ["vellum.dask"],
                                       "vellum.allow": ["engine_probe.Point"]})
        self.config.__enter__()
        self.cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                    dashboard_address=None, host="127.0.0.1",
                                    serializers=families, deserializers=families)
        self.client = vellum.dask.client(self.cluster, serializers=families,
                                         deserializers=families)
        self.client.run(engine_probe.install, probes, "dask")

    def run(self, fn, arg):
        return self.client.submit(fn, arg).result(TIMEOUT)

    def close(self):
        self.client.close()
        self.cluster.close()
        self.config.__exit__(None, None, None)


@pytest.fixture(scope="module")
def dask_engine(probes):
    made = Dask(probes)
    made.tag = "dask"
    yield made
    made.close()


ENGINES = {"pool": Pool, "loky": Loky, "joblib": Joblib}


@pytest.fixture(scope="module", params=[*ENGINES, "dask"])
def engine(request, probes):
    if request.param == "dask":  # one cluster for the whole module
        yield request.getfixturevalue("dask_engine")
        return
    made = ENGINES[request.param](probes)
    made.tag = request.param
    yield made
    made.close()


@pytest.mark.parametrize("factory, arg, expected", FUNCTIONS)
def test_functions_run_in_the_workers_and_load_nowhere_else(engine, probes, factory, arg,
                                                             expected):
    assert engine.run(factory(), arg) == expected
    assert factory.__name__ in engine_probe.loaded(probes, engine.tag)
    assert factory.__name__ not in engine_probe.loaded(probes, "main")


@pytest.mark.parametrize("kind, message", REFUSALS)
def test_refused_streams_fail_the_task_and_run_nothing(engine, probes, tmp_path, kind, message):
    ran = tmp_path / "ran"
    fn = refused_remote(kind)
    with pytest.raises(RemoteLoadError) as info:
        engine.run(fn, str(ran))
    assert f"remote function test_engines.{fn.__qualname__} refused: " in str(info.value)
    assert message in str(info.value)
    assert not ran.exists()
    for tag in (engine.tag, "main"):
        assert not {"probe_refused", "probe_unapproved"} & engine_probe.loaded(probes, tag)


# ---------------------------------------------------------------------------
# Dask: task names and the data family


def test_dask_tasks_keep_the_function_names(dask_engine):
    futures = dask_engine.client.map(probe_closure(), range(3))
    assert dask_engine.client.gather(futures, errors="raise") == [40, 41, 42]
    assert all(f.key.startswith("add-") for f in futures)


def test_dask_workers_send_results_through_the_preloaded_family(dask_engine):
    future = dask_engine.client.submit(lambda p: p, Point(7, 7))
    assert future.result(TIMEOUT) == Point(7, 7)


def _cyclic():
    point = Point(0, 0)
    point.x = point
    return point


# (value, the family that writes it)
FAMILY = [
    pytest.param({"a": [1, 2.5, "x"], "b": (None, b"\x00")}, "vellum", id="plain-data"),
    pytest.param([Point(1, 2), Point(3, 4)], "vellum", id="approved-instances"),
    pytest.param(Secret(), "pickle", id="unapproved-instance"),
    pytest.param(probe_lambda(), "pickle", id="function"),
    pytest.param(_cyclic(), "pickle", id="nesting-limit"),
]


@pytest.mark.parametrize("value, family", FAMILY)
def test_data_family_writes_what_the_receiver_loads_and_passes_on_the_rest(value, family):
    pytest.importorskip("distributed", reason="Dask distributed is not installed for this "
                        "interpreter")
    import dask.config
    from distributed.protocol import deserialize, serialize

    import vellum.dask  # noqa: F401 (registers the family)

    with dask.config.set({"vellum.allow": ["engine_probe.Point"]}):
        header, frames = serialize(value, serializers=["vellum", "pickle"], on_error="raise")
        assert header["serializer"] == family
        copy = deserialize(header, frames, deserializers=["vellum", "pickle"])
    if family == "vellum":
        assert copy == value and type(copy) is type(value)


def test_import_vellum_imports_no_engine():
    code = ("import sys, vellum, vellum.remote, vellum.pickler, vellum.futures; "
            "print(sorted({'dask', 'distributed', 'loky', 'joblib'} & set(sys.modules)))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == "[]", done.stderr


# ---------------------------------------------------------------------------
# The README's example of each engine runs and prints what its comments say.

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
EXAMPLES = re.findall(r"^```py\n(.*?)^```", README.read_text(), re.M | re.S)
NEEDS = {"loky": "loky", "joblib": "joblib", "distributed": "distributed"}


@pytest.mark.parametrize("example", EXAMPLES, ids=[
    next((m for m in NEEDS if f"import {m}" in e or f"from {m}" in e), "pool") for e in EXAMPLES])
def test_readme_engine_example_runs(example, tmp_path):
    for module in NEEDS:
        if f"import {module}" in example or f"from {module}" in example:
            pytest.importorskip(module, reason=f"{module} is not installed for this interpreter")
    script = tmp_path / "example.py"
    script.write_text(example)
    env = {k: v for k, v in os.environ.items() if not k.startswith("VELLUM_")}
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    expected = re.findall(r"print\(.*\)  # (.*)$", example, re.M)
    assert expected and done.stdout.splitlines()[-len(expected):] == expected
