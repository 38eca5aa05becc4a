#!/usr/bin/env python3
"""Instructions and pages per call on each path, counted under valgrind, held
to their budgets.

Instructions: callgrind counts the user-space instructions that zelt-counts
executes between its two toggles (deterministic: the same build and C
library give the same count on every run and every machine, whatever the
load). Each path runs 100 and then 200 calls; the difference over 100 cancels
what the toggles and dumps cost, and the empty path's per-call count (the
loop and its out-of-line step) is taken off every other path.

Pages: lackey traces every load, store and instruction fetch; between two
stores to zelt-counts' marker page lies exactly one call. Each path's last
call, in steady state, gives the distinct 4 KiB pages (code and data) it
touches; the loop's own pages (its code, the stack) are in every path's
count alike, raw counterparts too.

Usage: counts.py BINARY [--check] [--json FILE]
  --check   exit 1 when a path is over its budget (the CTest)
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

SHORT, LONG = 100, 200  # as in counts.cpp

# (path, raw counterpart or None, instruction budget, page budget). A budget
# with a counterpart is over the counterpart's count; None: not budgeted.
PATHS = [
    ("raw_ioctl", None, None, None),
    ("nread_kernel", "raw_ioctl", 85, 13),
    ("ready_kernel", "raw_ioctl", 85, 13),
    ("nread_buffered", None, 80, 12),
    ("raw_ppoll_ioctl", None, None, None),
    ("wait_ready", "raw_ppoll_ioctl", 150, 17),
    ("raw_ppoll_ioctl_blocking", None, None, None),
    ("wait_blocking", "raw_ppoll_ioctl_blocking", None, None),
]
LABELS = {
    "raw_ioctl": "raw ioctl(FIONREAD)",
    "nread_kernel": "nread, kernel path",
    "ready_kernel": "ready?, kernel path",
    "nread_buffered": "nread, from the buffer",
    "raw_ppoll_ioctl": "raw ppoll(0) + ioctl",
    "wait_ready": "wait(0), ready pipe",
    "raw_ppoll_ioctl_blocking": "raw ppoll + ioctl + read, sleeps once",
    "wait_blocking": "wait(10) + read, sleeps once",
}

# What a figure may differ by between toolchains: another gcc or clang
# schedules and allocates registers differently, another glibc's ioctl and
# ppoll wrappers differ by a few instructions (those cancel in the figures
# over a raw counterpart, which calls the same wrappers). Nothing else moves
# these counts: they are exact for a given build.
INSTRUCTION_TOLERANCE = 5  # per budget, in instructions
PAGE_TOLERANCE = 0  # pages: a layout change is a real change


def valgrind(tool_args, binary, mode, workdir):
    cmd = ["valgrind", "--quiet"] + tool_args + [os.path.abspath(binary), mode]
    return subprocess.run(cmd, cwd=workdir, check=True, capture_output=True, text=True)


def count_instructions(binary, workdir):
    out = os.path.join(workdir, "cg.%p")
    valgrind(["--tool=callgrind", "--collect-atstart=no", f"--callgrind-out-file={out}"], binary,
             "instructions", workdir)
    totals = {}
    for name in os.listdir(workdir):
        if not re.fullmatch(r"cg\.\d+\.\d+", name):
            continue
        desc = total = None
        with open(os.path.join(workdir, name)) as f:
            for line in f:
                if line.startswith("desc: Trigger: Client Request: "):
                    desc = line.split(": ", 3)[3].strip()
                elif line.startswith("totals: "):
                    total = int(line.split()[1])
        if desc and total is not None:
            path, n = desc.rsplit("/", 1)
            totals[(path, int(n))] = total
    per_call = {}
    for path in {p for p, _ in totals}:
        per_call[path] = (totals[(path, LONG)] - totals[(path, SHORT)]) / (LONG - SHORT)
    loop = per_call.pop("loop")
    return {p: round(v - loop) for p, v in per_call.items()}, round(loop)


def count_pages(binary, workdir):
    log = os.path.join(workdir, "lackey.%p")
    run = valgrind(["--tool=lackey", "--trace-mem=yes", f"--log-file={log}"], binary, "pages",
                   workdir)
    marker = None
    for line in run.stdout.splitlines():
        if line.startswith("marker "):
            marker = int(line.split()[1], 16) >> 12
    parent = [n for n in os.listdir(workdir) if n.startswith("lackey.")]
    # The parent's trace is the one that stores to the marker; the child's does not.
    pages = {}
    for name in parent:
        found = parse_trace(os.path.join(workdir, name), marker, run.stdout)
        if found:
            pages = found
    return pages


def parse_trace(trace, marker, stdout):
    """Distinct pages of each interval between two marker loads, by path."""
    order = [line.split()[1] for line in stdout.splitlines() if line.startswith("path ")]
    access = re.compile(r"^ ?([ILSM]) +([0-9a-f]+),(\d+)")
    intervals = []  # the page sets between consecutive marker loads
    current = None
    touches.clear()
    with open(trace) as f:
        for line in f:
            m = access.match(line)
            if not m:
                continue
            addr, size = int(m.group(2), 16), int(m.group(3))
            first, last = addr >> 12, (addr + max(size, 1) - 1) >> 12
            if m.group(1) == "S" and first == marker:
                if current is not None:
                    intervals.append(current)
                current = set()
                continue
            if current is not None:
                current.add(first)
                current.add(last)
                if EXPLAIN:
                    touches.setdefault(first, set()).add(f"{m.group(1)}{addr:x}")
    if current is not None:
        intervals.append(current)
    # Each path: PAGE_CALLS + 1 markers, so PAGE_CALLS intervals that are one
    # call each, then one that runs on to the next path's first marker.
    per_path = len(intervals) // len(order) if order else 0
    if not order or not intervals or per_path * len(order) != len(intervals):
        return {}
    result = {}
    for i, path in enumerate(order):
        calls = intervals[i * per_path:(i + 1) * per_path - 1]
        result[path] = max(len(s) for s in calls[-2:])  # the last two agree in steady state
        if EXPLAIN:
            explain(path, calls[-1], stdout)
    return result


def explain(path, pages, stdout):
    """Names each page of PATH's last call by the mapping it lies in."""
    maps = []
    for line in stdout.splitlines():
        if line.startswith("map "):
            f = line.split()
            lo, hi = (int(x, 16) for x in f[1].split("-"))
            maps.append((lo, hi, f[2], f[6] if len(f) > 6 else "[anon]"))
    print(f"{path}: {len(pages)} pages")
    for page in sorted(pages):
        addr = page << 12
        where = next((f"{os.path.basename(n)} {perm} +{addr - lo:#x}" for lo, hi, perm, n in maps
                      if lo <= addr < hi), "?")
        print(f"  {addr:#14x} {where:<34} {' '.join(sorted(touches.get(page, ()))[:6])}")


