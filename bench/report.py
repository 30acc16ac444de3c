#!/usr/bin/python3
"""Turns the side-by-side benchmark's raw lines into a Markdown report and PNG charts.

Reads raw/<engine>.tsv (info, result, check and fail lines from bench/peers and the JVM
harness), raw/<engine>.status (the harness's exit status) and raw/machine.txt, all under the
output folder, and writes report.md and one chart per phase group there. With --scale it
reads raw/scale.tsv instead and writes scale.md and scale.png.
Usage: report.py OUT [--scale]
"""

import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

ENGINES = ["Ombrel", "RocksDB", "SQLite"]
COLORS = {"Ombrel": "#1f77b4", "RocksDB": "#ff7f0e", "SQLite": "#2ca02c"}

# (phase, metric, label, higher is better)
ROWS = [
    ("ingest_key", "rate", "Ingest, key order (rows/s)", True),
    ("ingest_random", "rate", "Ingest, random order (rows/s)", True),
    ("durable_key", "time", "Durable + compacted after key order (s)", False),
    ("durable_key", "size", "On disk after key order (bytes/row)", False),
    ("durable_random", "time", "Durable + compacted after random order (s)", False),
    ("durable_random", "size", "On disk after random order (bytes/row)", False),
    ("point_read", "rate", "Point reads (reads/s)", True),
    ("point_read", "mean", "Point read, mean (µs)", False),
    ("scan", "time", "Full scan, all columns (s)", False),
    ("ungrouped", "time", "Six aggregates, ungrouped (s)", False),
    ("group_by", "time", "GROUP BY c1, five aggregates (s)", False),
    ("ingest_two_threads", "rate", "Two threads, two partitions (rows/s total)", True),
]

# Check values of the workload at 2,000,000 rows.
PUBLISHED = {"scan sum(c1)": "999022938", "digest": "a04492676559df7e"}


def read_raw(raw):
    info, results, checks, fails, status = {}, {}, {}, {}, {}
    for engine in ENGINES:
        path = os.path.join(raw, engine + ".tsv")
        status_path = os.path.join(raw, engine + ".status")
        if os.path.exists(status_path):
            status[engine] = open(status_path).read().strip()
        if not os.path.exists(path):
            continue
        for line in open(path, encoding="utf-8", errors="replace"):
            f = line.rstrip("\n").split("\t")
            if f[0] == "info" and len(f) >= 4:
                info.setdefault(f[1], {})[f[2]] = f[3]
            elif f[0] == "result" and len(f) >= 6:
                results[(f[1], f[2], f[3])] = (float(f[4]), f[5])
            elif f[0] == "check" and len(f) >= 4:
                checks.setdefault(f[2], {})[f[1]] = f[3]
            elif f[0] == "fail" and len(f) >= 4:
                fails[(f[1], f[2])] = f[3]
    return info, results, checks, fails, status


def fmt(v):
    if v >= 1e6:
        return f"{v / 1e6:.2f} M"
    if v >= 1e4:
        return f"{v / 1e3:.0f} k"
    if v >= 100:
        return f"{v:.0f}"
    if v >= 10:
        return f"{v:.1f}"
    return f"{v:.3g}"


def cell(results, fails, status, engine, phase, metric):
    """The value, or None and the reason it is missing."""
    if (engine, phase, metric) in results:
        return results[(engine, phase, metric)][0], None
    if (engine, phase) in fails:
        return None, fails[(engine, phase)]
    return None, f"no result (harness exit status {status.get(engine, 'unknown')})"


def cross_check(checks, rows):
    """Lines of the cross-check table and the names of checks that failed."""
    lines = ["| Check | " + " | ".join(ENGINES) + " | Verdict |", "|---|" + "---|" * (len(ENGINES) + 1)]
    bad = []
    for name in sorted(checks):
        values = checks[name]
        present = {values[e] for e in ENGINES if e in values}
        missing = [e for e in ENGINES if e not in values]
        verdict = "identical" if len(present) == 1 else "DIFFER"
        if missing:
            verdict += " (missing: " + ", ".join(missing) + ")"
        if rows == 2000000 and name in PUBLISHED:
            if any(values.get(e) != PUBLISHED[name] for e in ENGINES):
                verdict = f"MISMATCH with the published {PUBLISHED[name]}"
            else:
                verdict += f", equals the published {PUBLISHED[name]}"
        if not verdict.startswith("identical"):
            bad.append(name)
        lines.append(f"| {name} | " + " | ".join(f"`{values.get(e, 'missing')}`" for e in ENGINES)
                     + f" | {verdict} |")
    return lines, bad


