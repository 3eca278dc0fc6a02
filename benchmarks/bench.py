"""Compare vellum.dumps / vellum.loads with pickle and its peers on a fixed corpus.

    python3 benchmarks/bench.py [--quick] [--only NAME[,NAME]] [--repeat N] [--warm-heap]

Besides the codecs, every workload times verify_stream_fast of vellum's
bytes, with and without captured source, against vellum's own loads, and a
last workload times many small calls (one 3-item dict per call).  The
64 KiB bytes workload runs again in a re-executed process whose allocator
keeps freed memory (--warm-heap runs everything that way).

Every workload is one object passed to dumps.  Each codec runs only where it
can; a codec that raises is shown as n/a.  Times are the best of --repeat
runs, each run a loop sized to last about TARGET seconds, with the garbage
collector off.  Results are kept alive until the clock stops, so freeing them
is never timed.  Run this file as a script: cloudpickle and dill then take the
functions below by value, as vellum does.
"""

import argparse
import datetime
import gc
import json
import marshal
import math
import os
import pickle
import random
import string
import subprocess
import sys
import tempfile
import time

from vellum import dumps as vellum_dumps, loads as public_loads
from vellum._vellum import deserialize_fast, verify_stream_fast

SEED = 20240611
TARGET = 0.05
FUNCTION_WORKLOADS = ("functions", "closures", "user functions")
OBJECT_WORKLOADS = ("instances", "slotted instances", "reduced objects", "many classes")
SMALL_MESSAGE = {"id": 12345, "name": "alice", "tags": ["a", "b"]}

# glibc settings of a long-running process that keeps what it frees: no
# trimming of the heap top, a large top pad, and big blocks from the heap.
WARM_HEAP_ENV = {
    "MALLOC_TRIM_THRESHOLD_": str(1 << 40),
    "MALLOC_TOP_PAD_": str(256 << 20),
    "MALLOC_MMAP_THRESHOLD_": str(32 << 20),
}


def _loads_releases_table():
    """Whether vellum.loads already drops the references of the read table."""
    loaded, fresh = public_loads(vellum_dumps([0])), [0]
    return sys.getrefcount(loaded) == sys.getrefcount(fresh)


if _loads_releases_table():
    vellum_loads = public_loads
    LOADS_NOTE = "vellum loads: vellum.loads (releases the read table itself)"
else:
    def vellum_loads(data):
        """What the public loads does once it releases the read table."""
        loaded = public_loads(data)
        deserialize_fast(b"\x00")
        return loaded
    LOADS_NOTE = 'vellum loads: vellum.loads + deserialize_fast(b"\\x00") to release the read table'


# Classes for the object workloads.  They live in __main__, which both the
# writer and the reader have imported, so every codec re-binds them by name.
class Row:
    def __init__(self, i, name, score, level, active, pos):
        self.id = i
        self.name = name
        self.score = score
        self.level = level
        self.active = active
        self.pos = pos


class SlotRow:
    __slots__ = ("id", "name", "score", "level", "active", "pos")

    def __init__(self, i, name, score, level, active, pos):
        self.id = i
        self.name = name
        self.score = score
        self.level = level
        self.active = active
        self.pos = pos


class Money:
    def __init__(self, cents, currency):
        self.cents = cents
        self.currency = currency

    def __reduce__(self):
        return (Money, (self.cents, self.currency))


# Factories for the function workloads.  Their bodies use builtins only, so
# the functions still work after a load that carries no globals.
def arith(k):
    def add(x): return x + k
    def mul(x): return x * k
    def poly(x): return x * x + k * x + 1
    def clamp(x): return max(0, min(k, x))
    def digits(x): return len(str(abs(x * k)))
    def parity(x): return (x + k) % 2 == 0
    return [add, mul, poly, clamp, digits, parity]


def lambdas(k, s):
    return [
        lambda x: x - k,
        lambda x: abs(x - k),
        lambda x: s * (x % 3),
        lambda x: (x, k, s),
        lambda x: [x] * (k % 4),
        lambda x: {s: x},
        lambda x: x // (k + 1),
        lambda x: str(x) + s,
    ]


