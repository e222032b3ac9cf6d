"""Helpers shared by the benchmarks: the native floor program, timing, memory
peaks, the machine's description and the rows of the one table.

Absolute times on shared machines vary from run to run; every benchmark
therefore measures its reference in the same run, interleaved with what it
compares, and reports ratios.
"""

from __future__ import annotations

import dataclasses
import gc
import hashlib
import os
import pathlib
import re
import shlex
import subprocess
import sys
import time
import tracemalloc

ROOT = pathlib.Path(__file__).resolve().parent.parent
BENCH_BUILD = ROOT / "build" / "bench"

# Extra CMake arguments for the native floor, so that it links the same
# OpenSSL as the modules under test (scripts/bench.sh sets it).
NATIVE_CMAKE_ARGS = shlex.split(os.environ.get("CORVANE_BENCH_CMAKE_ARGS", ""))


def native_tool(name: str) -> pathlib.Path:
    """Builds (or brings up to date) and returns the native benchmark program
    `name` of the crypto core, in a build tree of its own per set of CMake
    arguments (one per OpenSSL it links)."""
    key = hashlib.sha256("\0".join(NATIVE_CMAKE_ARGS).encode()).hexdigest()[:10]
    build = BENCH_BUILD / f"native-{key}"
    if not (build / "build.ninja").exists():
        subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
             "-DCORVANE_BUILD_MODULES=OFF", "-DCORVANE_BUILD_BENCH=ON", *NATIVE_CMAKE_ARGS],
            check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "--target", name, "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    return build / name


def per_call(fn, iterations: int, repeats: int = 5) -> float:
    """The best mean time of one call of `fn` over `repeats` runs, in seconds."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(iterations):
            fn()
        best = min(best, (time.perf_counter() - start) / iterations)
    return best


def timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def best_of(fn, repeats: int) -> float:
    """The shortest of `repeats` timed calls of `fn`, garbage collected before each."""
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        best = min(best, timed(fn))
    return best


# ---- memory -------------------------------------------------------------------


def _status_kib(field: str) -> int | None:
    try:
        for line in open("/proc/self/status"):
            if line.startswith(field + ":"):
                return int(line.split()[1])
    except OSError:
        pass
    return None


def _reset_peak_rss() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_extra(prepare, run) -> tuple[float, float | None]:
    """(tracemalloc peak, peak RSS) above the level reached after `prepare()`,
    in bytes, for one call of `run(prepared)`; each measured in a run of its
    own (tracemalloc's bookkeeping would show in the RSS). The RSS figure
    covers native allocations too; it is None where Linux's peak reset is
    not available."""
    state = prepare()
    gc.collect()
    rss = None
    if _reset_peak_rss():
        before = _status_kib("VmRSS")
        run(state)
        peak = _status_kib("VmHWM")
        if before is not None and peak is not None:
            rss = max(0, peak - before) * 1024.0
    del state
    gc.collect()

    state = prepare()
    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    tracemalloc.reset_peak()
    run(state)
    traced = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    del state
    gc.collect()
    return traced, rss


# ---- the machine ------------------------------------------------------------------


def cpu_model() -> str:
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown CPU"


def machine() -> str:
    return f"{cpu_model()}, {os.cpu_count()} cores"


def load_average() -> float:
    try:
        return os.getloadavg()[0]
    except OSError:
        return float("nan")


_VERSION_TEXT = re.compile(rb"OpenSSL (\d+\.\d+\.\d+[a-z0-9-]*)  ?\d+ \w+ \d{4}")


def _openssl_in(path: pathlib.Path) -> str | None:
    try:
        match = _VERSION_TEXT.search(path.read_bytes())
    except OSError:
        return None
    return match.group(1).decode() if match else None


def module_openssl(module) -> str:
    """The OpenSSL behind an extension module: "3.0.19 (shared, libcrypto.so.3)"
    when it links a shared one (by the version text in that library), and
    when it carries its own static copy, which keeps no version text, what
    CORVANE_BENCH_OPENSSL says of it (scripts/bench.sh sets it)."""
    path = pathlib.Path(module.__file__)
    try:
        ldd = subprocess.run(["ldd", str(path)], capture_output=True, text=True, check=False).stdout
    except OSError:
        ldd = ""
    for line in ldd.splitlines():
        if "libcrypto" in line and "=>" in line:
            lib = pathlib.Path(line.split("=>", 1)[1].split("(")[0].strip())
            return f"{_openssl_in(lib) or 'unknown'} (shared, {lib.name})"
    version = _openssl_in(path) or os.environ.get("CORVANE_BENCH_OPENSSL")
    return f"{version} (static)" if version else "linked statically, version unknown"


def python_description() -> str:
    import sysconfig

    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    return f"CPython {sys.version.split()[0]} ({'free-threaded' if free_threaded else 'with GIL'})"


# ---- the table ---------------------------------------------------------------------


@dataclasses.dataclass
class Row:
    """One line of the table: `value` is a ratio (shown as 1.23x) or a share
    (shown as 45.6 %); `target` is (">=" or "<=", bound) or None for a
    reference figure; `note` names the explanation printed under the table."""

    section: str
    label: str
    value: float
    unit: str = "x"  # "x" or "%"
    target: tuple[str, float] | None = None
    note: str | None = None
    detail: str = ""

    def shown(self) -> str:
        if self.value != self.value:  # NaN: not measured
            return "n/a"
        return f"{self.value * 100:.1f} %" if self.unit == "%" else f"{self.value:.2f}x"

    def target_shown(self) -> str:
        if self.target is None:
            return ""
        op, bound = self.target
        sign = "≥" if op == ">=" else "≤"
        return f"{sign} {bound * 100:.0f} %" if self.unit == "%" else f"{sign} {bound:g}x"

    def met(self) -> bool | None:
        if self.target is None or self.value != self.value:
            return None
        op, bound = self.target
        return self.value >= bound if op == ">=" else self.value <= bound

    def verdict(self) -> str:
        met = self.met()
        if met is None:
            return "" if self.target is None else "not measured"
        return "met" if met else "missed"
