import gc
import os
import sys
import threading
import tracemalloc

import pytest

import manilink

LINK, OTHER = "<a>; rel=c2pa-manifest", "<b#JUMBF=c2pa/x>; rel=c2pa-manifest"


class FailingSeq:
    def __init__(self, exc_type):
        self.exc_type = exc_type

    def __getitem__(self, i):
        if i:
            raise self.exc_type("stop")  # a fresh exception each time
        return LINK


F, S, E, X, L = (
    manilink.format,
    manilink.format_strict,
    manilink.encode_target,
    manilink.extract,
    manilink.locate_all,
)
# every outcome: success, link error, binding error, conversion errors, errors while iterating
CALLS = [
    (F, ("a b\u00e9",), {}),
    (F, ("",), {}),
    (S, ("a b",), {}),
    (S, ("a/b",), {}),
    (E, ("a b\u00e9",), {}),
    (E, ("\ud800",), {}),
    (F, (), {"uri": "x"}),
    (F, ("x", "x"), {}),
    (F, ("x",), {"uri": "x"}),
    (F, (), {"url": "x"}),
    (F, (), {}),
    (F, (5,), {}),
    (X, ([LINK, LINK + ", " + LINK],), {}),
    (X, ([LINK, OTHER],), {}),
    (X, ([],), {}),
    (X, (LINK,), {}),
    (X, (None,), {}),
    (X, ([LINK, 5],), {}),
    (X, ([LINK, "\udc00"],), {}),
    (X, (FailingSeq(TypeError),), {}),
    (X, (FailingSeq(ValueError),), {}),
    (L, ([LINK, OTHER],), {}),
    (L, (), {"values": [OTHER]}),
    (L, (FailingSeq(TypeError),), {}),
]


def _run(func, args, kwargs, n):
    for _ in range(n):
        try:
            func(*args, **kwargs)
        except (ValueError, TypeError):
            pass


def _immortal(obj):
    """True for an immortal object (3.14+ tells: sys._is_immortal). A module
    built for the 3.9 stable ABI still increments an immortal object's count,
    which the interpreter then never decrements, so that count grows by one
    per reference taken and says nothing about leaks."""
    is_immortal = getattr(sys, "_is_immortal", None)
    return is_immortal is not None and is_immortal(obj)


@pytest.mark.parametrize("func,args,kwargs", CALLS)
def test_reference_counts_do_not_drift(func, args, kwargs):
    # The module and the function object are mortal: a call that kept or
    # dropped a reference to either would show, whatever the arguments are.
    watched = [manilink, func, None, True, False, *args, *kwargs.values(), *kwargs]
    watched += [x for a in watched if isinstance(a, list) for x in a]
    watched = [o for o in watched if not _immortal(o)]
    _run(func, args, kwargs, 200)
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    _run(func, args, kwargs, 20000)
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    # one reference kept or dropped per call would move a count by 20000
    assert all(abs(b - a) < 1000 for a, b in zip(before, after)), (before, after)


def test_memory_does_not_grow():
    tracemalloc.start()
    try:
        for call in CALLS:
            _run(*call, 100)
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        for call in CALLS:
            _run(*call, 5000)
        gc.collect()
        assert tracemalloc.get_traced_memory()[0] - start < 2 * 1024 * 1024
    finally:
        tracemalloc.stop()
    if not os.path.exists("/proc/self/statm"):
        return
    big_uri = "\u00e9 x" * (256 * 1024)
    big = ["<%s#jumbf=c2pa/y>; rel=c2pa-manifest, " % ("p" * 200000)] * 4
    calls = [(E, big_uri), (F, big_uri), (S, big_uri), (L, big), (X, big), (X, big + [LINK])]
    for func, arg in calls:
        _run(func, (arg,), {}, 5)
    start = _resident()
    for func, arg in calls:
        _run(func, (arg,), {}, 150)
    # a leaked copy of each input of about 1 MiB would add about 150 MiB
    assert _resident() - start < 64 * 1024 * 1024


def _resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _outcome(func, arg):
    try:
        return func(arg)
    except (ValueError, TypeError) as e:
        return (type(e), e.args)


def test_concurrent_calls_give_the_same_answers():
    work = [
        (F, "a b/\u00e9"),
        (S, "a b"),
        (E, "<x>"),
        (X, [LINK, LINK]),
        (X, [LINK, OTHER]),
        (L, [LINK, OTHER]),
        (L, "not a list"),
        (X, [OTHER]),
    ]
    expected = [_outcome(f, a) for f, a in work]
    failures, barrier = [], threading.Barrier(8)

    def worker(seed):
        barrier.wait()
        for i in range(3000):
            k = (i * 7 + seed) % len(work)
            if _outcome(*work[k]) != expected[k]:
                failures.append(k)

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
