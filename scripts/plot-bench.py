#!/usr/bin/env python3
"""Turns the JSON of drawing_path_bench into the plot of docs/performance.md and prints
the figures as Markdown tables (median of the repetitions, and their spread min..max).

    scripts/plot-bench.py docs/performance.json docs/performance.png
"""
import json
import statistics
import sys
from collections import defaultdict

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

TO_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}
TARGETS = ["file", "folder", "big_folder", "root"]
COLOURS = {"file": "tab:blue", "folder": "tab:green", "big_folder": "tab:orange",
           "root": "tab:red"}


def load(path):
    """Per benchmark name (without the real_time/min_time suffixes): the list of
    repetitions, each a dict with the time in ms and the items per second if any."""
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    runs = defaultdict(list)
    for bench in data["benchmarks"]:
        if bench.get("run_type") != "iteration" or bench.get("error_occurred"):
            continue
        name = bench["run_name"].split("/min_time")[0].split("/iterations")[0]
        name = name.replace("/real_time", "").replace("/manual_time", "")
        runs[name].append({
            "ms": bench["real_time"] * TO_MS[bench["time_unit"]],
            "per_s": bench.get("items_per_second"),
            "ratio": bench.get("ratio", bench.get("rate_ratio")),
            "cpu_ms": bench["cpu_time"] * TO_MS[bench["time_unit"]],
            "counters": bench,
        })
    return data.get("context", {}), runs


def summary(values):
    return statistics.median(values), min(values), max(values)


def fmt_ms(value):
    return f"{value:.3f}" if value < 10 else f"{value:.1f}"


def spread(values):
    med, low, high = summary(values)
    return f"{fmt_ms(med)} ({fmt_ms(low)}..{fmt_ms(high)})"


def icon_sizes(runs):
    return sorted({int(name.split("/")[2]) for name in runs if name.startswith("icon/")})


def print_tables(context, runs):
    sizes = icon_sizes(runs) or [0]
    print(f"SQLite {context.get('sqlite_version', '?')}, "
          f"{context.get('num_cpus', '?')} CPUs at {context.get('mhz_per_cpu', '?')} MHz")
    print()
    print("| item | entries | with indexes, real ms | CPU ms | without, CPU ms | floor, CPU ms |"
          " with / floor, CPU | with / with at " + f"{sizes[0]:,}" + ", CPU |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")

    def cpu(name):
        reps = runs.get(name)
        return statistics.median(r["cpu_ms"] for r in reps) if reps else None

    for target in TARGETS:
        base = cpu(f"icon/{target}/{sizes[0]}/with")
        for size in sizes:
            with_runs = runs.get(f"icon/{target}/{size}/with")
            if not with_runs:
                continue
            with_cpu = cpu(f"icon/{target}/{size}/with")
            without_cpu = cpu(f"icon/{target}/{size}/without")
            floor_cpu = cpu(f"floor/{size}")
            row = [target, f"{size:,}", spread([r["ms"] for r in with_runs]), fmt_ms(with_cpu),
                   fmt_ms(without_cpu) if without_cpu else "-",
                   fmt_ms(floor_cpu) if floor_cpu else "-",
                   f"{with_cpu / floor_cpu:.0f}x" if floor_cpu else "-",
                   f"{with_cpu / base:.2f}x" if base else "-"]
            print("| " + " | ".join(row) + " |")
    print()
    writers = {name: r for name, r in runs.items() if name.startswith("writer/")}
    if writers:
        print("| writer | setFileSyncStat per second, median (min..max) |")
        print("|---|---:|")
        medians = {}
        for name in sorted(writers):
            rates = [r["per_s"] for r in writers[name] if r["per_s"]]
            med, low, high = summary(rates)
            medians[name.split("/")[-1]] = med
            print(f"| {name} | {med:.0f} ({low:.0f}..{high:.0f}) |")
        if "with" in medians and "without" in medians:
            print(f"\nwriter rate with / without: {medians['with'] / medians['without']:.2f}")
    paired = sorted(n for n in runs if n.startswith(("icon_ratio/", "icon_floor/", "writer_ratio/")))
    if paired:
        print("\n| paired in one loop | ratio, median (min..max) | side A | side B |")
        print("|---|---:|---:|---:|")
        for name in paired:
            reps = runs[name]
            med, low, high = summary([r["ratio"] for r in reps])
            if name.startswith("icon_ratio/"):
                a = statistics.median(r["counters"]["large_us"] for r in reps) / 1000
                b = statistics.median(r["counters"]["small_us"] for r in reps) / 1000
                sides = f"large {fmt_ms(a)} ms | small {fmt_ms(b)} ms"
            elif name.startswith("icon_floor/"):
                a = statistics.median(r["counters"]["icon_us"] for r in reps) / 1000
                b = statistics.median(r["counters"]["floor_us"] for r in reps) / 1000
                sides = f"icon {fmt_ms(a)} ms | floor {fmt_ms(b)} ms"
            else:
                a = statistics.median(r["counters"]["with_per_s"] for r in reps)
                b = statistics.median(r["counters"]["without_per_s"] for r in reps)
                sides = f"with {a:.0f}/s | without {b:.0f}/s"
            print(f"| {name} | {med:.2f} ({low:.2f}..{high:.2f}) | {sides} |")
    steps = sorted(n for n in runs if n.startswith(("step/", "icon_fresh/")))
    if steps:
        print("\n| one step alone, or an icon with nothing kept | real ms, median (min..max) |"
              " CPU ms, median |")
        print("|---|---:|---:|")
        for name in steps:
            cpu = statistics.median(r["cpu_ms"] for r in runs[name])
            print(f"| {name} | {spread([r['ms'] for r in runs[name]])} | {fmt_ms(cpu)} |")
    for name in sorted(n for n in runs if n.startswith("index_build/")):
        print(f"\n{name}: {spread([r['ms'] for r in runs[name]])} ms")


