"""Peak extra memory of a report download, as a multiple of the body size.

`get_bank_statements` lists one report and downloads its 50 MB body through
the fake session (the real token step and signing included); the addon's
`_process_report_data` of the test world keeps the body it is given, as a
statement file record would. Three runs, each measured twice: with
tracemalloc (the host's allocations) and by the peak resident set size
(every allocation, native ones included; Linux only):

- control: one copy of the body made in Python, measured the same way; it
  shows what a single copy reads as (about 1.00x);
- text ready: the response's `text` is a str that exists before the call,
  so everything allocated during the call is the module's doing (and the
  small records, requests and signatures around it);
- text decoded on access: the stock fake response decodes its bytes on every
  read of `text`, like a `requests` response; the one read the module makes
  costs one body, a second read held alongside would show as 2x.

Run: python benchmarks/bench_report_memory.py  (with corvane_core importable)
"""

from __future__ import annotations

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from _common import Row, machine, peak_extra  # noqa: E402
from corvane_standins.http import FakeResponse, FakeSession, reports_page, token_answer  # noqa: E402
from corvane_standins.world import make_world  # noqa: E402

from corvane_core import corvane_user  # noqa: E402

BODY_SIZE = 50 * 1000 * 1000


def make_body(size: int) -> str:
    """An ASCII statement-like text of exactly `size` characters (= bytes)."""
    entry = ('<Ntry><Amt Ccy="EUR">123.45</Amt><CdtDbtInd>CRDT</CdtDbtInd>'
             "<AddtlNtryInf>Transfer 000000</AddtlNtryInf></Ntry>\n")
    body = "<Document>\n" + entry * (size // len(entry) + 1)
    return body[:size]


class ReadyTextResponse(FakeResponse):
    """A response whose `text` is one str made beforehand."""

    def __init__(self, body: str):
        super().__init__(200, text="")
        self._body = body

    @property
    def text(self):
        return self._body


def download_world(body_response):
    session = FakeSession([
        token_answer(access_token="access-1"), reports_page(["r1"]),
        token_answer(access_token="access-2"), body_response,
    ])
    world = make_world(session=session)
    return world


def download(world):
    result = corvane_user.get_bank_statements(world.user)
    if "error" in result or len(result["return"]) != 1:
        raise SystemExit(f"download failed: {result!r}")
    world.session.assert_all_used()


def measure() -> dict[str, tuple[float, float | None]]:
    """(tracemalloc peak, peak RSS) of each run, as multiples of the body size."""
    body = make_body(BODY_SIZE)
    body_bytes = body.encode("ascii")
    make_world(session=FakeSession())  # key material and imports, once, outside the measurements

    runs = [
        ("control", lambda: [body], lambda state: state.append(state[0] + "\n")),
        ("text ready", lambda: download_world(ReadyTextResponse(body)), download),
        ("text decoded on access", lambda: download_world(FakeResponse(200, content=body_bytes)), download),
    ]
    out = {}
    for name, prepare, run in runs:
        traced, rss = peak_extra(prepare, run)
        out[name] = (traced / BODY_SIZE, None if rss is None else rss / BODY_SIZE)
    return out


def rows(r) -> list[Row]:
    traced, rss = r["text ready"]
    return [Row("large body", "50 MB report download: peak extra memory (RSS) / body size",
                float("nan") if rss is None else rss, note="download",
                detail=f"tracemalloc {traced:.2f}x; one copy made in Python reads "
                       f"{r['control'][1] if r['control'][1] is not None else float('nan'):.2f}x")]


def main() -> None:
    print(f"report body: {BODY_SIZE / 1e6:.0f} MB ASCII text; {machine()}")
    print(f"{'run':46} {'tracemalloc peak':>17} {'peak RSS':>10}")
    for name, (traced, rss) in measure().items():
        rss_text = "n/a" if rss is None else f"{rss:.2f}x"
        print(f"{name:46} {traced:>16.2f}x {rss_text:>10}")

if __name__ == "__main__":
    main()
