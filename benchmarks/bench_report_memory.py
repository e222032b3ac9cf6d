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

import gc
import pathlib
import sys
import tracemalloc

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "python"))
from _common import machine  # noqa: E402
from support.http import FakeResponse, FakeSession, reports_page, token_answer  # noqa: E402
from support.world import make_world  # noqa: E402

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


def measure(prepare, run) -> tuple[float, float | None]:
    """(tracemalloc peak, peak RSS) above the level reached after `prepare`,
    in bytes, for one call of `run(prepared)`."""
    # peak RSS, without tracemalloc's own bookkeeping in the way
    state = prepare()
    gc.collect()
    rss_extra = None
    if _reset_peak_rss():
        before = _status_kib("VmRSS")
        run(state)
        peak = _status_kib("VmHWM")
        if before is not None and peak is not None:
            rss_extra = max(0, peak - before) * 1024.0
    del state
    gc.collect()

    state = prepare()
    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    tracemalloc.reset_peak()
    run(state)
    traced_extra = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    del state
    gc.collect()
    return traced_extra, rss_extra


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


def main() -> None:
    body = make_body(BODY_SIZE)
    body_bytes = body.encode("ascii")
    make_world(session=FakeSession())  # key material and imports, once, outside the measurements

    runs = [
        ("control: one copy in Python", lambda: [body], lambda state: state.append(state[0] + "\n")),
        ("get_bank_statements, text ready", lambda: download_world(ReadyTextResponse(body)), download),
        ("get_bank_statements, text decoded on access",
         lambda: download_world(FakeResponse(200, content=body_bytes)), download),
    ]

    print(f"report body: {BODY_SIZE / 1e6:.0f} MB ASCII text; {machine()}")
    print(f"{'run':46} {'tracemalloc peak':>17} {'peak RSS':>10}")
    for name, prepare, run in runs:
        traced, rss = measure(prepare, run)
        rss_text = "n/a" if rss is None else f"{rss / BODY_SIZE:.2f}x"
        print(f"{name:46} {traced / BODY_SIZE:>16.2f}x {rss_text:>10}")


if __name__ == "__main__":
    main()