def with_defaults(k, s):
    def scale(x, factor=k, offset=1.5): return x * factor + offset
    def label(x, prefix=s, sep=":"): return prefix + sep + str(x)
    def window(x, lo=-k, hi=k): return lo <= x <= hi
    def pick(x, table=(1, 2, 3, k)): return table[x % len(table)]
    def join(x, parts=(s, "a", "b")): return "-".join(parts[: x % 3 + 1])
    def total(x, extra=k): return sum(range(x % 10)) + extra
    return [scale, label, window, pick, join, total]


def nested(k, s):
    def outer(x):
        def inner(y): return y + k
        return inner(x) * 2
    def gen_sum(x): return sum(i * k for i in range(x % 7))
    def comp(x): return [i + k for i in range(x % 5)]
    def ordered(x): return sorted([x, k, -x], key=lambda v: (abs(v), v))
    def keyed(x): return {c: i for i, c in enumerate(s)}.get(str(x)[0], -1)
    def spread(x, *rest, **named): return (x, len(rest), sorted(named), k)
    return [outer, gen_sum, comp, ordered, keyed, spread]


def adder(k):
    def f(x): return x + k
    return f


# Functions as users write them, for the "user functions" workload: they read
# module globals, take keyword-only defaults, close over dicts, call
# themselves, and some are distinct module-level functions.
RATE = 0.07
UNITS = {"m": 1.0, "cm": 0.01, "mm": 0.001, "km": 1000.0}


def round2(x):
    return round(x, 2)


