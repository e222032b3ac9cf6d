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

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from _common import Row, machine, peak_extra  # noqa: E402
from corvane_standins.http import FakeSession, pain_answer  # noqa: E402
from corvane_standins.world import make_world  # noqa: E402

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


def measure_case(content: bytes) -> dict[str, float]:
    """Times (best of REPEATS) and peak extra memory (multiples of the file
    size) of one upload of `content`, the module and the plain Python steps,
    with a bare SHA-512 of the file as the reference."""
    session = FakeSession(lambda call: pain_answer("pain-1", "RCVD"))
    world = make_world(session=session)
    record = world.pain_request(name="payments.xml", data=base64.b64encode(content))
    del world.journal[:]

    def module(_state=None):
        module_upload(record)
        session.calls.clear()

    def python(_state=None):
        python_upload(record)
        session.calls.clear()

    module_upload(record)  # warm up, and check the body that went out
    if session.calls[-1].wire.body_bytes != content:
        raise SystemExit("the module sent other bytes than the file")
    session.calls.clear()

    out = {"sha512_s": best_time(lambda: hashlib.sha512(content).digest(), session),
           "module_s": best_time(module, session), "python_s": best_time(python, session)}
    for name, fn in (("module", module), ("python", python)):
        traced, rss = peak_extra(lambda: None, fn)
        out[f"{name}_traced"] = traced / len(content)
        out[f"{name}_rss"] = float("nan") if rss is None else rss / len(content)
    return out


def measure() -> dict[str, dict[str, float]]:
    original = corvane_pain._request_access_token
    corvane_pain._request_access_token = no_token_request
    try:
        return {"ascii": measure_case(make_file(FILE_SIZE, "Example Supplier")),
                "accented": measure_case(make_file(FILE_SIZE, "Zoë Müller-Lüdenscheidt"))}
    finally:
        corvane_pain._request_access_token = original


def rows(r: dict[str, dict[str, float]]) -> list[Row]:
    out = []
    for case, title in (("ascii", "ASCII"), ("accented", "with accents")):
        c = r[case]
        out.append(Row("large body", f"64 MB upload ({title}): `_pain_request` / `hashlib.sha512`",
                       c["module_s"] / c["sha512_s"],
                       detail=f"{c['module_s'] * 1e3:.0f} ms; plain Python steps {c['python_s'] / c['sha512_s']:.2f}x"))
        out.append(Row("large body", f"64 MB upload ({title}): peak extra memory (RSS) / file size", c["module_rss"],
                       note="upload", detail=f"tracemalloc {c['module_traced']:.2f}x; plain Python steps "
                                         f"{c['python_rss']:.2f}x RSS"))
    return out


def main() -> None:
    print(f"machine: {machine()}; best of {REPEATS} runs")
    for row in rows(measure()):
        print(f"  {row.label:64} {row.shown():>8}  ({row.detail})")

if __name__ == "__main__":
    main()
