"""Draws the speed page's figures from the results of `make bench`
(bench.py --json), and copies those results beside them.

Usage: python plots.py RESULTS_DIR OUT_DIR

RESULTS_DIR holds one pythonX.Y.json per interpreter. OUT_DIR gets
speedup.png (each function's speed-up against its standard-library
counterpart, per interpreter, per file and on the whole corpus), size.png
(nanoseconds per node against module size, log-log, per file) and the
results they came from.
"""
import json
import os
import pathlib
import shutil
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

# The per-module figure shows these groups: a walk and a hash, each with its
# baseline, so that the slopes can be compared.
SIZE_SERIES = [("walk", "list(ast.walk(t))"), ("walk", "walk_dfs"), ("walk", "walk_unordered"),
               ("subtree_hash", "hash(ast.dump(t))"), ("subtree_hash", "subtree_hash")]


def load(results_dir):
    runs = []
    for path in sorted(pathlib.Path(results_dir).glob("python*.json")):
        with open(path) as f:
            runs.append((path, json.load(f)))
    if not runs:
        sys.exit(f"plots.py: no python*.json in {results_dir}: run make bench first")
    return runs


def describe(run, mode):
    m = run[mode]
    load_avg = f"load {run['loadavg_before'][0]:.1f} to {run['loadavg_after'][0]:.1f}"
    return f"CPython {run['python']}, {m['modules']} stdlib modules, {m['nodes']:,} nodes, {load_avg}"


def speedup_rows(run, mode):
    """(label, speed-up) of each function against the first case of its group."""
    rows = []
    for r in run.get(mode, {}).get("rows", []):
        if not r["baseline"] and not r["function"].startswith("floor:"):
            rows.append((f"{r['function']} ({r['group']})", r["speedup"]))
    return rows


def plot_speedups(runs, out):
    modes = [m for m in ("per_file", "corpus") if any(m in run for _, run in runs)]
    fig, axes = plt.subplots(1, len(modes), figsize=(7 * len(modes), 9), squeeze=False)
    for ax, mode in zip(axes[0], modes):
        labels = []
        for _, run in runs:
            labels += [label for label, _ in speedup_rows(run, mode) if label not in labels]
        height = 0.8 / len(runs)
        for k, (_, run) in enumerate(runs):
            values = dict(speedup_rows(run, mode))
            ys = [i + k * height for i, label in enumerate(labels) if label in values]
            ax.barh(ys, [values[label] for label in labels if label in values], height,
                    label=describe(run, mode) if mode in run else run["python"])
        ax.set_yticks([i + 0.4 - height / 2 for i in range(len(labels))], labels, fontsize=8)
        ax.invert_yaxis()
        ax.axvline(1.0, color="black", linewidth=0.8)
        ax.set_xlabel("speed-up against the standard library's counterpart (x)")
        ax.set_title("per file: each module parsed, then walked" if mode == "per_file"
                     else "whole corpus: all modules parsed first")
        ax.legend(fontsize=7, loc="lower right")
    fig.tight_layout()
    fig.savefig(out / "speedup.png", dpi=80)
    plt.close(fig)


def plot_sizes(runs, out):
    fig, ax = plt.subplots(figsize=(8, 6))
    markers = "o^sv+x"
    for path, run in runs:
        pf = run.get("per_file")
        if not pf:
            continue
        for m, (group, name) in zip(markers, SIZE_SERIES):
            col = next((i for i, (g, f) in enumerate(zip(pf["groups"], pf["functions"]))
                        if (g, f) == (group, name)), None)
            if col is None:
                continue
            xs = [mod["nodes"] for mod in pf["per_module"]]
            ys = [mod["ns"][col] / mod["nodes"] for mod in pf["per_module"]]
            ax.scatter(xs, ys, s=6, marker=m, alpha=0.6, label=f"{name}, {run['python']}")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("nodes in the module")
    ax.set_ylabel("ns per node (best of 3, fresh parse)")
    ax.set_title("Per file: " + "; ".join(describe(run, "per_file") for _, run in runs if "per_file" in run),
                 fontsize=8)
    ax.legend(fontsize=7, markerscale=2)
    ax.grid(True, which="major", linewidth=0.3)
    fig.tight_layout()
    fig.savefig(out / "size.png", dpi=80)
    plt.close(fig)


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    runs = load(argv[1])
    out = pathlib.Path(argv[2])
    os.makedirs(out, exist_ok=True)
    plot_speedups(runs, out)
    plot_sizes(runs, out)
    for path, _ in runs:
        shutil.copy(path, out / path.name)


if __name__ == "__main__":
    main(sys.argv)