def area(r): return round2(math.pi * r * r)
def taxed(x): return round2(x * (1 + RATE))
def to_unit(x, unit="cm"): return x / UNITS[unit]
def describe(x): return f"{x:+d} ({'even' if x % 2 == 0 else 'odd'})"
def hyp(x): return round2(math.hypot(x, RATE * 100))
def bucket(x, *, size=5): return (x // size) * size
def signs(x): return [math.copysign(1, v) for v in (x, -x, RATE)]


DISTINCT = [area, taxed, to_unit, describe, hyp, bucket, signs]


def user_shapes(k, table):
    def priced(x): return round2(x * (1 + RATE) + k)
    def convert(x, *, unit="mm", scale=k): return x * UNITS[unit] * scale
    def lookup(x): return table.get(x % 5, -k)
    def fib(n): return n + k if n < 2 else fib(n - 1) + fib(n - 2)
    def walk(x, depth=3): return x if depth == 0 else walk(x + k, depth - 1)
    return [priced, convert, lookup, fib, walk,
            lambda x: taxed(x) + k, lambda x, *, by=k: x * by + RATE]


# Corpus.  --quick divides every count by ten.
def fresh(s):
    """A new str object equal to s (s is never a single character)."""
    return s.encode().decode()


def random_str(rng, lo, hi):
    return "".join(rng.choices(string.ascii_letters + string.digits, k=rng.randint(lo, hi)))


def make_records(rng, n):
    names = [random_str(rng, 4, 12) for _ in range(500)]
    return [
        {
            "id": i,
            "name": fresh(rng.choice(names)),
            "email": f"user{i}@example.org",
            "score": rng.random() * 100,
            "active": rng.random() < 0.5,
            "parent": None,
            "counts": [rng.randrange(1000) for _ in range(3)],
            "size": {"w": rng.randrange(2000), "h": rng.randrange(2000)},
        }
        for i in range(n)
    ]


def make_distinct(rng, n):
    seen = {}
    while len(seen) < n:
        seen[random_str(rng, 10, 40)] = None
    return list(seen)


def make_functions(rng, n):
    tails = [random_str(rng, 2, 6) for _ in range(20)]
    out = []
    while len(out) < n:
        k, s = rng.randrange(1, 1000), rng.choice(tails)
        out += arith(k) + lambdas(k, s) + with_defaults(k, s) + nested(k, s)
    return out[:n]


def make_user_functions(rng, n):
    out = list(DISTINCT)
    while len(out) < n:
        k = rng.randrange(1, 100)
        out += user_shapes(k, {i: i * k for i in range(5)})
    return out[:n]


def make_repeated(rng, n):
    pool = [random_str(rng, 3, 12) for _ in range(1000)]
    return [fresh(rng.choice(pool)) for _ in range(n)]


def make_shared(rng, n):
    inner = [[rng.randrange(100) for _ in range(10)] for _ in range(100)]
    return [[rng.choice(inner)] for _ in range(n)]


def row_args(rng, i):
    return (i, random_str(rng, 3, 8), rng.random(), rng.randrange(10), rng.random() < 0.5,
            (rng.randrange(1000), rng.randrange(1000)))


def make_reduced(rng, n):
    out = []
    for i in range(n):
        if i % 2:
            out.append(datetime.date(2000 + rng.randrange(30), 1 + rng.randrange(12), 1 + rng.randrange(28)))
        else:
            out.append(Money(rng.randrange(10**6), rng.choice(["EUR", "USD", "JPY"])))
    return out


def make_many_classes(rng, n):
    import shapes
    out = []
    for i in range(n):
        o = shapes.CLASSES[i % len(shapes.CLASSES)]()
        o.w, o.h = rng.randrange(100), rng.random()
        out.append(o)
    return out


# name -> (builder(rng, count), full-size count)
WORKLOADS = {
    "small ints": (lambda rng, n: [rng.randrange(256) for _ in range(n)], 1_000_000),
    "int64": (lambda rng, n: [rng.randrange(-2**63, 2**63) for _ in range(n)], 200_000),
    "floats": (lambda rng, n: [rng.uniform(-1e6, 1e6) for _ in range(n)], 500_000),
    "repeated strings": (make_repeated, 300_000),
    "distinct strings": (make_distinct, 100_000),
    "records": (make_records, 50_000),
    "bytes 64KiB": (lambda rng, n: [rng.randbytes(65536) for _ in range(n)], 1_000),
    "shared lists": (make_shared, 10_000),
    "functions": (make_functions, 2_000),
    "closures": (lambda rng, n: [adder(i) for i in range(n)], 10_000),
    "user functions": (make_user_functions, 2_000),
    "instances": (lambda rng, n: [Row(*row_args(rng, i)) for i in range(n)], 20_000),
    "slotted instances": (lambda rng, n: [SlotRow(*row_args(rng, i)) for i in range(n)], 20_000),
    "reduced objects": (make_reduced, 20_000),
    "many classes": (make_many_classes, 5_000),
}


def attributes(o):
    if isinstance(o, (Money, datetime.date)):
        return o if isinstance(o, datetime.date) else (o.cents, o.currency)
    if hasattr(o, "__slots__"):
        return tuple(getattr(o, n) for n in o.__slots__)
    return o.__dict__


# Correctness checks: data compares equal and shared lists stay shared;
# functions give the same results as the originals.
def check(name, original, loaded):
    if name in FUNCTION_WORKLOADS:
        calls_agree = len(loaded) == len(original) and all(
            f(x) == g(x) for f, g in zip(loaded, original) for x in (7, -3))
        return "ok" if calls_agree else "WRONG RESULTS"
    if name in OBJECT_WORKLOADS:
        same = len(loaded) == len(original) and all(
            type(a) is type(b) and attributes(a) == attributes(b) for a, b in zip(loaded, original))
        return "ok" if same else "NOT EQUAL"
    if loaded != original:
        return "NOT EQUAL"
    if name == "shared lists":
        if len({id(x[0]) for x in loaded}) != len({id(x[0]) for x in original}):
            return "equal, sharing lost"
    return "ok"


def codecs():
    """(name, dumps, loads, reset) for every codec that is installed."""
    def vellum_reset():
        vellum_loads(vellum_dumps(None))  # drop the references the last load keeps
    found = [
        ("vellum", vellum_dumps, vellum_loads, vellum_reset),
        ("pickle", lambda o: pickle.dumps(o, protocol=5), pickle.loads, None),
        ("marshal", marshal.dumps, marshal.loads, None),
    ]
    try:
        import msgpack
        found.append(("msgpack", msgpack.packb, msgpack.unpackb, None))
    except ImportError:
        pass
    try:
        import cloudpickle
        found.append(("cloudpickle", lambda o: cloudpickle.dumps(o, protocol=5), cloudpickle.loads, None))
    except ImportError:
        pass
    try:
        import dill
        found.append(("dill", dill.dumps, dill.loads, None))
    except ImportError:
        pass
    return found


def calibrate(fn, arg, reset):
    """Calls per timed run, so that a run lasts about TARGET seconds."""
    gc.collect()
    start = time.perf_counter()
    result = fn(arg)
    once = time.perf_counter() - start
    del result
    if reset:
        reset()
    return max(1, min(1000, math.ceil(TARGET / max(once, 1e-9))))


def timed_run(fn, arg, number, reset):
    """Seconds per call over one run of `number` calls."""
    results = [None] * number
    gc.collect()
    gc.disable()
    start = time.perf_counter()
    for i in range(number):
        results[i] = fn(arg)
    elapsed = time.perf_counter() - start
    gc.enable()
    del results
    if reset:
        reset()
    return elapsed / number


def measure(workload, obj, repeat):
    """codec -> [dumps s, loads s, size, check], or a short error string.

    The runs of all codecs are interleaved, so a burst of load on the
    machine slows every codec alike instead of one of them.
    """
    rows, jobs = {}, []
    for codec, dumps, loads, reset in codecs():
        if codec == "dill" and workload not in FUNCTION_WORKLOADS:
            continue
        if codec in ("marshal", "msgpack") and workload in OBJECT_WORKLOADS:
            continue
        try:
            data = dumps(obj)
            rows[codec] = [math.inf, math.inf, len(data), check(workload, obj, loads(data))]
            if reset:
                reset()
            jobs.append((codec, 0, dumps, obj, calibrate(dumps, obj, None), None))
            jobs.append((codec, 1, loads, data, calibrate(loads, data, reset), reset))
        except Exception as exc:
            rows[codec] = f"n/a ({type(exc).__name__}: {str(exc)[:50]})"
    if isinstance(rows.get("vellum"), list) and workload not in OBJECT_WORKLOADS:
        data = vellum_dumps(obj)
        for label, show in (("verify", False), ("verify+src", True)):
            rows[label] = [math.inf, None, len(data), "ok" if verify_stream_fast(data, show).ok else "NOT OK"]
            fn = (lambda d, s=show: verify_stream_fast(d, s))
            jobs.append((label, 0, fn, data, calibrate(fn, data, None), None))
    for _ in range(repeat):
        for codec, column, fn, arg, number, reset in jobs:
            rows[codec][column] = min(rows[codec][column], timed_run(fn, arg, number, reset))
    return rows


VERIFY_GOALS = (("verify", 5.0), ("verify+src", 1.0))


def verify_verdicts(rows):
    """verify against vellum's loads of the same bytes: >= 5x, and >= 1x with source."""
    vel = rows.get("vellum")
    out = []
    for label, limit in VERIFY_GOALS:
        row = rows.pop(label, None)
        if not (isinstance(vel, list) and isinstance(row, list)):
            continue
        value = vel[1] / row[0]
        out.append((label, row, value, f"{label} >= {limit:g}x loads: {value:.2f}x "
                                        f"{'met' if value >= limit else 'MISSED'}"))
    return out


def goals_for(workload):
    """(baseline, [(label, baseline, key, threshold)]); key picks a vellum ratio.

    Time ratios are baseline time / vellum time, so "within 2x of marshal's
    time" is a ratio of at least 0.5.
    """
    if workload == "user functions":
        return "cloudpickle", [("dumps >= 5x", "cloudpickle", "dumps", 5.0),
                               ("loads >= 2x", "cloudpickle", "loads", 2.0),
                               ("size <= 0.5x", "cloudpickle", "size", 0.5)]
    if workload in FUNCTION_WORKLOADS:
        return "cloudpickle", [("dumps >= 10x", "cloudpickle", "dumps", 10.0),
                               ("loads >= 3x", "cloudpickle", "loads", 3.0),
                               ("size <= 1x", "cloudpickle", "size", 1.0)]
    if workload in OBJECT_WORKLOADS:
        return "pickle", [("dumps >= 2x", "pickle", "dumps", 2.0),
                          ("loads >= 1x", "pickle", "loads", 1.0)]
    if workload == "bytes 64KiB":
        return "pickle", [("dumps >= 1x", "pickle", "dumps", 1.0),
                          ("loads >= 1x", "pickle", "loads", 1.0),
                          ("size <= 1x", "pickle", "size", 1.0)]
    size_limit = 1.1 if workload == "int64" else 1.0
    return "pickle", [("dumps >= 1.5x", "pickle", "dumps", 1.5),
                      ("loads >= 1.2x", "pickle", "loads", 1.2),
                      (f"size <= {size_limit:g}x", "pickle", "size", size_limit),
                      ("dumps within 2x marshal", "marshal", "dumps", 0.5),
                      ("loads within 1.1x marshal", "marshal", "loads", 1 / 1.1)]


def ratios(row, ref):
    return {"dumps": ref[0] / row[0], "loads": ref[1] / row[1], "size": row[2] / ref[2]}


def verdict(label, value, limit, key, extra=""):
    met = value <= limit if key == "size" else value >= limit
    return f"{label}: {value:.{3 if key == 'size' else 2}f}x{extra} {'met' if met else 'MISSED'}"


def run_workload(name, obj, repeat):
    baseline, goals = goals_for(name)
    print(f"\n== {name} ({len(obj):,} items), x columns vs {baseline}")
    print(f"  {'codec':<12}{'dumps ms':>10}{'loads ms':>10}{'size':>13}"
          f"{'dumps x':>9}{'loads x':>9}{'size x':>8}  check")
    rows = measure(name, obj, repeat)
    verified = verify_verdicts(rows)
    ref = rows.get(baseline)
    for codec, row in rows.items():
        if isinstance(row, str):
            print(f"  {codec:<12}{row}")
            continue
        line = f"  {codec:<12}{row[0] * 1e3:>10.2f}{row[1] * 1e3:>10.2f}{row[2]:>13,}"
        if isinstance(ref, list):
            r = ratios(row, ref)
            line += f"{r['dumps']:>8.2f}x{r['loads']:>8.2f}x{r['size']:>7.3f}x"
        print(line + f"  {row[3]}")

    vel = rows.get("vellum")
    verdicts = []
    for label, against, key, limit in goals:
        base = rows.get(against)
        if not (isinstance(vel, list) and isinstance(base, list)):
            verdicts.append(f"{label}: n/a")
            continue
        value = ratios(vel, base)[key]
        extra = f" ({vel[2] - base[2]:+,} B)" if key == "size" else ""
        verdicts.append(verdict(label, value, limit, key, extra))
    print("  goals: " + "; ".join(verdicts))
    for label, row, value, text in verified:
        print(f"  {label:<12}{row[0] * 1e3:>10.2f} ms, {value:.2f}x vellum loads  {row[3]}")
        verdicts.append(text)
    return verdicts


SMALL_CALLS = 2000


def small_calls_run(fn, args, number):
    """ns per call over `number` loops of SMALL_CALLS calls, results kept."""
    results = [None] * SMALL_CALLS
    gc.collect()
    gc.disable()
    best = math.inf
    for _ in range(number):
        start = time.perf_counter()
        for i in range(SMALL_CALLS):
            results[i] = fn(args[i])
        best = min(best, (time.perf_counter() - start) / SMALL_CALLS)
        results = [None] * SMALL_CALLS
    gc.enable()
    return best * 1e9


def run_small_calls(repeat):
    """dumps and loads of one small dict per call, the load of RPC and queues."""
    print(f"\n== many small calls ({SMALL_CALLS:,} calls of a 3-item dict), ns per call")
    print(f"  {'codec':<12}{'dumps ns':>10}{'loads ns':>10}{'size':>13}{'dumps x':>9}{'loads x':>9}")
    codecs_used = [c for c in codecs() if c[0] in ("vellum", "pickle", "marshal", "msgpack")]
    msgs = [dict(SMALL_MESSAGE, id=12345 + i) for i in range(SMALL_CALLS)]
    rows = {}
    for codec, dumps, loads, _ in codecs_used:
        data = [dumps(m) for m in msgs]
        if loads(data[0]) != msgs[0]:
            print(f"  {codec:<12}NOT EQUAL")
            continue
        rows[codec] = [math.inf, math.inf, len(data[0]), data, dumps, loads]
    for _ in range(repeat):
        for codec, row in rows.items():
            row[0] = min(row[0], small_calls_run(row[4], msgs, 3))
            row[1] = min(row[1], small_calls_run(row[5], row[3], 3))
    ref = rows["pickle"]
    for codec, row in rows.items():
        print(f"  {codec:<12}{row[0]:>10.0f}{row[1]:>10.0f}{row[2]:>13,}"
              f"{ref[0] / row[0]:>8.2f}x{ref[1] / row[1]:>8.2f}x")
    vel = rows["vellum"]
    verdicts = [verdict("dumps >= 1.5x", ref[0] / vel[0], 1.5, "dumps"),
                verdict("loads >= 1.5x", ref[1] / vel[1], 1.5, "loads")]
    print("  goals: " + "; ".join(verdicts))
    return verdicts


def warm_heap_child(names, args):
    """Runs names in a re-executed process with WARM_HEAP_ENV; its verdicts."""
    with tempfile.NamedTemporaryFile("r", suffix=".json") as out:
        cmd = [sys.executable, os.path.abspath(__file__), "--warm-heap", "--repeat",
               str(args.repeat), "--only", ",".join(names), "--summary-json", out.name]
        if args.quick:
            cmd.append("--quick")
        sys.stdout.flush()
        subprocess.run(cmd, check=True, env=dict(os.environ, **WARM_HEAP_ENV))
        return json.load(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a corpus one tenth the size")
    parser.add_argument("--only", help="comma-separated workload names (e.g. int64,small-ints)")
    parser.add_argument("--repeat", type=int, default=5, help="timed runs per measurement")
    parser.add_argument("--warm-heap", action="store_true",
                        help="run with an allocator that keeps freed memory (re-executes)")
    parser.add_argument("--summary-json", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    if args.warm_heap and any(os.environ.get(k) != v for k, v in WARM_HEAP_ENV.items()):
        # glibc reads these once, at start-up.
        sys.stdout.flush()
        os.execve(sys.executable, [sys.executable] + sys.argv, dict(os.environ, **WARM_HEAP_ENV))

    def key(name):
        return name.lower().replace("-", " ").replace("_", " ").strip()

    names = list(WORKLOADS) + ["many small calls"]
    if args.only:
        wanted = {key(w) for w in args.only.split(",")}
        unknown = wanted - {key(n) for n in names}
        if unknown:
            parser.error(f"unknown workload(s): {', '.join(sorted(unknown))}; "
                         f"choose from: {', '.join(names)}")
        names = [n for n in names if key(n) in wanted]

    heap = "warm heap (freed memory kept)" if args.warm_heap else "cold heap"
    print(f"Python {sys.version.split()[0]} ({sys.implementation.name}), "
          f"{'quick' if args.quick else 'full'} corpus, best of {args.repeat}, {heap}")
    print("x columns: baseline time / codec time (>1 is faster), codec size / baseline size")
    print(LOADS_NOTE)
    summary = {}
    for name in names:
        if name == "many small calls":
            summary[name] = run_small_calls(args.repeat)
            continue
        # Each workload has its own seeded generator, so --only keeps the data.
        build, count = WORKLOADS[name]
        obj = build(random.Random(f"{SEED}:{name}"), max(1, count // (10 if args.quick else 1)))
        summary[name] = run_workload(name, obj, args.repeat)
        del obj
        gc.collect()
    if args.summary_json:
        with open(args.summary_json, "w") as out:
            json.dump(summary, out)
        return
    if not args.warm_heap and "bytes 64KiB" in names:
        print("\n== bytes 64KiB again with a warm heap (re-executed)")
        warm = warm_heap_child(["bytes 64KiB"], args)
        summary["bytes 64KiB, warm heap"] = warm["bytes 64KiB"]

    print("\n== summary (vellum)")
    missed = 0
    for name, verdicts in summary.items():
        missed += sum("MISSED" in v for v in verdicts)
        print(f"  {name:<24}" + "; ".join(verdicts))
    print(f"  {missed} goal(s) missed")


if __name__ == "__main__":
    main()
