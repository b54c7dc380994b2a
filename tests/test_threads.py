"""Calls from several threads at once.

On a free-threaded interpreter the calls really run in parallel; on a GIL
build the switch interval is shortened so that threads still interleave
inside the argument conversion (which runs Python code). Every result must be
the one a single thread gets. MANILINK_THREAD_ROUNDS scales the work (the
free-threaded CI stage raises it).
"""

import os
import sys
import sysconfig
import threading

import pytest

import manilink

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
ROUNDS = int(os.environ.get("MANILINK_THREAD_ROUNDS", "20"))
THREADS = 4


def lk(target, rel="c2pa-manifest"):
    return "<%s>; rel=%s" % (target, rel)


class Items:
    """A sequence that is not a list: Python code runs for every item."""

    def __init__(self, items, error=None):
        self.items, self.error = items, error

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == len(self.items) and self.error is not None:
            raise self.error("from __getitem__")
        return self.items[i]


RESPONSE = [
    '</next>; rel="next", </c2pa/a.c2pa>; rel="c2pa-manifest"; type="application/c2pa"',
    '<https://cdn.example.com/x.jpg#jumbf=c2pa>; rel="c2pa-manifest"',
]
SHARED_LIST = [lk("a"), lk("a%20b#jumbf=c2pa/urn:uuid:1"), "garbage", ""]
SHARED_ITEMS = Items([lk("x.jpg#jumbf=c2pa"), lk("y", "next")])

CASES = [
    # valid
    ("format", "https://example.com/a b/\u00e9.c2pa"),
    ("format_strict", "https://example.com/manifests/1.c2pa"),
    ("encode_target", "https://example.com/a%20b/\u00e9?q=1#f"),
    ("extract", SHARED_LIST),
    ("extract", tuple(SHARED_LIST)),
    ("locate_all", SHARED_LIST),
    ("locate_all", SHARED_ITEMS),
    ("extract", [RESPONSE[0]]),
    # hostile
    ("format", "a\r\nSet-Cookie: x=1"),
    ("encode_target", '\x00\x7f<>"{}|\\^`' * 50),
    ("locate_all", [lk("\u00e9\U0001f600#jumbf=\u00e9/z")] * 20),
    ("extract", ["<" * 1000, ", ;" * 1000, lk("a\x00")]),
    # raising
    ("format", ""),
    ("format_strict", "a b"),
    ("encode_target", "\ud800"),
    ("format", b"x"),
    ("extract", RESPONSE),
    ("extract", [lk("a"), None]),
    ("extract", "<a>"),
    ("locate_all", Items([lk("a")], KeyError)),
    ("locate_all", [lk("a"), "\udc00"]),
]


def outcome(name, argument):
    try:
        return "value", getattr(manilink, name)(argument)
    except Exception as error:  # each kind and text is compared, not just caught
        return "error", type(error), str(error)


@pytest.fixture
def interleaved():
    """Threads of a GIL build switch about every 10 microseconds."""
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(previous)


def run_threads(count, work):
    """Runs work(index) in `count` threads started together; re-raises the first
    exception a thread raised."""
    barrier = threading.Barrier(count)
    failures = []

    def body(index):
        try:
            barrier.wait()
            work(index)
        except BaseException as error:  # reported by the main thread
            failures.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]


@pytest.mark.skipif(not FREE_THREADED, reason="a GIL build has no GIL to leave disabled")
def test_import_leaves_the_gil_disabled():
    assert not sys._is_gil_enabled()


def test_every_thread_gets_the_single_threaded_result(interleaved):
    expected = [outcome(name, argument) for name, argument in CASES]
    seen = [[] for _ in range(THREADS)]

    def work(index):
        # Each thread walks the cases from its own starting point, so that
        # different functions run at the same moment.
        order = list(range(len(CASES)))
        order = order[index * 5 % len(order) :] + order[: index * 5 % len(order)]
        for _ in range(ROUNDS):
            for i in order:
                got = outcome(*CASES[i])
                if got != expected[i]:
                    seen[index].append((CASES[i], got, expected[i]))

    run_threads(THREADS, work)
    mismatches = [m for per_thread in seen for m in per_thread]
    assert not mismatches, mismatches[:3]


# A list that another thread changes is always a prefix of SEQUENCE, so every
# read of it sees SEQUENCE[:k] for some k, and every outcome must be that of
# some prefix: a result, or the exception that prefix raises.
SEQUENCE = [
    lk("a"),
    lk("a") + ", " + lk("a", "next"),
    "",
    lk("a#jumbf=c2pa"),
    lk("b"),
    lk("c"),
    42,
    lk("d"),
]


@pytest.mark.parametrize("name", ["extract", "locate_all"])
def test_a_list_changed_meanwhile_reads_as_one_of_its_prefixes(interleaved, name):
    allowed = [outcome(name, SEQUENCE[:k]) for k in range(len(SEQUENCE) + 1)]
    values = []
    done = threading.Event()
    seen = []

    def mutate():
        step = 0
        while not done.is_set():
            step += 1
            # Grows by one item in about three steps, with pops on the way, up
            # to the whole SEQUENCE; now and then cleared early.
            if len(values) == len(SEQUENCE) or step % 29 == 0:
                del values[:]
            elif step % 3 == 0 and values:
                values.pop()
            else:
                values.append(SEQUENCE[len(values)])

    def work(index):
        if index == 0:
            mutate()
            return
        func = getattr(manilink, name)
        try:
            for _ in range(ROUNDS * 50):
                try:
                    got = "value", func(values)
                except Exception as error:
                    got = "error", type(error), str(error)
                if got not in allowed:
                    seen.append(got)
        finally:
            done.set()

    run_threads(3, work)
    assert not seen, seen[:3]
