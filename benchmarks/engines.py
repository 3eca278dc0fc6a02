"""vellum in the engines against their default, cloudpickle.

    python3 benchmarks/engines.py [--quick] [--rounds N] [--sizes 500,2000,5000]

The same Dask graph of small tasks runs through vellum (``vellum.dask.client``:
functions as signed ``vellum.remote`` streams) and through the plain Client
(functions by cloudpickle), on one local cluster of two single-threaded
worker processes whose scheduler runs in a process of its own, so that this
process is the client only.  The task shapes:

- closures: one closure per task, made by one factory;
- lambdas: one distinct lambda per task, each compiled from its own text;
- globals: one function per task that reads module globals;
- 1 MB: one closure per task capturing 1 MB of bytes (a fiftieth of the tasks).

Measured per task: the bytes of the function payload (``pickle.dumps`` of
the remote wrapper, ``cloudpickle.dumps`` of the function), the bytes of the
whole task as the Client pickles it, the client's CPU per submit (this
process's CPU from the first submit to the last result, over the tasks),
the CPU to unpickle, check and load the function as a worker does (measured
here on the same payloads: unpickling plus the first call), and tasks per
second end to end, from the first submit to the last result.  The same runs
for a loky map (``set_loky_pickler("vellum.pickler")`` against loky's
default).  Rounds interleave vellum and cloudpickle and every round makes new
functions, so no cache outlives its round; each figure is the median of the
rounds.
"""

import argparse
import multiprocessing
import os
import pickle
import statistics
import sys
import time

import importlib

import cloudpickle

os.environ.setdefault("VELLUM_KEY", "benchmark-key")

import vellum  # noqa: E402
import vellum.pickler  # noqa: E402

REMOTE = importlib.import_module("vellum.remote")

SCALE = 3
OFFSET = 7
MB = bytes(range(256)) * 4096
FAMILIES = ["dask", "vellum", "pickle"]
GOAL_BYTES = 0.5
GOAL_RATE = 0.9


def closures(n, base):
    def make(k):
        def task(x):
            return x * 2 + k
        return task
    return [make(base + i) for i in range(n)]


def lambdas(n, base):
    return [eval(f"lambda x: x * {base + i} + 1") for i in range(n)]


def using_globals(n, base):
    def make(k):
        def task(x):
            return SCALE * x + OFFSET + k
        return task
    return [make(base + i) for i in range(n)]


