"""Throughput of manilink with one and with two threads.

    python benchmarks/threads.py [--seconds S] [--rounds R] [--json OUT]

Times `extract` on a typical response and `encode_target` on a 40-byte URL:
the same number of calls per thread (about S seconds' worth for one thread),
run by one thread and then by two at once; the figure is the total calls per second, and the scaling is the
two-thread figure over the one-thread one (2.0 is perfect, a GIL build gives
at most 1.0). Best of R rounds each.

Two ways of calling:

- own: each thread calls through its own wrapper
  (`functools.partial(manilink.extract)`) with its own copy of the argument,
  both made in that thread. On a free-threaded interpreter an object is
  counted cheaply only by the thread that made it; every other thread
  updates its reference count atomically, on one shared cache line.
- shared: every thread calls the module's function object with one argument
  object made by the main thread: what a naive server does, and what the
  reference counts of those two objects then cost.

A plain Python loop and `len` on a shared object are timed the same way,
as the machine's and the interpreter's own figures.
"""

import argparse
import functools
import json
import os
import platform
import sys
import sysconfig
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workloads

import manilink

URL40 = "https://example.com/media/photo-0001.jpg"
assert len(URL40.encode()) == 40


def fresh(value):
    """A copy of `value` made of new objects (str and list), owned by the
    calling thread."""
    if isinstance(value, str):
        return (value + ".")[:-1]
    return [fresh(item) for item in value]


def python_loop(n):
    total = 0
    for i in range(n):
        total += i & 7
    return total


# name: (function, argument)
WORKLOADS = {
    "extract typical": (manilink.extract, workloads.typical_response()),
    "encode_target url40": (manilink.encode_target, URL40),
    "len (interpreter)": (len, workloads.typical_response()),
}


def run_threads(threads, prepare):
    """Seconds from the start until `threads` threads have each run the work
    that `prepare()`, called in that thread beforehand, returns."""
    barrier = threading.Barrier(threads + 1)
    finished = []

    def body():
        work = prepare()
        barrier.wait()
        work()
        finished.append(time.perf_counter())

    workers = [threading.Thread(target=body) for _ in range(threads)]
    for worker in workers:
        worker.start()
    barrier.wait()
    start = time.perf_counter()
    for worker in workers:
        worker.join()
    return max(finished) - start


def run_once(threads, calls, function, argument, own):
    """Seconds for `threads` threads to make `calls` calls each."""

    def prepare():
        if own:
            call, arg = functools.partial(function), fresh(argument)
        else:
            call, arg = function, argument

        def work(call=call, arg=arg):
            for _ in range(calls):
                call(arg)

        return work

    return run_threads(threads, prepare)


def run_loop(threads, calls):
    return run_threads(threads, lambda: functools.partial(python_loop, calls))


def calibrate(seconds, timer):
    """How many calls one thread makes in about `seconds` (timer(n) times n)."""
    calls = 1000
    while True:
        took = timer(calls)
        if took >= seconds / 4:
            return max(1000, int(calls * seconds / took))
        calls *= 4


def measure(rounds, timer):
    """Best calls/s with one thread and with two, interleaved round by round."""
    best = {1: 0.0, 2: 0.0}
    for _ in range(rounds):
        for threads in (1, 2):
            calls, seconds = timer(threads)
            best[threads] = max(best[threads], calls * threads / seconds)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--seconds",
        type=float,
        default=0.3,
        help="about how long one thread's share of a run takes",
    )
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--json", help="also write the figures to this file")
    options = parser.parse_args()

    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    build = "%s %s%s, GIL %s" % (
        platform.python_implementation(),
        platform.python_version(),
        "t" if free_threaded else "",
        "enabled" if gil else "disabled",
    )
    print(
        "%s, %d CPUs, about %.2f s per thread and run, best of %d"
        % (build, os.cpu_count() or 0, options.seconds, options.rounds)
    )
    rows = []
    for name, (function, argument) in WORKLOADS.items():
        for own in (True, False):
            calls = calibrate(
                options.seconds,
                lambda n, f=function, a=argument, o=own: run_once(1, n, f, a, o),
            )
            best = measure(
                options.rounds,
                lambda threads, c=calls, f=function, a=argument, o=own: (
                    c,
                    run_once(threads, c, f, a, o),
                ),
            )
            rows.append((name, "own" if own else "shared", best[1], best[2]))
    loop = calibrate(options.seconds, lambda n: run_loop(1, n))
    best = measure(options.rounds, lambda threads: (loop, run_loop(threads, loop)))
    rows.append(("python loop (machine)", "own", best[1], best[2]))

    print(
        "%-22s %-7s %14s %14s %8s"
        % ("workload", "objects", "1 thread /s", "2 threads /s", "scaling")
    )
    for name, mode, one, two in rows:
        print("%-22s %-7s %14.0f %14.0f %7.2fx" % (name, mode, one, two, two / one))
    if options.json:
        with open(options.json, "w") as out:
            json.dump(
                {
                    "build": build,
                    "cpus": os.cpu_count(),
                    "seconds": options.seconds,
                    "rows": [
                        {"workload": n, "objects": m, "one": a, "two": b, "scaling": b / a}
                        for n, m, a, b in rows
                    ],
                },
                out,
                indent=1,
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