def plot(runs, out_path):
    """CPU time: on a shared machine the wall-clock time of a call mostly measures how long
    other processes held the CPU; the data is in the page cache, so CPU time is the cost."""
    sizes = icon_sizes(runs)
    fig, ax = plt.subplots(figsize=(8, 5.5), dpi=110)
    for target in TARGETS:
        for variant, style in (("without", "--"), ("with", "-")):
            points = [(size, summary([r["cpu_ms"] for r in runs[f"icon/{target}/{size}/{variant}"]]))
                      for size in sizes if runs.get(f"icon/{target}/{size}/{variant}")]
            if not points:
                continue
            xs = [p[0] for p in points]
            med = [p[1][0] for p in points]
            err = [[p[1][0] - p[1][1] for p in points], [p[1][2] - p[1][0] for p in points]]
            ax.errorbar(xs, med, yerr=err, linestyle=style, marker="o", capsize=3,
                        color=COLOURS[target],
                        label=f"{target.replace('_', ' ')}, {variant} lookup indexes")
    floor = [(size, summary([r["cpu_ms"] for r in runs[f"floor/{size}"]]))
             for size in sizes if runs.get(f"floor/{size}")]
    if floor:
        ax.plot([p[0] for p in floor], [p[1][0] for p in floor], linestyle=":", marker="s",
                color="black", label="floor: kept-open connection, prepared equality")
    fresh = [(size, summary([r["cpu_ms"] for r in runs[f"icon_fresh/file/{size}"]]))
             for size in sizes if runs.get(f"icon_fresh/file/{size}")]
    if fresh:
        ax.plot([p[0] for p in fresh], [p[1][0] for p in fresh], linestyle="-.", marker="^",
                color="grey", label="file, with lookup indexes, nothing kept open")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("entries in the session's file status database")
    ax.set_ylabel("CPU time of one drawn icon, ms (median, bars min..max)")
    ax.set_ylim(bottom=0.001)
    ax.set_title("Badge resolution per icon in the reader role")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=7.5, loc="upper left")
    fig.tight_layout()
    fig.savefig(out_path)


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    context, runs = load(argv[1])
    if not runs:
        print(f"no benchmark results in {argv[1]}", file=sys.stderr)
        return 1
    print_tables(context, runs)
    plot(runs, argv[2])
    print(f"\nwrote {argv[2]}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
