"""Upload of a 64 MB payment initiation file: time and peak extra memory.

`_pain_request` uploads the file of a request record of the test world
through the fake session (signature included; the token step is replaced by
one that answers at once, as the token request is not what is measured).
The record holds the file Base64-encoded as bytes, as the addon's binary
field does. In the same run:

- reference: a bare `hashlib.sha512` over the file's bytes, the one pass
  over the body that no implementation can avoid (the digest);
- python: the same steps written plainly in Python (b64decode, decode,
  the same signature step, the text posted through the same fake session),
  for context.

Times are the best of a few runs; memory is the peak above the level before
the call, as a multiple of the file size, measured by tracemalloc (the
host's allocations) and by the peak resident set size (everything; Linux
only). The body and its bytes on the wire must both exist during the upload,
so about 2x is the floor for a text body held in a str.

Run: python benchmarks/bench_pain_upload.py  (with corvane_core importable)
"""

from __future__ import annotations

import base64
import gc
import hashlib
import pathlib
import sys
import time
import tracemalloc

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "python"))
from _common import machine  # noqa: E402
from support.http import FakeSession, pain_answer  # noqa: E402
from support.world import make_world  # noqa: E402

from corvane_core import corvane_pain, corvane_user  # noqa: E402

FILE_SIZE = 64 * 1024 * 1024
REPEATS = 3
ENDPOINT = "/corvane-connect/bulk-payment-initiation-requests"


def make_file(size: int, name: str) -> bytes:
    """A pain-like XML file of exactly `size` UTF-8 bytes."""
    entry = ("<CdtTrfTxInf><PmtId><EndToEndId>E2E-000000</EndToEndId></PmtId>"
             '<Amt><InstdAmt Ccy="EUR">1234.56</InstdAmt></Amt>'
             f"<Cdtr><Nm>{name}</Nm></Cdtr><CdtrAcct><Id><IBAN>BE68539007547034</IBAN></Id></CdtrAcct>"
             "</CdtTrfTxInf>\n").encode("utf-8")
    head = b'<?xml version="1.0" encoding="UTF-8"?>\n<Document>\n'
    body = head + entry * ((size - len(head)) // len(entry))
    return body + b" " * (size - len(body))


def no_token_request(kav_user, session, grant_type="refresh_token", auth_code=None):
    return {}


def python_upload(record):
    """The upload's steps in plain Python, with the text body posted."""
    kav_user = record.kav_user_id
    session = kav_user.corvane_connect_config_id._get_session()
    headers = {"Content-Type": "application/xml",
               "Authorization": "Bearer " + str(kav_user.access_token_id.access_token),
               "Content-Disposition": 'inline; filename="' + str(record.name) + '"',
               "Is-Shared": "True", "Hide-Details": "True"}
    pain_data = base64.b64decode(record.data).decode("utf-8")
    corvane_user._signature_headers(kav_user, headers, pain_data, "post " + ENDPOINT)
    session.post(corvane_pain.TOLVEX_API_HOST_URL + ENDPOINT, data=pain_data, headers=headers)


def module_upload(record):
    result = corvane_pain._pain_request(record)
    if result:
        raise SystemExit(f"upload failed: {result!r}")


def best_time(fn, session) -> float:
    best = float("inf")
    for _ in range(REPEATS):
        gc.collect()
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
        session.calls.clear()
    return best


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


def peak_extra(fn, session) -> tuple[float, float | None]:
    """(tracemalloc peak, peak RSS) above the level before one call, bytes."""
    gc.collect()
    rss = None
    if _reset_peak_rss():
        before = _status_kib("VmRSS")
        fn()
        peak = _status_kib("VmHWM")
        if before is not None and peak is not None:
            rss = max(0, peak - before) * 1024.0
    session.calls.clear()
    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    tracemalloc.reset_peak()
    fn()
    traced = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    session.calls.clear()
    gc.collect()
    return traced, rss


def run_case(label: str, content: bytes) -> None:
    session = FakeSession(lambda call: pain_answer("pain-1", "RCVD"))
    world = make_world(session=session)
    record = world.pain_request(name="payments.xml", data=base64.b64encode(content))
    del world.journal[:]

    def module():
        module_upload(record)

    def python():
        python_upload(record)

    module_upload(record)  # warm up, and check the body that went out
    if session.calls[-1].wire.body_bytes != content:
        raise SystemExit("the module sent other bytes than the file")
    session.calls.clear()

    reference_s = best_time(lambda: hashlib.sha512(content).digest(), session)
    module_s = best_time(module, session)
    python_s = best_time(python, session)
    module_mem = peak_extra(module, session)
    python_mem = peak_extra(python, session)

    def mem(m):
        traced, rss = m
        return f"{traced / len(content):5.2f}x {'n/a' if rss is None else f'{rss / len(content):5.2f}x':>8}"

    print(f"\n{label}: {len(content) / 2**20:.0f} MiB")
    print(f"  {'':32} {'time':>9} {'/ sha512':>9}   {'peak extra (tracemalloc, RSS)':>29}")
    print(f"  {'sha512 of the file (reference)':32} {reference_s * 1e3:7.1f}ms {1.0:8.2f}x")
    print(f"  {'_pain_request':32} {module_s * 1e3:7.1f}ms {module_s / reference_s:8.2f}x   {mem(module_mem):>29}")
    print(f"  {'plain Python steps':32} {python_s * 1e3:7.1f}ms {python_s / reference_s:8.2f}x   {mem(python_mem):>29}")


def main() -> None:
    original = corvane_pain._request_access_token
    corvane_pain._request_access_token = no_token_request
    try:
        print(f"machine: {machine()}; best of {REPEATS} runs")
        run_case("ASCII file", make_file(FILE_SIZE, "Example Supplier"))
        run_case("file with accented names", make_file(FILE_SIZE, "Zoë Müller-Lüdenscheidt"))
    finally:
        corvane_pain._request_access_token = original


if __name__ == "__main__":
    main()
