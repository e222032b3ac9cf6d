"""The digest of a large body: `_signature_headers` with a 64 MB payment file
as its payload, against `hashlib.sha512` over the same bytes, and the peak
extra memory of the call as a multiple of the body size.

The payload is a str, as the upload hands it over. For an ASCII str the
module hashes the str's own bytes (no copy), so the target is at most 1x
the body size; a str with other characters needs its UTF-8 form made once
(kept with the str by the host), shown for context.

Times are the best of interleaved rounds; memory is the peak above the level
before the call, by tracemalloc (the host's allocations) and by the peak
resident set size (everything; Linux only).

Run: python benchmarks/bench_large_body.py  (with corvane_core importable)
"""

from __future__ import annotations

import base64
import hashlib
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from _common import Row, best_of, machine, peak_extra  # noqa: E402
from bench_sign import new_key_pem, plain_user  # noqa: E402

from corvane_core import corvane_user  # noqa: E402

BODY_SIZE = 64 * 1024 * 1024
TARGET = "post /corvane-connect/bulk-payment-initiation-requests"


def pain_like_text(size: int, name: str) -> str:
    """A pain-like XML text whose UTF-8 form is exactly `size` bytes."""
    entry = ("<CdtTrfTxInf><PmtId><EndToEndId>E2E-000000</EndToEndId></PmtId>"
             '<Amt><InstdAmt Ccy="EUR">1234.56</InstdAmt></Amt>'
             f"<Cdtr><Nm>{name}</Nm></Cdtr><CdtrAcct><Id><IBAN>BE68539007547034</IBAN></Id></CdtrAcct>"
             "</CdtTrfTxInf>\n").encode("utf-8")
    head = b'<?xml version="1.0" encoding="UTF-8"?>\n<Document>\n'
    body = head + entry * ((size - len(head)) // len(entry))
    return (body + b" " * (size - len(body))).decode("utf-8")


def _module_call(user, text: str) -> dict:
    headers = {"Authorization": "Bearer token"}
    corvane_user._signature_headers(user, headers, text, TARGET)
    return headers


def measure_time(user, text: str, rounds: int) -> tuple[float, float]:
    """(module, hashlib.sha512) seconds, each the best of `rounds` interleaved runs."""
    data = text.encode("utf-8")
    expected = "SHA-512=" + base64.b64encode(hashlib.sha512(data).digest()).decode()
    if _module_call(user, text)["Digest"] != expected:
        raise SystemExit("the module's digest differs from hashlib's")
    module_s = reference_s = float("inf")
    for _ in range(rounds):
        reference_s = min(reference_s, best_of(lambda: hashlib.sha512(data).digest(), 1))
        module_s = min(module_s, best_of(lambda: _module_call(user, text), 1))
    return module_s, reference_s


def measure_memory(user, text: str) -> tuple[float, float]:
    """(tracemalloc, RSS) peak extra of one call, multiples of the body size.
    Each measurement gets a fresh copy of the str: the UTF-8 form the host
    keeps with a non-ASCII str would otherwise exist before the call."""
    traced, rss = peak_extra(lambda: [text.encode("utf-8").decode("utf-8")],
                             lambda state: _module_call(user, state.pop()))
    return traced / BODY_SIZE, float("nan") if rss is None else rss / BODY_SIZE


def measure(rounds: int = 9) -> dict[str, float]:
    user = plain_user(base64.b64encode(new_key_pem()).decode())
    ascii_text = pain_like_text(BODY_SIZE, "Example Supplier")
    out = dict(zip(("module_s", "sha512_s"), measure_time(user, ascii_text, rounds)))
    out["ascii_traced"], out["ascii_rss"] = measure_memory(user, ascii_text)
    del ascii_text
    out["accented_traced"], out["accented_rss"] = measure_memory(
        user, pain_like_text(BODY_SIZE, "Zoë Müller-Lüdenscheidt"))
    return out


def rows(r: dict[str, float]) -> list[Row]:
    return [
        Row("large body", "64 MB digest: `_signature_headers` / `hashlib.sha512`", r["module_s"] / r["sha512_s"],
            target=("<=", 1.1), detail=f"{r['module_s'] * 1e3:.0f} ms vs {r['sha512_s'] * 1e3:.0f} ms"),
        Row("large body", "64 MB ASCII body: peak extra memory (RSS) / body size", r["ascii_rss"],
            target=("<=", 1.0), detail=f"tracemalloc {r['ascii_traced']:.2f}x"),
        Row("large body", "64 MB body with accents: peak extra memory (RSS) / body size", r["accented_rss"],
            note="utf8", detail=f"tracemalloc {r['accented_traced']:.2f}x"),
    ]


def main() -> None:
    r = measure()
    print(f"machine: {machine()}")
    for row in rows(r):
        print(f"  {row.label:64} {row.shown():>8}  {row.target_shown():8} {row.verdict()}  ({row.detail})")


if __name__ == "__main__":
    main()