EXPLAIN = False
touches = {}  # page: the accesses seen there (--explain)


def main():
    global EXPLAIN
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("binary")
    ap.add_argument("--explain", action="store_true", help="name each page that each path touches")
    ap.add_argument("--check", action="store_true")
    ap.add_argument("--json")
    args = ap.parse_args()
    EXPLAIN = args.explain
    with tempfile.TemporaryDirectory() as work:
        instr, loop = count_instructions(args.binary, work)
    with tempfile.TemporaryDirectory() as work:
        pages = count_pages(args.binary, work)
    loop_pages = pages.pop("loop", None)

    over = []
    rows = []
    for path, raw, ibudget, pbudget in PATHS:
        i, p = instr[path], pages.get(path)
        extra = f"+{i - instr[raw]}" if raw else ""
        ilimit = plimit = ""
        if ibudget is not None:
            ilimit = f"{'+' if raw else ''}<= {ibudget}"
            if (i - instr[raw] if raw else i) > ibudget + INSTRUCTION_TOLERANCE:
                over.append(f"{path}: {extra or i} instructions, budget {ilimit}")
        if pbudget is not None:
            plimit = f"<= {pbudget}"
            if p is None or p > pbudget + PAGE_TOLERANCE:
                over.append(f"{path}: {p} pages, budget {plimit}")
        rows.append((LABELS[path], i, extra, ilimit, p, plimit))

    print(f"{'path':<40} {'instr':>6} {'over raw':>8} {'budget':>8} {'pages':>6} {'budget':>7}")
    for label, i, extra, ilimit, p, plimit in rows:
        print(f"{label:<40} {i:>6} {extra:>8} {ilimit:>8} {p if p is not None else '?':>6} {plimit:>7}")
    print(f"(the loop's own {loop} instructions per call taken off each; its own {loop_pages} pages"
          " are in each page count)")
    print(f"tolerance: +{INSTRUCTION_TOLERANCE} instructions, +{PAGE_TOLERANCE} pages")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"instructions": instr, "pages": pages, "loop": loop,
                       "loop_pages": loop_pages}, f, indent=1)
    for o in over:
        print("OVER BUDGET: " + o)
    if args.check and over:
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
