"""Helpers shared by the benchmarks: the native floor programs and timing.

Absolute times on shared machines vary from run to run; every benchmark
therefore measures its reference in the same run and prints ratios.
"""

from __future__ import annotations

import os
import pathlib
import subprocess
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
BENCH_BUILD = ROOT / "build" / "bench"


def native_tool(name: str) -> pathlib.Path:
    """Builds (once) and returns the native benchmark program `name`."""
    exe = BENCH_BUILD / name
    if not exe.exists():
        subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(BENCH_BUILD), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
             "-DCORVANE_BUILD_MODULES=OFF", "-DCORVANE_BUILD_BENCH=ON"],
            check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(BENCH_BUILD), "--target", name, "-j2"], check=True,
                       stdout=subprocess.DEVNULL)
    return exe


def per_call(fn, iterations: int, repeats: int = 5) -> float:
    """The best mean time of one call of `fn` over `repeats` runs, in seconds."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(iterations):
            fn()
        best = min(best, (time.perf_counter() - start) / iterations)
    return best


def machine() -> str:
    model = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores"