def bar_chart(path, title, groups, results, fails, status, log):
    """groups: (label, phase, metric, unit) side by side; one bar per engine in each."""
    subplots = {}
    for g in groups:
        subplots.setdefault(g[3], []).append(g)
    fig, axes = plt.subplots(1, len(subplots), figsize=(6 * len(subplots), 4.5), squeeze=False)
    for ax, (unit, items) in zip(axes[0], subplots.items()):
        width = 0.8 / len(ENGINES)
        for i, engine in enumerate(ENGINES):
            for j, (label, phase, metric, _) in enumerate(items):
                v, why = cell(results, fails, status, engine, phase, metric)
                x = j + (i - (len(ENGINES) - 1) / 2) * width
                if v is None:
                    ax.text(x, 0.02, "failed", rotation=90, ha="center", va="bottom",
                            transform=ax.get_xaxis_transform(), color="red", fontsize=8)
                    continue
                ax.bar(x, v, width, color=COLORS[engine], label=engine if j == 0 else None)
                ax.text(x, v, fmt(v), ha="center", va="bottom", fontsize=7)
        ax.set_xticks(range(len(items)))
        ax.set_xticklabels([it[0] for it in items], fontsize=8)
        ax.set_ylabel(unit)
        if log:
            ax.set_yscale("log")
        ax.grid(axis="y", alpha=0.3)
        ax.legend(fontsize=8)
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def report(out):
    raw = os.path.join(out, "raw")
    info, results, checks, fails, status = read_raw(raw)
    rows = int(info.get("Ombrel", info.get("RocksDB", {})).get("rows", "0") or 0)
    machine = open(os.path.join(raw, "machine.txt")).read().rstrip() if os.path.exists(
        os.path.join(raw, "machine.txt")) else "unknown"

    md = ["# Ombrel, RocksDB and SQLite side by side", ""]
    md += ["One workload (bench/workload.h), one machine, one run of `scripts/bench`. Each figure is "
           "the median of the runs listed below; every engine's answers are checked against the "
           "generator and against each other.", ""]
    md += ["## Machine", "", "```", machine, "```", ""]
    md += ["## Engines and configuration", ""]
    for e in ENGINES:
        i = info.get(e, {})
        md.append(f"- **{e}** {i.get('version', '?')}: {i.get('configuration', 'did not start')}"
                  f" ({i.get('rows', '?')} rows, {i.get('lookups', '?')} point reads, "
                  f"median of {i.get('runs', '?')} runs)")
    md += ["", "Phases: ingest in batches of 1,000 rows (one call, write batch or transaction per "
           "batch), timed until the last batch call returns; durable and compacted (close, reopen, "
           "full compaction, everything synced), with the bytes on disk per row; point reads of "
           "the lookup keys at the latest version, all columns decoded; then the queries. Reads and "
           "queries run on the store ingested in random order once it is durable and compacted. "
           "The two-thread phase writes all rows in key order into each of two partitions.", ""]

    md += ["## Results", "",
           "Advantage: how many times better Ombrel is than the best peer on that line "
           "(above 1: Ombrel ahead; below 1: behind).", "",
           "| Phase | Ombrel | RocksDB | SQLite | Best peer | Ombrel advantage |",
           "|---|---:|---:|---:|---|---:|"]
    failures = []
    for phase, metric, label, higher in ROWS:
        values = {}
        cells = []
        for e in ENGINES:
            v, why = cell(results, fails, status, e, phase, metric)
            if v is None:
                failures.append(f"- {e}, {phase}: {why}")
                cells.append("**FAILED**")
            else:
                values[e] = v
                cells.append(fmt(v))
        peers = {e: v for e, v in values.items() if e != "Ombrel"}
        best, ratio = "-", "-"
        if peers:
            best = (max if higher else min)(peers, key=peers.get)
            if "Ombrel" in values and values["Ombrel"] > 0 and peers[best] > 0:
                r = values["Ombrel"] / peers[best] if higher else peers[best] / values["Ombrel"]
                ratio = f"{r:.2f}×"
        md.append(f"| {label} | " + " | ".join(cells) + f" | {best} | {ratio} |")
    md.append("")
    if failures:
        md += ["### Failed phases", ""] + sorted(set(failures)) + [""]

    lines, bad = cross_check(checks, rows)
    md += ["## Cross-check of the answers", "",
           "Doubles are compared to 10 significant digits (engines may add them in different "
           "orders); `reads` is the sum of c1 + c4.nanos over every point read.", ""] + lines + [""]
    if bad:
        md += ["**Checks that differ: " + ", ".join(bad) + ".**", ""]

    charts = [
        ("ingest.png", "Ingest (rows/s, log scale)", [
            ("key order", "ingest_key", "rate", "rows/s"),
            ("random order", "ingest_random", "rate", "rows/s"),
            ("two threads", "ingest_two_threads", "rate", "rows/s")], True),
        ("durable.png", "Durable and compacted", [
            ("after key order", "durable_key", "time", "seconds"),
            ("after random order", "durable_random", "time", "seconds"),
            ("after key order", "durable_key", "size", "bytes on disk per row"),
            ("after random order", "durable_random", "size", "bytes on disk per row")], False),
        ("reads.png", "Point reads", [
            ("throughput", "point_read", "rate", "reads/s"),
            ("mean latency", "point_read", "mean", "µs")], False),
        ("queries.png", "Scan and aggregates (seconds, log scale)", [
            ("full scan", "scan", "time", "seconds"),
            ("six aggregates", "ungrouped", "time", "seconds"),
            ("GROUP BY c1", "group_by", "time", "seconds")], True),
    ]
    md += ["## Charts", ""]
    for name, title, groups, log in charts:
        bar_chart(os.path.join(out, name), title, groups, results, fails, status, log)
        md.append(f"![{title}]({name})")
    md.append("")
    with open(os.path.join(out, "report.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(md))
    return 1 if failures or bad else 0


def scale_report(out):
    raw = os.path.join(out, "raw")
    data, info, fails = {}, {}, []
    for line in open(os.path.join(raw, "scale.tsv"), encoding="utf-8", errors="replace"):
        f = line.rstrip("\n").split("\t")
        if f[0] == "scale" and len(f) >= 5:
            data.setdefault(int(f[1]), {})[f[2]] = (f[3], f[4])
        elif f[0] == "info" and len(f) >= 4:
            info[f[2]] = f[3]
        elif f[0] == "fail" and len(f) >= 4:
            fails.append(f"- {f[2]} rows: {f[3]}")
    machine = open(os.path.join(raw, "machine.txt")).read().rstrip() if os.path.exists(
        os.path.join(raw, "machine.txt")) else "unknown"
    status_path = os.path.join(raw, "scale.status")
    status = open(status_path).read().strip() if os.path.exists(status_path) else "unknown"
    for n in info.get("sizes", "").split():
        if int(n) not in data and not any(f"- {n} rows:" in line for line in fails):
            fails.append(f"- {n} rows: no result (ScaleBench exit status {status})")
    sizes = sorted(data)
    metrics = [
        ("ingest_rate", "Ingest, random order (rows/s)"),
        ("levels_after_ingest", "Levels after ingest (segments per level, level 0 first)"),
        ("write_amp_ingest", "Write amplification when the last batch returns"),
        ("read_rate", "Point reads as ingested (reads/s)"),
        ("read_p50", "Point read p50 as ingested (µs)"),
        ("read_p99", "Point read p99 as ingested (µs)"),
        ("durable_time", "Full compaction after the reopen (s)"),
        ("write_amp_total", "Write amplification incl. durable + compacted"),
        ("levels_after_compaction", "Levels after full compaction"),
        ("bytes_per_row", "On disk after compaction (bytes/row)"),
        ("compacted_read_rate", "Point reads compacted (reads/s)"),
        ("compacted_read_p50", "Point read p50 compacted (µs)"),
        ("compacted_read_p99", "Point read p99 compacted (µs)"),
    ]
    md = ["# Ombrel at scale", "",
          "Ombrel alone, through the JVM with the default configuration, random insertion order, "
          "batches of 1,000. One run per size; point reads as ingested are taken after a close "
          "and reopen, before the full compaction. Write amplification: bytes the process wrote "
          "(/proc/self/io wchar) divided by the bytes of the row tuples ingested.", "",
          "## Machine", "", "```", machine, "```", "",
          f"Sizes run: {', '.join(f'{n:,}' for n in sizes) or 'none'}; "
          f"point reads per size: {info.get('lookups', '?')}.", "",
          "| Metric | " + " | ".join(f"{n:,} rows" for n in sizes) + " |",
          "|---|" + "---:|" * len(sizes)]
    for key, label in metrics:
        row = []
        for n in sizes:
            v = data[n].get(key)
            if v is None:
                row.append("-")
            else:
                try:
                    row.append(fmt(float(v[0])))
                except ValueError:
                    row.append(v[0])
        md.append(f"| {label} | " + " | ".join(row) + " |")
    md.append("")
    if fails:
        md += ["## Failed", ""] + fails + [""]

    def series(key):
        xs, ys = [], []
        for n in sizes:
            try:
                ys.append(float(data[n][key][0]))
                xs.append(n)
            except (KeyError, ValueError):
                pass
        return xs, ys

    fig, axes = plt.subplots(1, 3, figsize=(16, 4.5))
    for key, label in [("ingest_rate", "ingest rows/s"), ("read_rate", "reads/s as ingested"),
                       ("compacted_read_rate", "reads/s compacted")]:
        axes[0].plot(*series(key), marker="o", label=label)
    axes[0].set_title("Rates")
    for key, label in [("read_p50", "p50 as ingested"), ("read_p99", "p99 as ingested"),
                       ("compacted_read_p50", "p50 compacted"), ("compacted_read_p99", "p99 compacted")]:
        axes[1].plot(*series(key), marker="o", label=label)
    axes[1].set_title("Point read latency (µs)")
    for key, label in [("write_amp_ingest", "while ingesting"), ("write_amp_total", "incl. compaction")]:
        axes[2].plot(*series(key), marker="o", label=label)
    axes[2].set_title("Write amplification")
    axes[0].set_yscale("log")
    axes[1].set_yscale("log")
    for ax in axes:
        ax.set_xscale("log")
        ax.set_xlabel("rows")
        ax.grid(alpha=0.3)
        ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(os.path.join(out, "scale.png"), dpi=110)
    plt.close(fig)
    md += ["![Ombrel at scale](scale.png)", ""]
    with open(os.path.join(out, "scale.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(md))
    return 1 if fails else 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(scale_report(sys.argv[1]) if "--scale" in sys.argv[2:] else report(sys.argv[1]))
