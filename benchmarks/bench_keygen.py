"""Key generation: cost per key next to pyca/cryptography, and what another
Python thread keeps of its progress while a key is generated.

- time: `_generate_corvane_connect_private_key` for a 2048-bit key (with a
  stand-in key model whose `create` does nothing) against pyca/cryptography
  doing the same in Python (generate, traditional PEM encrypted under the
  passphrase, Base64), interleaved in the same run. RSA generation time
  varies a lot from key to key (prime search), so medians are compared.
  Both sides do the work in OpenSSL, each in its own: the libcrypto versions
  are printed, as they decide most of the ratio.
- progress: a pure-Python counting thread runs alone, then while the main
  thread generates keys back to back; the share is its counting rate in the
  second case over the first (target at least 90%, GIL build). It needs a
  second core free for the counter, so the same share is measured with a
  native load known to run without the GIL (the machine's own limit). The
  longest stall of a Python thread during one generation tells a released
  GIL (a few ms of scheduling) from a held one (the whole generation) even
  on a busy machine.

Prints figures; asserts nothing about time.
Run: python benchmarks/bench_keygen.py  (with corvane_core importable)
"""

from __future__ import annotations

import base64
import hashlib
import os
import pathlib
import statistics
import sys
import sysconfig
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from _common import Row, machine  # noqa: E402

from corvane_core import corvane_keys  # noqa: E402

try:
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import rsa

    HAVE_PYCA = True
except ImportError:  # a free-threaded interpreter may have no wheel of it
    HAVE_PYCA = False

PASSPHRASE = "benchmark passphrase"
KEY_SIZE = 2048


class _KeyModel:
    """Stands in for env["certificate.key.corvane.connect"]: create keeps nothing."""

    def create(self, vals):
        return vals


class _Record:
    env = {"certificate.key.corvane.connect": _KeyModel()}


_RECORD = _Record()


def module_key() -> None:
    corvane_keys._generate_corvane_connect_private_key(_RECORD, "bench", PASSPHRASE, 65537, KEY_SIZE)


def pyca_key() -> None:
    key = rsa.generate_private_key(public_exponent=65537, key_size=KEY_SIZE)
    pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.TraditionalOpenSSL,
                            serialization.BestAvailableEncryption(PASSPHRASE.encode()))
    base64.b64encode(pem)


_BLOCK = bytes(8 << 20)


def gil_free_control() -> None:
    """Native work that runs with the GIL released throughout (hashlib drops
    it for large buffers): what the machine leaves the counter when the other
    thread never holds the GIL."""
    hashlib.sha256(_BLOCK).digest()


def system_openssl() -> str:
    """Version of the machine's shared libcrypto (what the glibc build of the
    modules links; the musl build carries its own, static), or "unknown"."""
    try:
        import ctypes
        import ctypes.util

        lib = ctypes.CDLL(ctypes.util.find_library("crypto") or "libcrypto.so.3")
        lib.OpenSSL_version.restype = ctypes.c_char_p
        return lib.OpenSSL_version(0).decode()
    except (ImportError, OSError, AttributeError):
        return "unknown"


def _timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def generation_times(keys: int) -> dict[str, float]:
    """Median seconds per key, module and pyca interleaved."""
    module, pyca = [], []
    for _ in range(keys):
        module.append(_timed(module_key))
        if HAVE_PYCA:
            pyca.append(_timed(pyca_key))
    out = {"module": statistics.median(module)}
    if pyca:
        out["pyca"] = statistics.median(pyca)
    return out


def rows(times: dict[str, float], openssl: str) -> list[Row]:
    if "pyca" not in times:
        return [Row("key generation", "2048-bit key: module / pyca/cryptography", float("nan"), target=("<=", 1.1))]
    from cryptography.hazmat.backends.openssl import backend

    return [Row("key generation", "2048-bit key: module / pyca/cryptography (medians)",
                times["module"] / times["pyca"], target=("<=", 1.1), note="keygen",
                detail=f"{times['module'] * 1e3:.0f} ms vs {times['pyca'] * 1e3:.0f} ms per key; OpenSSL "
                       f"{openssl} vs pyca's {backend.openssl_version_text()}")]


