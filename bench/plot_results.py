#!/usr/bin/env python3
"""Draws the figures of a benchmark run from the CSV files it wrote.

Usage: bench/plot_results.py SAMPLES_DIR OUT_DIR

round_trip.csv and ser2net_round_trip.csv ("client,microseconds", one row
per exchange) become round_trip_pty.png and round_trip_ser2net.png: the
share of exchanges done within a time, on a log time axis. The local round
trip has two panels: the answers to KTSendCommandAndWait and
KTSendDataAndWait beside the raw client's, and KTWaitForMessage on a device
that speaks first beside the raw client waiting the same way (series whose
name says "speaks first"). stream.csv (one row per receiver) becomes
stream_throughput.png. A missing CSV skips its figure (ser2net not
installed, a scenario not run).
"""
import csv
import math
import os
import sys

import matplotlib

matplotlib.use("Agg")  # files only, no display
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import FuncFormatter  # noqa: E402

# The library in solid colours, the references in grey tones and dashes, so
# that the comparison reads without the legend too.
STYLES = {
    "KTSendCommandAndWait": dict(color="#1f6fb4", linestyle="-"),
    "KTSendDataAndWait": dict(color="#8e44ad", linestyle="-"),
    "raw termios client: write, poll, read": dict(color="#555555", linestyle="--"),
    "KTWaitForMessage, device speaks first": dict(color="#1f6fb4", linestyle="-"),
    "raw termios client: poll, read, device speaks first": dict(color="#555555", linestyle="--"),
    "KTcomm, local pty": dict(color="#1f6fb4", linestyle="-"),
    "raw termios client, local pty": dict(color="#555555", linestyle="--"),
    "KTcomm, rfc2217:// through ser2net": dict(color="#d2641e", linestyle="-"),
    "KTcomm, tcp:// through ser2net": dict(color="#2a9d3c", linestyle="-"),
    "raw TCP socket through ser2net": dict(color="#999999", linestyle="--"),
}


def read_latencies(path):
    series = {}
    with open(path, newline="") as f:
        for row in csv.DictReader(f):
            series.setdefault(row["client"], []).append(float(row["microseconds"]))
    return series


def percentile(sorted_samples, fraction):
    rank = max(1, math.ceil(fraction * len(sorted_samples)))
    return sorted_samples[rank - 1]


def time_label(microseconds, _position):
    if microseconds >= 1000:
        return "%g ms" % (microseconds / 1000)
    return "%g µs" % microseconds


def draw_cdf(ax, series, title, xlabel="round trip (log scale)"):
    low, high = float("inf"), 0.0
    for name, samples in series.items():
        samples = sorted(samples)
        count = len(samples)
        shares = [(i + 1) / count for i in range(count)]
        label = "%s  (p50 %.0f µs, p99 %.0f µs)" % (
            name, percentile(samples, 0.5), percentile(samples, 0.99))
        ax.step(samples, shares, where="post", linewidth=1.8, label=label,
                **STYLES.get(name, {}))
        low, high = min(low, samples[0]), max(high, samples[-1])
    ax.set_xscale("log")
    ax.set_xlim(low * 0.8, high * 1.25)
    ax.set_ylim(0, 1.01)
    ax.xaxis.set_major_formatter(FuncFormatter(time_label))
    ax.set_xlabel(xlabel)
    ax.set_ylabel("share of exchanges done within")
    ax.set_title(title)
    ax.grid(True, which="major", alpha=0.4)
    ax.grid(True, which="minor", axis="x", alpha=0.15)
    for level in (0.5, 0.99):
        ax.axhline(level, color="#bbbbbb", linewidth=0.8, zorder=0)
    ax.legend(loc="lower right", fontsize=8.5, framealpha=0.95)


def plot_cdf(series, title, out_path):
    fig, ax = plt.subplots(figsize=(8, 4.5), dpi=110)
    draw_cdf(ax, series, title)
    fig.tight_layout()
    fig.savefig(out_path)
    plt.close(fig)


def plot_cdf_panels(panels, out_path):
    """panels: (title, series, x axis label) triples, drawn side by side."""
    fig, axes = plt.subplots(1, len(panels), figsize=(7.5 * len(panels), 4.8), dpi=110,
                             squeeze=False)
    for ax, (title, series, xlabel) in zip(axes[0], panels):
        draw_cdf(ax, series, title, xlabel)
    fig.tight_layout()
    fig.savefig(out_path)
    plt.close(fig)


def plot_stream(path, out_path):
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    names = [row["client"] for row in rows]
    megabytes = [float(row["megabytes_per_second"]) for row in rows]
    frames = [float(row["frames_per_second"]) / 1000 for row in rows]
    colours = ["#1f6fb4" if name.startswith("KTcomm") else "#888888" for name in names]
    fig, axes = plt.subplots(1, 2, figsize=(8, 2.8), dpi=110)
    for ax, values, label in ((axes[0], megabytes, "MB/s"),
                              (axes[1], frames, "thousand frames/s")):
        bars = ax.barh(names, values, color=colours)
        ax.invert_yaxis()
        ax.set_xlabel(label)
        ax.set_xlim(0, max(values) * 1.25)
        ax.grid(True, axis="x", alpha=0.4)
        for bar, value in zip(bars, values):
            ax.text(bar.get_width(), bar.get_y() + bar.get_height() / 2, " %.1f" % value,
                    va="center", fontsize=9)
    axes[1].set_yticklabels([])
    fig.suptitle("Streaming receive, 36-byte frames as fast as the pty takes them", fontsize=11)
    fig.tight_layout()
    fig.savefig(out_path)
    plt.close(fig)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: plot_results.py SAMPLES_DIR OUT_DIR")
    samples, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    drawn = []
    path = os.path.join(samples, "round_trip.csv")
    if os.path.exists(path):
        series = read_latencies(path)
        answers = {k: v for k, v in series.items() if "speaks first" not in k}
        first = {k: v for k, v in series.items() if "speaks first" in k}
        panels = [("Round trip on a pty: 5-byte command echoed by a device process", answers,
                   "round trip (log scale)")]
        if first:
            panels.append(("Device speaks first on a pty: a 12-byte frame", first,
                           "from the device's stamp to the frame in hand (log scale)"))
        plot_cdf_panels([p for p in panels if p[1]], os.path.join(out, "round_trip_pty.png"))
        drawn.append("round_trip_pty.png")
    path = os.path.join(samples, "ser2net_round_trip.csv")
    if os.path.exists(path):
        plot_cdf(read_latencies(path),
                 "Round trip through ser2net on 127.0.0.1, beside the local pty",
                 os.path.join(out, "round_trip_ser2net.png"))
        drawn.append("round_trip_ser2net.png")
    path = os.path.join(samples, "stream.csv")
    if os.path.exists(path):
        plot_stream(path, os.path.join(out, "stream_throughput.png"))
        drawn.append("stream_throughput.png")
    print("figures in %s: %s" % (out, ", ".join(drawn) if drawn else "none"))


if __name__ == "__main__":
    main()
