"""What the suite leaves out on a free-threaded interpreter.

A free-threaded build refuses to import a single-phase module (such as
manilink) in a sub-interpreter at all, so the tests of how a sub-interpreter's
import is refused or taken have nothing to check there. They are found by
what they call, so that a new one is skipped too.
"""

import inspect
import sysconfig

import pytest

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
SUBINTERPRETER_CALLS = ("run_in_subinterp", "_interpreters", "_xxsubinterpreters")
SUBINTERPRETER_REASON = ("free-threaded builds refuse single-phase modules in "
                         "sub-interpreters")


def uses_subinterpreters(item):
    function = getattr(item, "function", None)
    try:
        source = inspect.getsource(function)
    except (OSError, TypeError):
        return False
    return any(call in source for call in SUBINTERPRETER_CALLS)


def pytest_collection_modifyitems(config, items):
    if not FREE_THREADED:
        return
    skip = pytest.mark.skip(reason=SUBINTERPRETER_REASON)
    for item in items:
        if uses_subinterpreters(item):
            item.add_marker(skip)
