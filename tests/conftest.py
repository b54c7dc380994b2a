"""A watchdog over every test, and what the suite leaves out on a
free-threaded interpreter.

A test that hangs ends the run, with every thread's traceback, once it has run
longer than WATCHDOG_SECONDS times MANILINK_WATCHDOG_SCALE (default 1; the
sanitizer, valgrind, emulated and free-threaded runs raise it; 0 turns the
watchdog off, for a debugger). faulthandler's timer runs on a C thread of its
own, so it fires even while the module spins holding the GIL, where a timeout
run by the interpreter would wait forever.

A free-threaded build refuses to import a single-phase module (such as
manilink) in a sub-interpreter at all, so the tests of how a sub-interpreter's
import is refused or taken have nothing to check there. They are found by
what they call, so that a new one is skipped too.

The address-space limit that makes a call on a 64 MiB text fail sits, on a
GIL build, between the allocations of that call. The free-threaded build's
allocator (mimalloc) reserves about 1 GiB of address space at start-up and
serves the call from it, so that limit falls elsewhere or not at all.

The `fault` fixture sets the test-only fault switch (MANILINK_FAULT) of a
build with -DMANILINK_FAULT_INJECTION=ON; other builds skip its tests, unless
MANILINK_REQUIRE_FAULT_INJECTION=1 makes that a failure.
"""

import faulthandler
import inspect
import os
import sysconfig

import pytest

# The slowest test takes 5 s on 2 idle cores, and has taken over 30 s on 2
# cores shared with a dozen busy processes.
WATCHDOG_SECONDS = 60 * float(os.environ.get("MANILINK_WATCHDOG_SCALE", "1"))
_stderr = None


def pytest_configure(config):
    # pytest redirects fd 2 while a test runs: the dump goes to a copy of
    # the real one, taken here, between its captures.
    global _stderr
    _stderr = os.dup(2)


@pytest.hookimpl(wrapper=True)
def pytest_runtest_protocol(item, nextitem):
    if WATCHDOG_SECONDS > 0:
        faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True, file=_stderr)
    try:
        return (yield)
    finally:
        faulthandler.cancel_dump_traceback_later()


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
SUBINTERPRETER_CALLS = ("run_in_subinterp", "_interpreters", "_xxsubinterpreters")
SUBINTERPRETER_REASON = "free-threaded builds refuse single-phase modules in sub-interpreters"


def uses_subinterpreters(item):
    function = getattr(item, "function", None)
    try:
        source = inspect.getsource(function)
    except (OSError, TypeError):
        return False
    return any(call in source for call in SUBINTERPRETER_CALLS)


MEMORY_LIMIT_TEST = "test_memory_limit_fails_the_call_not_the_process"
MEMORY_LIMIT_REASON = (
    "the free-threaded allocator (mimalloc) reserves address space up "
    "front: the limit does not fall inside this call"
)


def limit_depends_on_allocator(item):
    return getattr(item, "originalname", None) == MEMORY_LIMIT_TEST


def pytest_collection_modifyitems(config, items):
    if not FREE_THREADED:
        return
    for item in items:
        if uses_subinterpreters(item):
            item.add_marker(pytest.mark.skip(reason=SUBINTERPRETER_REASON))
        elif limit_depends_on_allocator(item):
            item.add_marker(pytest.mark.skip(reason=MEMORY_LIMIT_REASON))


@pytest.fixture
def fault(monkeypatch):
    import manilink

    monkeypatch.setenv("MANILINK_FAULT", "lose-error")
    try:
        injected = manilink.encode_target("a") != "a"
    except SystemError:  # what the switch makes of it
        injected = True
    monkeypatch.delenv("MANILINK_FAULT")
    if not injected:
        if os.environ.get("MANILINK_REQUIRE_FAULT_INJECTION") == "1":
            pytest.fail("the module was built without fault injection")
        pytest.skip("build with -DMANILINK_FAULT_INJECTION=ON")
    return lambda setting: monkeypatch.setenv("MANILINK_FAULT", setting)
