"""The request inspector: the recent requests with their verdicts, as an
HTML page at /_sandbox/ and as JSON at /_sandbox/requests.

Everything shown comes from clients and is escaped; bearer tokens and
client secrets are shortened so that the page can be shared in a bug
report.
"""

from __future__ import annotations

import collections
import dataclasses
import datetime
import html
import itertools
import json
import re
import threading

__all__ = ["RequestLog", "Entry", "render_page", "mask_header", "mask_secrets"]


@dataclasses.dataclass
class Entry:
    number: int
    time: float
    method: str
    target: str
    endpoint: str
    headers: list
    body_excerpt: str
    status: int = 0
    verdict: str = "passed"  # "passed", "failed: CHECK" or "-" (nothing to check)
    checks: list = dataclasses.field(default_factory=list)
    signing_string: str | None = None
    response_excerpt: str = ""

    def as_dict(self):
        return {
            "number": self.number,
            "time": self.time,
            "method": self.method,
            "target": self.target,
            "endpoint": self.endpoint,
            "status": self.status,
            "verdict": self.verdict,
            "checks": self.checks,
            "signing_string": self.signing_string,
            "headers": [[k, v] for k, v in self.headers],
            "body_excerpt": self.body_excerpt,
            "response_excerpt": self.response_excerpt,
        }


def _shorten(secret):
    if len(secret) <= 10:
        return "*" * len(secret)
    return f"{secret[:6]}…{secret[-4:]}"


# Where secrets stand in what the inspector shows, each pattern anchored on
# what makes a value of it (a header line, a JSON member, a form field), so
# that prose naming a scheme ("Bearer access token") is left as it is:
# credentials in Authorization lines of signing strings and excerpts, tokens
# in token answers, codes and tokens in form bodies and redirect URLs.
_SECRETS = [
    # A line of its own, in plain text or as an escaped newline in JSON.
    re.compile(r"""(?im)(?:^|\\n|[\s"'])authorization: ?(?:Bearer|Basic) ([A-Za-z0-9._~+/=-]+)"""),
    re.compile(r'"(?:access_token|refresh_token)": ?"([^"]+)"'),
    re.compile(r"\b(?:refresh_token|code|token)=([^&\s]+)"),
]
# An Authorization header's value: scheme and credential.
_CREDENTIAL = re.compile(r"(\S+[ \t]+)(\S+)")


def mask_secrets(text):
    """``text`` with every token, code and client credential shortened."""
    if not text:
        return text
    for pattern in _SECRETS:
        text = pattern.sub(lambda m: m.group(0).replace(m.group(1), _shorten(m.group(1))), text)
    return text


def mask_header(name, value):
    """A header value fit to show: tokens and credentials shortened."""
    if name.lower() == "authorization":
        return _CREDENTIAL.sub(lambda m: m.group(1) + _shorten(m.group(2)), value, count=1)
    return mask_secrets(value)


def _excerpt(data, limit=2000):
    text = data.decode("utf-8", "replace") if isinstance(data, bytes) else str(data)
    text = text if len(text) <= limit else text[:limit] + f"… ({len(text) - limit} more characters)"
    return mask_secrets(text)


class RequestLog:
    """The last ``size`` requests (thread-safe)."""

    def __init__(self, size=200):
        self._entries = collections.deque(maxlen=size)
        self._numbers = itertools.count(1)
        self._lock = threading.Lock()

    def open(self, now, method, target, endpoint, headers, body):
        with self._lock:
            entry = Entry(number=next(self._numbers), time=now, method=method, target=target, endpoint=endpoint,
                          headers=[(k, mask_header(k, v)) for k, v in headers], body_excerpt=_excerpt(body))
            self._entries.append(entry)
        return entry

    @staticmethod
    def close(entry, status, body, verdict, checks, signing_string):
        entry.status = status
        entry.verdict = verdict
        entry.checks = [{k: mask_secrets(v) if isinstance(v, str) else v for k, v in c.items()} for c in checks]
        entry.signing_string = mask_secrets(signing_string)
        entry.response_excerpt = _excerpt(body)

    def entries(self, since=0):
        with self._lock:
            return [e for e in self._entries if e.number > since]

    def as_json(self, since=0):
        return json.dumps({"requests": [e.as_dict() for e in self.entries(since)]}, indent=2)


