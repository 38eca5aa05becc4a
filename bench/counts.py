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
import math
import os
import platform
import re
import subprocess
import sys
import tempfile

SHORT, LONG = 100, 200  # as in counts.cpp

# (path, raw counterpart or None, instruction budget, page budget, held
# instructions). A budget with a counterpart is over the counterpart's count;
# None: not budgeted. The test holds each path to its budget, or, where this
# tree does not reach the budget yet, to the figure it reaches (held: over
# the counterpart likewise), so that nothing grows back meanwhile: see
# bench/NOTES.md for where the rest goes.
PATHS = [
    ("raw_ioctl", None, None, None, None),
    ("nread_kernel", "raw_ioctl", 85, 13, 85),
    ("ready_kernel", "raw_ioctl", 85, 13, 85),
    ("nread_buffered", None, 80, 12, 83),
    ("wait_any_buffered", None, None, None, 815),
    ("raw_ppoll_ioctl", None, None, None, None),
    ("wait_ready", "raw_ppoll_ioctl", 150, 17, 150),
    ("raw_ppoll_ioctl_blocking", None, None, None, None),
    ("wait_blocking", "raw_ppoll_ioctl_blocking", None, None, 348),
    ("raw_outq", None, None, None, None),
    ("nwrite_kernel", "raw_outq", 85, 14, 94),
    ("raw_ppoll_out", None, None, None, None),
    ("writable_kernel", "raw_ppoll_out", 85, 14, 96),
    ("wait_writable_ready", "raw_ppoll_out", 85, 14, 138),
    ("writable_buffered", None, None, None, None),
    ("raw_ppoll_set", None, None, None, None),
    ("wait_any_kernel", "raw_ppoll_set", None, None, None),
    ("raw_epoll_wait", None, None, None, None),
    ("selector_wait_kernel", "raw_epoll_wait", None, None, None),
    ("selector_buffered", None, None, None, 741),
]
LABELS = {
    "raw_ioctl": "raw ioctl(FIONREAD)",
    "nread_kernel": "nread, kernel path",
    "ready_kernel": "ready?, kernel path",
    "nread_buffered": "nread, from the buffer",
    "wait_any_buffered": "IO.wait_any of 2, from a buffer",
    "writable_buffered": "writable?, from the write buffer's room",
    "raw_ppoll_ioctl": "raw ppoll(0) + ioctl",
    "wait_ready": "wait(0), ready pipe",
    "raw_ppoll_ioctl_blocking": "raw ppoll + ioctl + read, sleeps once",
    "wait_blocking": "wait(10) + read, sleeps once",
    "raw_outq": "raw ioctl(SIOCOUTQ), socket",
    "nwrite_kernel": "nwrite, kernel path, socket",
    "raw_ppoll_out": "raw ppoll(0) for POLLOUT",
    "writable_kernel": "writable?, kernel path",
    "wait_writable_ready": "wait_writable(0), empty pipe",
    "raw_ppoll_set": "raw ppoll(0) of 1 + its revents",
    "wait_any_kernel": "IO.wait_any of 1, kernel ready",
    "raw_epoll_wait": "raw epoll_wait(0), 1 ready",
    "selector_wait_kernel": "Selector#wait(0), kernel ready",
    "selector_buffered": "Selector#wait(0), from a buffer",
}

# What a figure may differ by between toolchains, and nothing else: these
# counts are exact for a given build. Another gcc or clang schedules and
# allocates registers differently: 3% of the instructions our code runs
# (the C library's wrappers cancel against the raw counterpart's, which
# calls the same ones). Another C library may put ioctl and ppoll on one
# page or two: one page on the paths that make a system call, none on the
# buffered path, which makes none.
INSTRUCTION_TOLERANCE = 0.03


def instruction_limit(held):
    return held + max(2, math.ceil(held * INSTRUCTION_TOLERANCE))


def page_limit(path, budget):
    return budget + (0 if path == "nread_buffered" else 1)


def valgrind(tool_args, binary, mode, workdir):
    mode = mode if isinstance(mode, list) else [mode]
    cmd = ["valgrind", "--quiet"] + tool_args + [os.path.abspath(binary)] + mode
    return subprocess.run(cmd, cwd=workdir, check=True, capture_output=True, text=True)


def count_instructions(binary, workdir):
    out = os.path.join(workdir, "cg.%p")
    valgrind(["--tool=callgrind", "--collect-atstart=no", "--demangle=no",
              f"--callgrind-out-file={out}"], binary, "instructions", workdir)
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


# The paths whose every function is checked for locked instructions and
# fences: what a program's calls of nread, ready? and wait(0) run.
FENCE_PATHS = ["nread_kernel", "ready_kernel", "nread_buffered", "wait_ready", "nwrite_kernel",
               "writable_kernel", "wait_writable_ready"]
STREAM_PATHS = 4  # the paths the several-streams program counts: the first four

# x86-64 only (where the counts run): a lock prefix, xchg with a memory
# operand (locked without the prefix), and the three fences. xchg between
# registers is fine: "xchg %ax,%ax" is the assembler's two-byte nop.
FENCE = re.compile(r"\b(lock|[msl]fence)\b|\bxchg[bwlq]?\s+[^\s]*\(")


