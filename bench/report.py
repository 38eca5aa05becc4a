"""report.py: the ratio table from one zelt-bench run, and other language
runtimes on this machine beside nread.

usage: report.py RESULTS.json [LABEL=NS_PER_CALL ...]
Prints each benchmark's median, each ratio against its target, then the
ns/call table; exits 1 when a ratio misses its target.
"""
import json
import sys

# Every time is CPU time, which other work on a shared machine disturbs far
# less than the wall clock: the calling thread's, or for the ping-pongs the
# whole process's (both threads, kernel included), reported under
# "NAME/process_time".

ORDER = ["raw_ioctl", "nread_kernel", "ready_kernel", "nread_buffered",
         "raw_ppoll_ioctl", "wait_ready", "pingpong_raw", "pingpong_wait"]

RATIOS = [  # (numerator, denominator, at most)
    ("nread_kernel", "raw_ioctl", 1.10),
    ("ready_kernel", "raw_ioctl", 1.10),
    ("nread_buffered", "raw_ioctl", 0.15),
    ("wait_ready", "raw_ppoll_ioctl", 1.10),
    ("pingpong_wait", "pingpong_raw", 1.10),
]

TO_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def medians(path):
    """Benchmark name -> (median ns, coefficient of variation or None)."""
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    out, cv = {}, {}
    for run in runs:
        if run.get("run_type") != "aggregate":
            continue
        name = run["run_name"].split("/")[0]
        if run["aggregate_name"] == "median":
            out[name] = run["cpu_time"] * TO_NS[run["time_unit"]]
        elif run["aggregate_name"] == "cv":
            cv[name] = run["cpu_time"]
    return {name: (ns, cv.get(name)) for name, ns in out.items()}


def main(argv):
    results = medians(argv[1])
    print(f"{'benchmark':<18}{'median ns':>12}{'cv':>8}")
    for name in sorted(results, key=lambda n: ORDER.index(n) if n in ORDER else len(ORDER)):
        ns, cv = results[name]
        spread = f"{cv * 100:.1f}%" if cv is not None else "-"
        print(f"{name:<18}{ns:>12.1f}{spread:>8}")

    print(f"\n{'ratio':<34}{'measured':>9}{'target':>10}  result")
    missed = 0
    for top, bottom, limit in RATIOS:
        label, target = f"{top} / {bottom}", f"<= {limit:.2f}"
        if top not in results or bottom not in results:
            print(f"{label:<34}{'-':>9}{target:>10}  FAIL (not measured)")
            missed += 1
            continue
        ratio = results[top][0] / results[bottom][0]
        ok = ratio <= limit
        missed += not ok
        print(f"{label:<34}{ratio:>9.3f}{target:>10}  {'PASS' if ok else 'FAIL'}")

    peers = [arg.split("=", 1) for arg in argv[2:]]
    if peers and "nread_kernel" in results:
        print(f"\n{'input query, pipe holding one byte':<40}{'ns/call':>9}")
        print(f"{'zelt: nread (nread_kernel)':<40}{results['nread_kernel'][0]:>9.1f}")
        for label, ns in peers:
            print(f"{label:<40}{ns:>9}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