def megabyte(n, base):
    def make(k, data):
        def task(x):
            return len(data) + x + k
        return task
    return [make(base + i, MB) for i in range(max(1, n // 50))]


SHAPES = {"closures": closures, "lambdas": lambdas, "globals": using_globals, "1 MB": megabyte}
BY_VALUE = {"vellum": lambda fn: pickle.dumps(vellum.remote(fn)), "cloudpickle": cloudpickle.dumps}


def serve_cluster(conn):
    """The cluster's process: scheduler here, two worker processes below it."""
    import dask.config
    from distributed import LocalCluster

    with dask.config.set({"distributed.worker.preload": ["vellum.dask"]}), \
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                         dashboard_address=None, host="127.0.0.1",
                         serializers=FAMILIES, deserializers=FAMILIES) as cluster:
        conn.send(cluster.scheduler_address)
        conn.recv()


def task_bytes(fn, arg):
    """The bytes of one task as the Client pickles it for the scheduler."""
    from distributed.protocol.pickle import dumps

    try:
        from dask._task_spec import Task
        return len(dumps(Task("task-key", fn, arg)))
    except ImportError:
        return len(dumps(("task-key", fn, (arg,))))


def check_and_load_cpu(payloads, arg):
    """CPU seconds per payload to unpickle it and call it once, as a worker does."""
    start = time.process_time()
    for payload in payloads:
        pickle.loads(payload)(arg)
    return (time.process_time() - start) / len(payloads)


class Result:
    def __init__(self):
        self.values = {}

    def add(self, key, value):
        self.values.setdefault(key, []).append(value)

    def median(self, key):
        values = self.values.get(key)
        return statistics.median(values) if values else None


def run_dask(client, fns, arg):
    start_cpu, start = time.process_time(), time.perf_counter()
    futures = [client.submit(fn, arg) for fn in fns]
    results = client.gather(futures, errors="skip")
    wall, cpu = time.perf_counter() - start, time.process_time() - start_cpu
    failed = sum(f.status != "finished" for f in futures)
    del futures
    return len(fns) / wall, cpu / len(fns), failed, results


def run_loky(executor, fns, arg):
    start_cpu, start = time.process_time(), time.perf_counter()
    results = []
    failed = 0
    for future in [executor.submit(fn, arg) for fn in fns]:
        try:
            results.append(future.result())
        except Exception:
            failed += 1
    wall, cpu = time.perf_counter() - start, time.process_time() - start_cpu
    return len(fns) / wall, cpu / len(fns), failed, results


def measure(result, engine, shape, size, codec, fns, run):
    rate, cpu, failed, _ = run(fns)
    key = (engine, shape, size, codec)
    if failed:
        result.add(key + ("failed",), failed)
        return
    result.add(key + ("rate",), rate)
    result.add(key + ("cpu",), cpu)


def sizes_of(result, shape, size, codec, fns):
    sample = fns[:200]
    payloads = [BY_VALUE[codec](fn) for fn in sample]
    key = ("payload", shape, size, codec)
    result.add(key + ("bytes",), statistics.mean(map(len, payloads)))
    wrap = vellum.remote if codec == "vellum" else (lambda fn: fn)
    result.add(key + ("task",), statistics.mean(task_bytes(wrap(fn), 1) for fn in sample))
    REMOTE._clear_loaded()
    result.add(key + ("load",), check_and_load_cpu(payloads, 1))


def fmt(value, style):
    return "n/a" if value is None else format(value, style)


def ratio(a, b):
    return None if a is None or b is None or not b else a / b


def report(result, sizes, loky_sizes):
    print("\nfunction payload and task bytes, CPU to unpickle, check and load (per task)")
    print(f"{'shape':<9} {'tasks':>5} | {'payload v':>9} {'cp':>7} {'x':>5} | "
          f"{'task v':>8} {'cp':>8} {'x':>5} | {'load v us':>9} {'cp us':>7} {'x':>5}")
    goals = []
    for shape in SHAPES:
        for size in sizes:
            k = ("payload", shape, size)
            v, c = (result.median(k + ("vellum", "bytes")),
                    result.median(k + ("cloudpickle", "bytes")))
            tv, tc = result.median(k + ("vellum", "task")), result.median(k + ("cloudpickle", "task"))
            lv, lc = result.median(k + ("vellum", "load")), result.median(k + ("cloudpickle", "load"))
            tasks = max(1, size // 50) if shape == "1 MB" else size
            print(f"{shape:<9} {tasks:>5} | {fmt(v, '9.0f')} {fmt(c, '7.0f')} "
                  f"{fmt(ratio(v, c), '5.2f')} | {fmt(tv, '8.0f')} {fmt(tc, '8.0f')} "
                  f"{fmt(ratio(tv, tc), '5.2f')} | {fmt(lv and lv * 1e6, '9.1f')} "
                  f"{fmt(lc and lc * 1e6, '7.1f')} {fmt(ratio(lc, lv), '5.2f')}")
            if shape in ("closures", "globals"):
                goals.append((f"payload bytes, {shape}, {size} tasks: <= {GOAL_BYTES}x",
                              ratio(v, c), lambda r: r <= GOAL_BYTES))
    for engine, engine_sizes in (("dask", sizes), ("loky", loky_sizes)):
        print(f"\n{engine}: tasks per second end to end, client CPU per task "
              "(median of rounds; x = vellum over cloudpickle for the rate, "
              "cloudpickle over vellum for CPU)")
        print(f"{'shape':<9} {'tasks':>5} | {'rate v':>8} {'cp':>8} {'x':>5} | "
              f"{'cpu v us':>8} {'cp us':>8} {'x':>5}")
        for shape in SHAPES:
            for size in engine_sizes:
                k = (engine, shape, size)
                rv, rc = result.median(k + ("vellum", "rate")), result.median(k + ("cloudpickle", "rate"))
                cv, cc = result.median(k + ("vellum", "cpu")), result.median(k + ("cloudpickle", "cpu"))
                note = ""
                if result.median(k + ("vellum", "failed")):
                    note = "  vellum: tasks failed"
                tasks = max(1, size // 50) if shape == "1 MB" else size
                print(f"{shape:<9} {tasks:>5} | {fmt(rv, '8.0f')} {fmt(rc, '8.0f')} "
                      f"{fmt(ratio(rv, rc), '5.2f')} | {fmt(cv and cv * 1e6, '8.0f')} "
                      f"{fmt(cc and cc * 1e6, '8.0f')} {fmt(ratio(cc, cv), '5.2f')}{note}")
                if engine == "dask":
                    goals.append((f"dask tasks/s, {shape}, {size} tasks: >= {GOAL_RATE}x",
                                  ratio(rv, rc), lambda r: r >= GOAL_RATE))
    print("\ngoals")
    for what, value, ok in goals:
        verdict = "NOT MET (no result)" if value is None else ("met" if ok(value) else "NOT MET")
        print(f"  {what}: {fmt(value, '.2f')} {verdict}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="100 and 400 tasks, 2 rounds")
    parser.add_argument("--rounds", type=int, default=None)
    parser.add_argument("--sizes", default="500,2000,5000")
    args = parser.parse_args()
    sizes = [100, 400] if args.quick else [int(s) for s in args.sizes.split(",")]
    rounds = args.rounds or (2 if args.quick else 3)
    loky_sizes = sizes[:2]

    import dask
    import distributed
    import loky
    from distributed import Client

    import vellum.dask

    print(f"Python {sys.version.split()[0]}, vellum {vellum.__version__}, distributed "
          f"{distributed.__version__}, dask {dask.__version__}, loky {loky.__version__}, "
          f"cloudpickle {cloudpickle.__version__}; {rounds} rounds, tasks {sizes} "
          f"(loky {loky_sizes}); signed with VELLUM_KEY")
    parent, child = multiprocessing.get_context("spawn").Pipe()
    server = multiprocessing.get_context("spawn").Process(target=serve_cluster, args=(child,))
    server.start()
    address = parent.recv()
    result = Result()
    clients = {"vellum": vellum.dask.client(address, serializers=FAMILIES,
                                            deserializers=FAMILIES),
               "cloudpickle": Client(address, serializers=FAMILIES, deserializers=FAMILIES)}
    executor = loky.get_reusable_executor(max_workers=2)
    picklers = {"vellum": "vellum.pickler", "cloudpickle": "cloudpickle"}
    try:
        # warm the workers and the imports on both sides
        for codec, client in clients.items():
            client.gather([client.submit(f, 1) for f in closures(20, -1)])
        executor.submit(max, 1, 2).result()
        for rnd in range(rounds):
            for shape, make in SHAPES.items():
                for size in sizes:
                    for codec in (("vellum", "cloudpickle") if rnd % 2 == 0 else
                                  ("cloudpickle", "vellum")):
                        base = (rnd * 2 + (codec == "vellum")) * 1_000_000 + size * 10
                        fns = make(size, base)
                        if rnd == 0:
                            sizes_of(result, shape, size, codec, make(size, base + 500_000))
                        client = clients[codec]
                        measure(result, "dask", shape, size, codec, fns,
                                lambda fns: run_dask(client, fns, 1))
                        if size in loky_sizes:
                            loky.set_loky_pickler(picklers[codec])
                            fns = make(size, base + 700_000)
                            measure(result, "loky", shape, size, codec, fns,
                                    lambda fns: run_loky(executor, fns, 1))
            print(f"round {rnd + 1} of {rounds} done", file=sys.stderr, flush=True)
    finally:
        loky.set_loky_pickler("cloudpickle")
        executor.shutdown(wait=True)
        for client in clients.values():
            client.close()
        parent.send("stop")
        server.join(60)
    report(result, sizes, loky_sizes)


if __name__ == "__main__":
    main()