def hot_functions(workdir):
    """(object, symbol) of every function the FENCE_PATHS ran in their longer
    loop, in the runtime and the extension (the C library's are not ours)."""
    found = set()
    for name in os.listdir(workdir):
        if not re.fullmatch(r"cg\.\d+\.\d+", name):
            continue
        objects, functions = {}, {}
        wanted, ob = False, None
        with open(os.path.join(workdir, name)) as f:
            for line in f:
                if line.startswith("desc: Trigger: Client Request: "):
                    wanted = line.split(": ", 3)[3].strip() in {f"{p}/{LONG}" for p in FENCE_PATHS}
                m = re.match(r"(c?ob|c?fn)=\((\d+)\)(?: (.*))?$", line.rstrip("\n"))
                if not m:
                    continue
                kind, key, text = m.groups()
                table = objects if kind.endswith("ob") else functions
                if text:
                    table[key] = text
                if kind == "ob":
                    ob = objects[key]
                elif kind == "fn" and wanted:
                    found.add((ob, functions[key]))
    return {(o, f) for o, f in found
            if re.search(r"/(libzelt\.so[.\d]*|wait\.so|wait_write\.so)$", o)}


def fences_in(functions):
    """Each offending instruction, as 'object symbol: instruction'."""
    bad = []
    for obj, sym in sorted(functions):
        out = subprocess.run(["objdump", "-d", "--no-show-raw-insn", f"--disassemble={sym}", obj],
                             check=True, capture_output=True, text=True).stdout
        body = [line for line in out.splitlines() if re.match(r"^\s+[0-9a-f]+:\t", line)]
        if not body:
            bad.append(f"{os.path.basename(obj)} {sym}: not found to disassemble")
        for line in body:
            insn = line.split("\t", 1)[1]
            if FENCE.search(insn):
                bad.append(f"{os.path.basename(obj)} {sym}: {insn.strip()}")
    return bad


# The heap's padding in the several-streams program (zelt-counts streams
# PAD): bytes taken before each IO object and before the thread's first call.
# 0, a chunk's worth, and sizes that shift the blocks and the thread's entry
# by parts of a page and by pages.
STREAM_PADS = [0, 200, 2100, 3000, 5000]


def count_pages(binary, workdir, mode="pages"):
    log = os.path.join(workdir, "lackey.%p")
    run = valgrind(["--tool=lackey", "--trace-mem=yes", f"--log-file={log}"], binary, mode,
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
        hot = hot_functions(work) if platform.machine() == "x86_64" else set()
    fences = fences_in(hot)
    with tempfile.TemporaryDirectory() as work:
        pages = count_pages(args.binary, work)
    loop_pages = pages.pop("loop", None)
    streams = {}  # path: (the most pages over the pads, the pad that gave it)
    for pad in STREAM_PADS:
        if EXPLAIN:
            print(f"several streams, pad {pad}:")
        with tempfile.TemporaryDirectory() as work:
            for path, n in count_pages(args.binary, work, ["streams", str(pad)]).items():
                if path not in streams or n > streams[path][0]:
                    streams[path] = (n, pad)

    over = []
    rows = []
    for path, raw, ibudget, pbudget, held in PATHS:
        i, p = instr[path], pages.get(path)
        own = i - instr[raw] if raw else i  # what the budget counts
        extra = f"+{own}" if raw else ""
        plus = "+" if raw else ""
        ibud = pbud = istate = ""
        if ibudget is not None:
            ibud = f"{plus}{ibudget}"
            istate = "ok" if own <= ibudget else f"held {plus}{held}"
        if held is not None and own > instruction_limit(held):
            over.append(f"{path}: {plus}{own} instructions, held at {plus}{held}"
                        f" (+{instruction_limit(held) - held} for the toolchain)")
        if pbudget is not None:
            pbud = str(pbudget)
            if p is None or p > page_limit(path, pbudget):
                over.append(f"{path}: {p} pages, budget {pbudget}")
        rows.append((LABELS[path], i, extra, ibud, istate, p, pbud))

    print(f"{'path':<38} {'instr':>6} {'over raw':>8} {'budget':>7} {'':<10} {'pages':>5} {'budget':>6}")
    for label, i, extra, ibud, istate, p, pbud in rows:
        print(f"{label:<38} {i:>6} {extra:>8} {ibud:>7} {istate:<10} {p if p is not None else '?':>5}"
              f" {pbud:>6}")
    print(f"(per call; the loop's own {loop} instructions taken off each; its own {loop_pages}"
          " pages, code and stack, are in each page count)")
    print(f"pages in a program that holds six IO objects on pipes and a socket pair, the most over"
          f" heap paddings of {', '.join(map(str, STREAM_PADS))} bytes:")
    for path, _, _, pbudget, _ in PATHS:
        if path in streams:
            n, pad = streams[path]
            print(f"  {LABELS[path]:<36} {n:>5} {pbudget:>6}   (padding {pad})")
            if n > page_limit(path, pbudget):
                over.append(f"{path}: {n} pages among several streams (padding {pad}),"
                            f" budget {pbudget}")
    if len(streams) != STREAM_PATHS:
        over.append("the several-streams program's page counts are missing")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"instructions": instr, "pages": pages, "loop": loop,
                       "loop_pages": loop_pages,
                       "pages_several_streams": {p: n for p, (n, _) in streams.items()}},
                      f, indent=1)
    if hot:
        names = sorted({f for _, f in hot})
        print(f"locked instructions and fences: {'none' if not fences else len(fences)} in the"
              f" {len(names)} functions of the runtime and the extension that"
              f" {', '.join(FENCE_PATHS)} run:")
        print("  " + " ".join(names))
    elif platform.machine() == "x86_64":
        over.append("no function of the runtime or the extension found in the paths' profiles")
    else:
        print("locked instructions and fences: not checked (x86-64 only)")
    over += [f"a locked instruction or fence on a hot path: {b}" for b in fences]
    for o in over:
        print("OVER BUDGET: " + o)
    if args.check and over:
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
