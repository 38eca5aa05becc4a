"""charts.py: SVG charts of one scripts/bench report, drawn with gnuplot.

draw(report, directory) writes ns_per_call.svg (each method beside its raw
system calls, and other language runtimes' query beside the same ioctl) and
wakeup.svg (wake-up latency of wait and of raw ppoll against the number of
threads waiting) and wait_any_scale.svg (the one-shot wait's cost against
the number of streams, beside raw ppoll and other runtimes'), and returns
their paths.
"""
import os
import subprocess
import tempfile

TERMINAL = "set terminal svg size 820,480 dynamic noenhanced font 'sans,12' background '#ffffff'"

NEWLINE = "\\n"  # as gnuplot reads it inside a double-quoted string

# (label, numerator in ratios[...]["ns"], ratio key)
METHODS = [
    ("nread, kernel", "nread_kernel", "nread_kernel/raw_ioctl"),
    ("ready?, kernel", "ready_kernel", "ready_kernel/raw_ioctl"),
    ("nread, buffered", "nread_buffered", "nread_buffered/raw_ioctl"),
    ("wait(0), ready", "wait_ready", "wait_ready/raw_ppoll_ioctl"),
]


def machine_line(report):
    m = report["machine"]
    return f"{m['cpu_model']}, {m['cpus']} CPUs, {m['kernel']}, {m['date'][:10]}"


def quoted(text):
    return '"' + text.replace('"', "'") + '"'


def ns_rows(report):
    ratios = report["ratios"]
    rows = []
    for label, top, key in METHODS:
        if key not in ratios:
            continue
        ns = ratios[key]["ns"]
        bottom = key.split("/")[1]
        rows.append((f"{label} ({ratios[key]['median']:.2f}x)", ns[top], ns[bottom]))
    raw = ratios.get("nread_kernel/raw_ioctl", {}).get("ns", {}).get("raw_ioctl")
    if raw:
        for label, value in report.get("peers", {}).items():
            rows.append((label.split(":")[0] + ": " + label.split(":", 1)[-1].strip(), value, raw))
    return rows


def draw(report, directory):
    os.makedirs(directory, exist_ok=True)
    out = []
    with tempfile.TemporaryDirectory() as work:
        rows = ns_rows(report)
        if rows:
            data = os.path.join(work, "ns.dat")
            with open(data, "w") as f:
                for label, method, raw in rows:
                    f.write(f"{quoted(label)} {method:.2f} {raw:.2f}\n")
            svg = os.path.join(directory, "ns_per_call.svg")
            run(work, f"""{TERMINAL}
set output {quoted(svg)}
set title {quoted('ns per call, paired batches in thread CPU time' + NEWLINE + machine_line(report))}
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set boxwidth 0.9
set ylabel 'ns per call'
set yrange [0:*]
set grid ytics
set xtics rotate by -25 scale 0
set key outside below
plot {quoted(data)} using 2:xtic(1) title 'through zelt (or that runtime)' lc rgb '#3465a4', \\
     '' using 3 title 'raw system calls (ioctl FIONREAD; ppoll + ioctl)' lc rgb '#babdb6'
""")
            out.append(svg)

        wake = report.get("wakeup_ns")
        if wake:
            data = os.path.join(work, "wakeup.dat")
            with open(data, "w") as f:
                for n, v in sorted(wake.items(), key=lambda kv: int(kv[0])):
                    f.write(f"{n} {v['wait']['p50'] / 1e3:.3f} {v['ppoll']['p50'] / 1e3:.3f} "
                            f"{v['wait']['p99'] / 1e3:.3f} {v['ppoll']['p99'] / 1e3:.3f}\n")
            svg = os.path.join(directory, "wakeup.svg")
            run(work, f"""{TERMINAL}
set output {quoted(svg)}
set title {quoted('wake-up latency, each thread waiting on a pipe of its own' + NEWLINE + machine_line(report))}
set logscale x 2
set xtics (1, 16, 256)
set xrange [0.8:320]
set xlabel 'threads waiting'
set ylabel 'microseconds from write to return'
set yrange [0:*]
set grid
set key outside below horizontal
plot {quoted(data)} using 1:2 with linespoints lw 2 pt 7 lc rgb '#3465a4' title 'wait, p50', \\
     '' using 1:3 with linespoints lw 2 pt 7 lc rgb '#888a85' title 'ppoll, p50', \\
     '' using 1:4 with linespoints lw 2 pt 5 dt 2 lc rgb '#3465a4' title 'wait, p99', \\
     '' using 1:5 with linespoints lw 2 pt 5 dt 2 lc rgb '#888a85' title 'ppoll, p99'
""")
            out.append(svg)

        scale = report.get("scale")
        if scale:
            peers = report.get("scale_peers", {})
            labels = sorted(peers)
            data = os.path.join(work, "scale.dat")
            with open(data, "w") as f:
                for n, v in sorted(scale.items(), key=lambda kv: int(kv[0])):
                    cols = [v["ns"]["wait_any"] / 1e3, v["ns"]["raw_ppoll"] / 1e3]
                    cols += [peers[p].get(n, float("nan")) / 1e3 for p in labels]
                    f.write(n + " " + " ".join(f"{c:.3f}" for c in cols) + "\n")
            svg = os.path.join(directory, "wait_any_scale.svg")
            lines = [f"{quoted(data)} using 1:2 with linespoints lw 2 pt 7 lc rgb '#3465a4' "
                     "title 'IO.wait_any(streams, 0)'",
                     "'' using 1:3 with linespoints lw 2 pt 7 lc rgb '#888a85' title 'raw ppoll'"]
            for i, label in enumerate(labels):
                lines.append(f"'' using 1:{4 + i} with linespoints lw 2 pt 5 dt 2 title {quoted(label)}")
            run(work, f"""{TERMINAL}
set output {quoted(svg)}
set title {quoted('one-shot wait, one of N streams ready (socket pairs)' + NEWLINE + machine_line(report))}
set logscale xy 10
set xrange [0.7:14000]
set xlabel 'streams in the set'
set ylabel 'microseconds per wait'
set grid
set key outside below horizontal
plot {", ".join(lines)}
""")
            out.append(svg)
    return out


def run(work, script):
    path = os.path.join(work, "chart.gp")
    with open(path, "w") as f:
        f.write(script)
    subprocess.run(["gnuplot", path], check=True)
