"""Threads: how signing scales across threads, and what a busy Python thread
keeps of its progress while the modules work.

- free-threaded build (run this file under that interpreter, with the wheel
  installed): signing throughput (`_signature_headers`, small body) of two
  threads against one, each thread with its own records and headers. The
  machine's own figure comes alongside: the native floor
  (benchmarks/sign_floor.cpp) signing in two threads against one, which
  needs no interpreter at all; on a machine whose cores are busy with other
  work it is well below 2x, and the module's figure cannot be above it.
- GIL build: signing throughput while one busy pure-Python thread runs
  alongside, as a share of signing alone (a signature keeps the GIL: the
  two threads take turns at the switch interval, and no convoy may form);
  and the share of a pure-Python thread's progress kept while another thread
  generates keys or digests a 64 MB body (both release the GIL), next to the
  share it keeps beside native work that never holds the GIL (the machine's
  limit).

Rounds are interleaved so that a change of the machine's load affects both
sides of a ratio alike.

Run: python benchmarks/bench_threads.py  (with corvane_core importable; on a
free-threaded interpreter it measures the scaling, on a GIL build the rest)
"""

from __future__ import annotations

import base64
import json
import pathlib
import statistics
import sys
import sysconfig
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from _common import Row, machine  # noqa: E402
from bench_sign import plain_user  # noqa: E402

from corvane_core import corvane_user  # noqa: E402

TARGET = "get /corvane-connect/accounts?offset=0&size=20"


def _run_until(work, deadline: float, counts: list, index: int, barrier) -> None:
    barrier.wait()
    n = 0
    while time.perf_counter() < deadline:
        work()
        n += 1
    counts[index] = n


def _signer(pem_b64: str, body=None):
    user = plain_user(pem_b64)
    headers = {"Authorization": "Bearer token"}
    sign = corvane_user._signature_headers
    payload = body if body is not None else {}
    return lambda: sign(user, headers, payload, TARGET)


def throughput(works: list, seconds: float) -> float:
    """Calls per second of all `works` together, each run in a loop by a
    thread of its own for `seconds`."""
    counts = [0] * len(works)
    barrier = threading.Barrier(len(works) + 1)
    deadline = time.perf_counter() + seconds + 0.05
    workers = [threading.Thread(target=_run_until, args=(work, deadline, counts, i, barrier))
               for i, work in enumerate(works)]
    for worker in workers:
        worker.start()
    barrier.wait()
    start = time.perf_counter()
    for worker in workers:
        worker.join()
    return sum(counts) / (time.perf_counter() - start)


def signing_throughput(pem_b64: str, threads: int, seconds: float) -> float:
    """Signatures per second of `threads` threads signing for `seconds`."""
    return throughput([_signer(pem_b64) for _ in range(threads)], seconds)


def scaling(pem_b64: str, rounds: int = 5, seconds: float = 1.0) -> dict[str, float]:
    """Best throughput of one and of two threads over interleaved rounds."""
    signing_throughput(pem_b64, 1, 0.2)
    best = {1: 0.0, 2: 0.0}
    for _ in range(rounds):
        for threads in (1, 2):
            best[threads] = max(best[threads], signing_throughput(pem_b64, threads, seconds))
    return {"one": best[1], "two": best[2], "ratio": best[2] / best[1]}


# ---- a busy Python thread beside the modules (GIL build) -------------------------------


def _busy(stop: list) -> None:
    n = 0
    while not stop[0]:
        for _ in range(1000):
            n += 1


def gil_holding_control(seconds_per_call: float):
    """A call that keeps the GIL for about `seconds_per_call`, like one
    signature: CPython's own modular exponentiation of 2048-bit numbers,
    its exponent length calibrated here."""
    modulus = (1 << 2047) + 1234567
    base = (1 << 2046) + 7654321

    def call_with(bits):
        exponent = (1 << bits) - 1
        return lambda: pow(base, exponent, modulus)

    probe = call_with(256)
    start = time.perf_counter()
    for _ in range(20):
        probe()
    per_bit = (time.perf_counter() - start) / 20 / 256
    return call_with(max(16, int(seconds_per_call / per_bit)))