def _count_for(seconds: float, out: list) -> None:
    """Pure-Python work: counts loop iterations until `seconds` have passed."""
    n = 0
    deadline = time.perf_counter() + seconds
    while True:
        for _ in range(1000):
            n += 1
        if time.perf_counter() >= deadline:
            break
    out.append(n / seconds)


def counter_rate(seconds: float, load=None) -> float:
    """Counting rate of a second thread, alone or while `load` runs in a loop
    on this thread for as long as the counter counts."""
    out: list[float] = []
    counter = threading.Thread(target=_count_for, args=(seconds, out))
    counter.start()
    if load is not None:
        while counter.is_alive():
            load()
    counter.join()
    return out[0]


def progress_share(load, seconds: float = 1.0, rounds: int = 5) -> float:
    """Median over `rounds` of loaded rate / rate alone, each pair measured
    back to back so that a change of the machine's load affects both."""
    shares = []
    for _ in range(rounds):
        alone = counter_rate(seconds)
        loaded = counter_rate(seconds, load)
        shares.append(loaded / alone)
    return statistics.median(shares)


def longest_stall(load, runs: int = 5) -> tuple[float, float]:
    """The longest time a pure-Python thread went without running a single
    line during `runs` calls of `load` on this thread, and the median call
    time. A call that holds the GIL stalls it for the whole call; one that
    releases it only for scheduler delays (a few ms on a busy machine)."""
    longest, durations = 0.0, []
    for _ in range(runs):
        running, gaps = [True], []

        def watch():
            last = time.perf_counter()
            worst = 0.0
            while running[0]:
                now = time.perf_counter()
                worst = max(worst, now - last)
                last = now
            gaps.append(worst)

        watcher = threading.Thread(target=watch)
        watcher.start()
        time.sleep(0.02)
        durations.append(_timed(load))
        running[0] = False
        watcher.join()
        longest = max(longest, gaps[0])
    return longest, statistics.median(durations)


def main() -> None:
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    print(f"machine: {machine()}, load average {os.getloadavg()[0]:.2f}")
    print(f"python {sys.version.split()[0]}, {'free-threaded' if free_threaded else 'GIL'} build, "
          f"GIL {'enabled' if gil else 'disabled'}")

    print(f"libcrypto: shared one here {system_openssl()}", end="")
    if HAVE_PYCA:
        from cryptography.hazmat.backends.openssl import backend

        print(f"; pyca's own {backend.openssl_version_text()}", end="")
    print()

    times = generation_times(keys=15)
    print(f"_generate_corvane_connect_private_key  {times['module'] * 1e3:8.1f} ms/key (median, {KEY_SIZE} bits)")
    if "pyca" in times:
        print(f"pyca (generate + encrypted PEM)        {times['pyca'] * 1e3:8.1f} ms/key (median)")
        print(f"module / pyca                          {times['module'] / times['pyca']:8.2f}x")
    else:
        print("pyca/cryptography not importable here: no comparison")

    print("progress a pure-Python counting thread keeps while this thread works:")
    module = progress_share(module_key)
    print(f"  key generation (module)              {module * 100:7.1f} %   (target >= 90% with a GIL)")
    if HAVE_PYCA:
        print(f"  key generation (pyca)                {progress_share(pyca_key) * 100:7.1f} %")
    control = progress_share(gil_free_control)
    print(f"  GIL-free native work (control)       {control * 100:7.1f} %   (what the machine's other load leaves)")
    print(f"  module / control                     {module / control * 100:7.1f} %")
    stall, duration = longest_stall(module_key)
    print(f"longest stall of that thread during a generation: {stall * 1e3:.1f} ms "
          f"(generation {duration * 1e3:.1f} ms; a held GIL stalls it throughout)")

if __name__ == "__main__":
    main()
