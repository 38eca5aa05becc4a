# wait_any.py: ns per one-shot wait for input on N streams, one of them
# ready, with this runtime's selectors.DefaultSelector: a selector made, the
# N streams registered, one select with a zero limit, the selector closed,
# as a program with a list of streams makes one wait. The streams are both
# ends of socket pairs, the last one holding a byte. Prints "N NS" a line,
# each the median of five batches.
import resource, selectors, socket, statistics, sys, time

soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
for n in [int(a) for a in sys.argv[1:]] or [1, 10, 100, 1000, 10000]:
    pairs = [socket.socketpair() for _ in range((n + 1) // 2)]
    streams = [s for p in pairs for s in p][:n]
    writer = pairs[-1][1] if n % 2 else pairs[-1][0]  # the last stream's peer
    writer.send(b"x")
    calls = max(3, 200000 // (n * 4 + 50))
    batches = []
    for _ in range(5):
        start = time.perf_counter_ns()
        for _ in range(calls):
            with selectors.DefaultSelector() as sel:
                for s in streams:
                    sel.register(s, selectors.EVENT_READ)
                ready = sel.select(0)
        batches.append((time.perf_counter_ns() - start) / calls)
    assert [k.fileobj for k, _ in ready] == [streams[-1]], ready
    print(n, f"{statistics.median(batches):.1f}")
    for a, b in pairs:
        a.close()
        b.close()