def share_beside_busy_thread(work, rounds: int, seconds: float) -> float:
    """Median over rounds of: throughput of `work` with a busy pure-Python
    thread alongside / its throughput alone, measured back to back."""
    shares = []
    for _ in range(rounds):
        alone = throughput([work], seconds)
        stop = [False]
        busy = threading.Thread(target=_busy, args=(stop,))
        busy.start()
        try:
            beside = throughput([work], seconds)
        finally:
            stop[0] = True
            busy.join()
        shares.append(beside / alone)
    return statistics.median(shares)


def signing_beside_busy_thread(pem_b64: str, rounds: int = 5, seconds: float = 1.0) -> dict[str, float]:
    """The share signing keeps beside a busy Python thread, and the share a
    call of the same length that keeps the GIL keeps (the control: what the
    interpreter's switching and the machine's load allow)."""
    sign = _signer(pem_b64)
    per_sign = 1.0 / throughput([sign], 0.3)
    control = gil_holding_control(per_sign)
    out = {"signing": [], "control": []}
    for _ in range(rounds):
        out["signing"].append(share_beside_busy_thread(sign, 1, seconds))
        out["control"].append(share_beside_busy_thread(control, 1, seconds))
    return {name: statistics.median(values) for name, values in out.items()}


def bodies_beside_busy_thread(pem_b64: str, rounds: int = 3) -> dict[str, tuple[float, float]]:
    """For bodies below the size from which the digest releases the lock (a
    4 KB one, hashed in microseconds, and a 64 KB one): the share of its
    throughput the signing thread keeps beside a busy Python thread, and the
    share of its progress the busy thread keeps beside the signing one."""
    import bench_keygen

    out = {}
    for label, body in (("4 KB", "<x/>" * 1024), ("64 KB", "<x/>" * 16384)):
        sign = _signer(pem_b64, body=body)
        out[label] = (share_beside_busy_thread(sign, rounds, 1.0), bench_keygen.progress_share(sign, rounds=rounds))
    return out


def progress_beside(pem_b64: str, keygen_rounds: int = 5) -> dict[str, float]:
    """Share of a counting Python thread's progress kept while this thread
    generates keys, digests a 64 MB body through `_signature_headers`, or
    runs native work that never holds the GIL (the control)."""
    import bench_keygen

    body = "x" * (64 * 1024 * 1024)
    user = plain_user(pem_b64)

    def digest():
        corvane_user._signature_headers(user, {}, body, "post /corvane-connect/bulk-payment-initiation-requests")

    return {"keygen": bench_keygen.progress_share(bench_keygen.module_key, rounds=keygen_rounds),
            "digest": bench_keygen.progress_share(digest, rounds=keygen_rounds),
            "control": bench_keygen.progress_share(bench_keygen.gil_free_control, rounds=keygen_rounds)}


def gil_rows(busy: dict[str, float], bodies: dict[str, tuple[float, float]], progress: dict[str, float]) -> list[Row]:
    control = progress["control"]
    return [
        Row("threads", "GIL build: signing beside a busy Python thread / signing alone", busy["signing"], unit="%",
            target=(">=", 0.4), note="switching",
            detail=f"{busy['signing'] / busy['control'] * 100:.0f} % of the control"),
        Row("threads", "GIL build: the same for a C call of that length keeping the GIL (control)",
            busy["control"], unit="%", note="switching"),
        *(Row("threads", f"GIL build: the same, signing a {label} body", signer, unit="%", note="threshold",
              detail=f"the busy thread keeps {kept * 100:.0f} % of its progress")
          for label, (signer, kept) in bodies.items()),
        Row("threads", "GIL build: Python thread's progress kept while another generates keys", progress["keygen"],
            unit="%", target=(">=", 0.9), note="cores",
            detail=f"{progress['keygen'] / control * 100:.0f} % of the control"),
        Row("threads", "GIL build: Python thread's progress kept while another digests 64 MB", progress["digest"],
            unit="%", target=(">=", 0.9), note="cores",
            detail=f"{progress['digest'] / control * 100:.0f} % of the control"),
        Row("threads", "GIL build: the same beside native work that never holds the GIL (control)", control,
            unit="%", note="cores"),
    ]