_STYLE = """
body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#222;background:#fafafa}
h1{font-size:1.4em;margin:0 0 .2em}
.facts{color:#555;margin:0 0 1em}
table{border-collapse:collapse;width:100%;background:#fff}
th,td{border-bottom:1px solid #ddd;padding:.35em .5em;text-align:left;vertical-align:top}
th{background:#eee}
td.target{font-family:ui-monospace,monospace;word-break:break-all}
.passed{color:#11651f;font-weight:600}
.failed{color:#b00020;font-weight:600}
.none{color:#777}
details pre{background:#f3f3f3;padding:.5em;white-space:pre-wrap;word-break:break-all;margin:.3em 0}
ul.checks{margin:.3em 0;padding-left:1.2em}
"""


def _fmt_time(ts):
    return datetime.datetime.fromtimestamp(ts).strftime("%H:%M:%S")


_RESULT_CLASS = {"passed": "passed", "failed": "failed"}


def _verdict_class(verdict):
    if verdict == "passed":
        return "passed"
    if verdict.startswith("failed"):
        return "failed"
    return "none"


def render_page(entries, facts, opened=None):
    """The inspector page: ``facts`` are (label, value) pairs shown on top;
    ``entries`` newest first; the details of request number ``opened`` are
    shown unfolded."""
    e = html.escape
    rows = []
    for entry in entries:
        checks = "".join(
            f'<li><span class="{_RESULT_CLASS.get(c["result"], "none")}">'
            f'{e(c["check"])}: {e(c["result"])}</span> — {e(c["detail"])}</li>'
            for c in entry.checks)
        details = []
        if checks:
            details.append(f'<ul class="checks">{checks}</ul>')
        if entry.signing_string is not None:
            details.append(f"<div>Signing string rebuilt by the sandbox:</div><pre>{e(entry.signing_string)}</pre>")
        headers = "\n".join(f"{k}: {v}" for k, v in entry.headers)
        details.append(f"<div>Request headers:</div><pre>{e(headers)}</pre>")
        if entry.body_excerpt:
            details.append(f"<div>Request body:</div><pre>{e(entry.body_excerpt)}</pre>")
        details.append(f"<div>Response:</div><pre>{e(entry.response_excerpt)}</pre>")
        rows.append(
            f'<tr id="r{entry.number}"><td>{entry.number}</td><td>{_fmt_time(entry.time)}</td>'
            f"<td>{e(entry.method)}</td><td class=\"target\">{e(entry.target)}"
            f"<details{' open' if entry.number == opened else ''}><summary>details</summary>"
            f"{''.join(details)}</details></td>"
            f"<td>{e(entry.endpoint)}</td><td>{entry.status}</td>"
            f'<td class="{_verdict_class(entry.verdict)}">{e(entry.verdict)}</td></tr>')
    facts_html = " · ".join(f"{e(label)}: <code>{e(str(value))}</code>" for label, value in facts)
    body = "\n".join(rows) or '<tr><td colspan="7" class="none">No request yet.</td></tr>'
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Corvane Connect sandbox — requests</title>
<style>{_STYLE}</style></head>
<body><h1>Corvane Connect sandbox — recent requests</h1>
<p class="facts">{facts_html}</p>
<table><thead><tr><th>#</th><th>time</th><th>method</th><th>request target (as received)</th><th>endpoint</th>
<th>status</th><th>verdict</th></tr></thead>
<tbody>
{body}
</tbody></table>
<p class="facts">Newest first. Reload the page to see new requests; the same list as JSON:
<a href="/_sandbox/requests">/_sandbox/requests</a>.</p>
</body></html>
"""
