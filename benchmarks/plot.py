"""Plot a run of bench.py: speed and size of every codec against each workload's
baseline.

    python3 benchmarks/bench.py --quick > bench.txt
    python3 benchmarks/plot.py bench.txt -o docs/bench.png

Reads the tables that bench.py prints (from a file, or standard input for -)
and draws three panels, dumps speed, loads speed and size, each as the ratio to
the workload's baseline (pickle for data, cloudpickle for functions), one bar
per codec.  Needs matplotlib (the bench extra).
"""

from __future__ import annotations

import argparse
import re
import sys

SECTION = re.compile(r"^== (?P<name>.+?) \((?P<items>[\d,]+) items\), x columns vs (?P<base>\w+)")
ROW = re.compile(r"^  (?P<codec>\w+)\s+(?P<dumps>[\d.]+)\s+(?P<loads>[\d.]+)\s+(?P<size>[\d,]+)"
                 r"\s+(?P<dx>[\d.]+)x\s+(?P<lx>[\d.]+)x\s+(?P<sx>[\d.]+)x")
HEADER = re.compile(r"^(?P<python>Python \S+ \(\w+\)), (?P<corpus>[^,]+),")
TICKS = [0.05, 0.1, 0.25, 0.5, 1, 2, 4, 8]
CODECS = ["vellum", "pickle", "marshal", "msgpack", "cloudpickle", "dill"]
COLOURS = {"vellum": "#c0392b", "pickle": "#2c3e50", "marshal": "#7f8c8d",
           "msgpack": "#2980b9", "cloudpickle": "#27ae60", "dill": "#8e44ad"}


def parse(text: str) -> tuple[str, list[dict]]:
    """(title, workloads); each workload holds its name, baseline and, per
    codec that could take it, its three ratios."""
    title, workloads = "", []
    for line in text.splitlines():
        if m := HEADER.match(line):
            title = f"{m['python']}, {m['corpus']}"
        elif m := SECTION.match(line):
            workloads.append({"name": m["name"], "base": m["base"], "codecs": {}})
        elif workloads and (m := ROW.match(line)):
            workloads[-1]["codecs"][m["codec"]] = (float(m["dx"]), float(m["lx"]),
                                                   float(m["sx"]))
    return title, [w for w in workloads if w["codecs"]]


def plot(title: str, workloads: list[dict], out: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullLocator

    codecs = [c for c in CODECS if any(c in w["codecs"] for w in workloads)]
    labels = [f"{w['name']}\n(vs {w['base']})" for w in workloads]
    panels = [("dumps speed (x baseline, higher is faster)", 0),
              ("loads speed (x baseline, higher is faster)", 1),
              ("size (x baseline, lower is smaller)", 2)]
    fig, axes = plt.subplots(1, 3, figsize=(15, 0.55 * len(workloads) + 2.2), sharey=True)
    height = 0.8 / len(codecs)
    for ax, (what, k) in zip(axes, panels):
        for j, codec in enumerate(codecs):
            ys, xs = [], []
            for i, w in enumerate(workloads):
                if codec in w["codecs"]:
                    ys.append(i + (j - (len(codecs) - 1) / 2) * height)
                    xs.append(w["codecs"][codec][k])
            # bars grow from the baseline's 1.0 either way
            ax.barh(ys, [x - 1 for x in xs], left=1, height=height, color=COLOURS[codec],
                    label=codec)
        ax.axvline(1.0, color="black", linewidth=0.8)
        ax.set_xscale("log")
        ax.xaxis.set_major_locator(FixedLocator(TICKS))
        ax.xaxis.set_major_formatter(FuncFormatter(lambda x, _: f"{x:g}x"))
        ax.xaxis.set_minor_locator(NullLocator())
        ax.set_title(what, fontsize=10)
        ax.grid(axis="x", which="both", alpha=0.3)
    axes[0].set_yticks(range(len(workloads)))
    axes[0].set_yticklabels(labels, fontsize=8)
    axes[0].invert_yaxis()
    handles, names = axes[0].get_legend_handles_labels()
    fig.legend(handles, names, loc="lower center", ncol=len(codecs), fontsize=9,
               title="the black line is the baseline")
    fig.suptitle(f"vellum and its peers, {title}" if title else "vellum and its peers")
    fig.tight_layout(rect=(0, 0.08, 1, 1))
    fig.savefig(out, dpi=110)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("results", help="output of bench.py; - reads standard input")
    parser.add_argument("-o", "--output", default="bench.png", help="PNG to write")
    args = parser.parse_args(argv)
    text = sys.stdin.read() if args.results == "-" else open(args.results).read()
    title, workloads = parse(text)
    if not workloads:
        print("plot: no bench.py tables found in the input", file=sys.stderr)
        return 1
    plot(title, workloads, args.output)
    print(f"plot: wrote {args.output} ({len(workloads)} workloads)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