def free_threaded_rows(ft: dict | None, native: dict[str, float] | None) -> list[Row]:
    if ft is None:
        return [Row("threads", "free-threaded build: signing, 2 threads / 1 thread", float("nan"),
                    target=(">=", 1.8), note="ft-missing")]
    out = [Row("threads", "free-threaded build: signing, 2 threads / 1 thread", ft["ratio"], target=(">=", 1.8),
               note="cores", detail=f"{ft['one']:.0f} vs {ft['two']:.0f} signatures/s; {ft['python']}, "
                                    f"OpenSSL {ft['openssl']}")]
    if native is not None:
        out.append(Row("threads", "native floor, 2 threads / 1 thread (the machine's limit)", native["ratio"],
                       note="cores"))
    return out


def native_scaling(key_file, rounds: int = 1, iterations: int = 4000) -> dict[str, float]:
    """The native floor's best throughput (signatures per second) in one
    and in two threads over `rounds` rounds; each run lasts about as long as
    a round of the interpreter's (a second), so that both see the machine's
    load alike."""
    import tempfile

    from _common import native_tool
    from bench_sign import floor_us

    floor = native_tool("sign_floor")
    with tempfile.TemporaryDirectory() as tmp:
        message_file = pathlib.Path(tmp, "message")
        message_file.write_bytes(b"(request-target): get /corvane-connect/accounts\nhost: h\ndigest: d\n(created): 1")
        one = two = float("inf")
        for _ in range(rounds):
            one = min(one, floor_us(floor, key_file, message_file, iterations, "reused", 1))
            two = min(two, floor_us(floor, key_file, message_file, iterations, "reused", 2))
    return {"one": 1e6 / one, "two": 1e6 / two}


def _free_threaded_child(key_file: str, rounds: int) -> None:
    """Entry point under the free-threaded interpreter: prints the best
    throughputs of one and two threads over `rounds` rounds as JSON."""
    if not sysconfig.get_config_var("Py_GIL_DISABLED") or sys._is_gil_enabled():
        raise SystemExit("not a free-threaded interpreter with the GIL off")
    from _common import module_openssl, python_description
    from corvane_core import corvane_keys

    pem_b64 = base64.b64encode(pathlib.Path(key_file).read_bytes()).decode()
    result = scaling(pem_b64, rounds=rounds)
    if sys._is_gil_enabled():
        raise SystemExit("the GIL was enabled while signing")
    result["python"] = python_description()
    result["openssl"] = module_openssl(corvane_keys)
    print(json.dumps(result))


def main() -> None:
    if len(sys.argv) == 4 and sys.argv[1] == "--free-threaded-child":
        _free_threaded_child(sys.argv[2], int(sys.argv[3]))
        return
    from bench_sign import new_key_pem

    pem_b64 = base64.b64encode(new_key_pem()).decode()
    print(f"machine: {machine()}")
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        r = scaling(pem_b64)
        print(f"free-threaded: {r['one']:.0f} signatures/s with 1 thread, {r['two']:.0f} with 2: {r['ratio']:.2f}x")
        return
    rows = gil_rows(signing_beside_busy_thread(pem_b64), bodies_beside_busy_thread(pem_b64),
                    progress_beside(pem_b64))
    for row in rows:
        print(f"  {row.label:74} {row.shown():>8}  {row.target_shown():8} {row.verdict()}  {row.detail}")


if __name__ == "__main__":
    main()
