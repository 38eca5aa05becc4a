# fionread.py: ns per FIONREAD query on a pipe holding one byte, in a loop
# of this runtime's own; the median of five batches.
import fcntl, os, statistics, sys, termios, time

calls = int(sys.argv[1]) if len(sys.argv) > 1 else 200000
r, w = os.pipe()
os.write(w, b"x")
count = bytearray(4)  # filled in place
batches = []
for _ in range(5):
    start = time.perf_counter_ns()
    for _ in range(calls):
        fcntl.ioctl(r, termios.FIONREAD, count)
    batches.append((time.perf_counter_ns() - start) / calls)
print(f"{statistics.median(batches):.1f}")
