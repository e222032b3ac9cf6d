"""pytest plugin of the variant runs (``-p installed_guard``).

The variant runs test the installed wheel, so a stray build tree on sys.path (the
checkout's own ``corvane_core`` directory, an in-place build) must not stand in for
it: after collection, every ``corvane_core`` module loaded must come from the
interpreter's site-packages. On a free-threaded interpreter the run also fails if the
GIL is enabled at the end, which is what happens when an imported extension module
does not declare that it runs without it.
"""

import os
import sys
import sysconfig

import pytest


def _installed_dirs():
    paths = sysconfig.get_paths()
    return {os.path.realpath(paths[name]) for name in ("purelib", "platlib")}


def _outside(path, roots):
    real = os.path.realpath(path)
    return not any(real.startswith(root + os.sep) for root in roots)


def pytest_collection_finish(session):
    import corvane_core  # noqa: F401  (the package at least must resolve)

    roots = _installed_dirs()
    stray = sorted(
        f"{name}: {module.__file__}"
        for name, module in list(sys.modules.items())
        if (name == "corvane_core" or name.startswith("corvane_core."))
        and getattr(module, "__file__", None)
        and _outside(module.__file__, roots)
    )
    if stray:
        raise pytest.UsageError(
            "corvane_core is not the installed wheel (site-packages: "
            + ", ".join(sorted(roots)) + "):\n  " + "\n  ".join(stray)
        )


_gil_enabled = []


def pytest_sessionfinish(session):
    if sysconfig.get_config_var("Py_GIL_DISABLED") and sys._is_gil_enabled():
        _gil_enabled.append(True)
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


def pytest_terminal_summary(terminalreporter):
    if _gil_enabled:
        terminalreporter.section("installed_guard", red=True)
        terminalreporter.write_line("the GIL was enabled during the run on a free-threaded interpreter", red=True)
