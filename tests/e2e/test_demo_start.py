"""The demo pointed at a sandbox of its own choosing: it checks that the
sandbox answers before it generates anything, and otherwise says how to
start one."""

from __future__ import annotations

import importlib.util
import socket
import sys
from pathlib import Path

import pytest

_DEMO = Path(__file__).resolve().parents[2] / "demo" / "corvane_demo.py"


def _load_demo():
    # The demo is a script, not an installed module: load it from its file.
    location = importlib.util.spec_from_file_location("corvane_demo", _DEMO)
    module = importlib.util.module_from_spec(location)
    sys.modules["corvane_demo"] = module
    location.loader.exec_module(module)
    return module


corvane_demo = _load_demo()


@pytest.fixture
def closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_a_sandbox_that_does_not_answer_stops_the_demo_before_it_starts(monkeypatch, capsys, closed_port):
    monkeypatch.setattr(corvane_demo, "show_module_logs", lambda: None)  # leaves the loggers as they are
    assert corvane_demo.main(["--sandbox-url", f"http://127.0.0.1:{closed_port}"]) == 1
    printed = capsys.readouterr()
    assert f"no sandbox answers at http://127.0.0.1:{closed_port}" in printed.err
    assert f"python -m corvane_sandbox --port {closed_port}" in printed.err
    assert "== 2." not in printed.out  # no key generated, nothing sent


def test_a_sandbox_that_answers_passes_the_check(sandbox):
    corvane_demo.check_sandbox_answers(sandbox.url)
