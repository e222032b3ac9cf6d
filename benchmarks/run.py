"""The one benchmark command: every benchmark, one table of ratios.

Each ratio compares two things measured side by side in the same run
(absolute times on shared machines vary from run to run; ratios hold). The
table, the machine's description and the notes on missed targets are printed
and, unless told otherwise, written to benchmarks/RESULTS.md, with a summary in
README.md.

    python benchmarks/run.py [--free-threaded PYTHON] [--abi3 ABI3_PYTHON SPECIFIC_PYTHON]
                             [--only SECTION,...] [--no-readme]

Run it with the package and pyca/cryptography installed (scripts/bench.sh
prepares all of it). --free-threaded names a free-threaded interpreter with
the package installed (scripts/variants.sh musl makes one); without it the
thread-scaling figure is reported as not measured. --abi3 names two
interpreters of the same CPython, one with the stable-ABI wheel and one with
a version-specific build (scripts/bench.sh makes both); without it the
stable ABI's figures are reported as not measured. --only runs some
sections (signing, large-body, flows, threads, keygen, abi3) and writes
nothing.

The whole table goes to benchmarks/RESULTS.md, a short summary of it into
README.md between the performance markers (and nowhere else in that file).
"""

from __future__ import annotations

import argparse
import base64
import datetime
import json
import os
import pathlib
import platform
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import _common  # noqa: E402
from _common import Row  # noqa: E402

README = HERE.parent / "README.md"
RESULTS = HERE / "RESULTS.md"
BEGIN = "<!-- performance:begin (written by scripts/bench.sh from the figures of one run; do not edit) -->"
END = "<!-- performance:end -->"
SECTIONS = ("signing", "large-body", "flows", "threads", "keygen", "abi3")


def progress(text: str) -> None:
    print(f"[bench {datetime.datetime.now():%H:%M:%S}] {text}", file=sys.stderr, flush=True)


# ---- the sections ---------------------------------------------------------------------


def run_signing(ctx: dict) -> list[Row]:
    import bench_sign

    progress("signing path: floors, _signature_headers, Python with pyca")
    best = bench_sign.measure(rounds=9, iterations=100)
    ctx["signing"] = best
    progress("signing path: callgrind profile of the floors")
    ctx["profile"] = bench_sign.blinding_profile()
    return bench_sign.rows(best)


def run_large_body(ctx: dict) -> list[Row]:
    import bench_large_body
    import bench_pain_upload
    import bench_report_memory

    progress("large bodies: 64 MB digest through _signature_headers")
    out = bench_large_body.rows(bench_large_body.measure())
    progress("large bodies: 64 MB payment upload")
    out += bench_pain_upload.rows(bench_pain_upload.measure())
    progress("large bodies: 50 MB report download")
    out += bench_report_memory.rows(bench_report_memory.measure())
    return out


def run_flows(ctx: dict) -> list[Row]:
    import bench_flows

    progress("flows: list_accounts and get_bank_statements, 2,000 each")
    return bench_flows.rows(bench_flows.measure())


def run_threads(ctx: dict) -> list[Row]:
    import bench_sign
    import bench_threads

    pem = bench_sign.new_key_pem()
    pem_b64 = base64.b64encode(pem).decode()
    rows = []
    ft = None
    native = None
    if ctx["free_threaded"]:
        progress(f"threads: free-threaded scaling under {ctx['free_threaded']}, rounds alternating with the "
                 f"native floor's")
        ft = {"one": 0.0, "two": 0.0}
        native = {"one": 0.0, "two": 0.0}
        # The interpreter's own environment: its venv's installed wheel,
        # nothing of this checkout or of the GIL build's paths.
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHON_GIL")}
        with tempfile.TemporaryDirectory() as tmp:
            key_file = pathlib.Path(tmp, "key.pem")
            key_file.write_bytes(pem)
            for _ in range(5):
                for side, value in bench_threads.native_scaling(key_file).items():
                    native[side] = max(native[side], value)
                done = subprocess.run([ctx["free_threaded"], str(HERE / "bench_threads.py"),
                                       "--free-threaded-child", str(key_file), "1"],
                                      capture_output=True, text=True, env=env, cwd=tmp)
                if done.returncode != 0:
                    progress(f"threads: the free-threaded run failed:\n{done.stderr[-2000:]}")
                    ft = None
                    break
                child = json.loads(done.stdout.strip().splitlines()[-1])
                ft.update({k: v for k, v in child.items() if k in ("python", "openssl")})
                for side in ("one", "two"):
                    ft[side] = max(ft[side], child[side])
        if ft is not None:
            ft["ratio"] = ft["two"] / ft["one"]
            ctx["free_threaded_desc"] = f"{ft['python']}, OpenSSL {ft['openssl']}"
        native["ratio"] = native["two"] / native["one"]
    rows += bench_threads.free_threaded_rows(ft, native)
    progress("threads: GIL build, a busy Python thread beside signing")
    busy = bench_threads.signing_beside_busy_thread(pem_b64)
    bodies = bench_threads.bodies_beside_busy_thread(pem_b64)
    progress("threads: GIL build, a Python thread's progress beside key generation and a 64 MB digest")
    rows += bench_threads.gil_rows(busy, bodies, bench_threads.progress_beside(pem_b64))
    return rows


def run_keygen(ctx: dict) -> list[Row]:
    import bench_keygen
    from corvane_core import corvane_keys

    progress("key generation: 101 keys each, interleaved with pyca/cryptography")
    return bench_keygen.rows(bench_keygen.generation_times(keys=101), _common.module_openssl(corvane_keys))


def run_abi3(ctx: dict) -> list[Row]:
    import bench_abi3

    if not ctx["abi3"]:
        return bench_abi3.rows(None)
    progress("stable ABI: the stable-ABI wheel and a version-specific build, signing and list_accounts, "
             "rounds alternating")
    best = bench_abi3.measure(*ctx["abi3"])
    ctx["abi3_python"] = best["abi3"]["python"]
    return bench_abi3.rows(best)


RUNNERS = {"signing": run_signing, "large-body": run_large_body, "flows": run_flows, "threads": run_threads,
           "keygen": run_keygen, "abi3": run_abi3}


# ---- the report --------------------------------------------------------------------------


def describe(ctx: dict) -> str:
    from corvane_core import corvane_keys

    try:
        import cryptography
        from cryptography.hazmat.backends.openssl import backend

        pyca = f"pyca/cryptography {cryptography.__version__} (OpenSSL {backend.openssl_version_text().split()[1]})"
    except ImportError:
        pyca = "pyca/cryptography not installed"
    system = platform.freedesktop_os_release().get("PRETTY_NAME", platform.system()) \
        if hasattr(platform, "freedesktop_os_release") else platform.system()
    parts = [f"{_common.machine()} (load average {ctx['load_start']:.1f} at the start, "
             f"{_common.load_average():.1f} at the end)", system,
             f"{_common.python_description()} with the modules' OpenSSL {_common.module_openssl(corvane_keys)}",
             pyca]
    if ctx.get("free_threaded_desc"):
        parts.append(f"free-threaded: {ctx['free_threaded_desc']}")
    return "; ".join(parts)


def notes(rows: list[Row], ctx: dict) -> list[str]:
    """The explanations the table's rows refer to, in order of first use."""
    by_label = {row.label: row for row in rows}
    signing = ctx.get("signing")
    profile = ctx.get("profile")
    texts = {}

    blinding = ("Keys are parsed anew for every signature and never kept, and RSA blinding stays on (turning it "
                "off would expose the private key to timing attacks), so every signature pays for a fresh "
                "blinding: OpenSSL's BN_BLINDING_create_param (a constant-time modular inverse and an "
                "exponentiation mod n) before a new key's first signature. The floor reuses one key and its "
                "blinding.")
    if profile:
        blinding += (f" Callgrind, per signature: the floor with per-call parse runs "
                     f"{profile['per-call.total']:,.0f} instructions against {profile['reused.total']:,.0f} for the "
                     f"floor; BN_BLINDING_create_param is "
                     f"{profile['per-call.blinding'] / profile['per-call.total'] * 100:.0f} % of them, the key "
                     f"parsing {profile['per-call.parse'] / profile['per-call.total'] * 100:.0f} %.")
    per_call = by_label.get("`_signature_headers` / floor with per-call parse")
    if per_call:
        blinding += (f" Against the floor with per-call parse `_signature_headers` is at {per_call.value:.2f}x: "
                     f"what is left is Python's calling and the headers' text.")
    flows = [row for row in rows if row.section == "flows" and row.label.endswith("floor with per-call parse")]
    if flows:
        blinding += (" In the flows, the module's own time per signed request is "
                     + " and ".join(f"{row.value:.2f}x" for row in flows)
                     + " that floor: the rest is each request's own work (URL, query, record values, dates) "
                       "done through Python's API.")
    blinding += " These targets cannot be met while keys are parsed per call with blinding on."
    texts["blinding"] = blinding
    if signing:
        texts["pyca"] = (f"pyca/cryptography checks an RSA key's primes when it loads one (its default), which is "
                         f"most of its {signing['python'] * 1e3:.0f} ms per request; with that check turned off it "
                         f"does the same work as the module (parse, fresh blinding, signature), at "
                         f"{signing['python_unchecked'] / signing['module']:.2f}x.")
    texts["utf8"] = ("A str with other than ASCII characters has no UTF-8 form of its own: the host makes one (kept "
                     "with the str) through a transient buffer of up to three bytes a character. No target.")
    texts["upload"] = ("The upload holds the body as text (the str that is hashed) and as the UTF-8 bytes sent, "
                       "so about 2x the file is the least any implementation needs. No target.")
    texts["download"] = "The body is read once from the response and that same str is handed on. No target."
    texts["cores"] = ("The machine's two cores are shared with other work, so a second thread does not get a "
                      "whole core: the control rows show what the machine gave to work that needs no "
                      "interpreter lock at all, measured alongside. A figure close to its control is as good as "
                      "the machine allowed at the time.")
    texts["switching"] = ("A signature keeps the interpreter lock (releasing it for well under a millisecond of "
                          "work would make every signature wait for the lock at the switch interval: a convoy). "
                          "The busy thread and the signing thread then take turns at the 5 ms switch interval; "
                          "each hand-over waits for the other thread to be scheduled, so a busy machine lowers "
                          "both this figure and its control.")
    texts["threshold"] = ("A body below 1 MiB is hashed with the interpreter lock held, like the signature. "
                          "Released for a hash of microseconds (the 2,048 bytes CPython's hashlib uses), the lock "
                          "was taken back before the waiting thread woke, which then kept 2-4 % of its progress "
                          "beside 4 KB bodies; beside 64 KB bodies the signing thread waited out the switch "
                          "interval after each digest and kept 10 % of its throughput. Both should keep about "
                          "half, as with the small body. No target.")
    texts["keygen"] = ("RSA key generation is OpenSSL's work in both: the figure depends on the OpenSSL versions "
                       "more than on anything else (Debian's OpenSSL 3.0 generates keys several times slower than "
                       "3.5; the glibc wheel links OpenSSL 3.5 statically). Generation time varies widely from key "
                       "to key (the prime search), so medians of 101 keys are compared.")
    abi3 = [row for row in rows if row.section == "stable ABI" and row.value == row.value]
    if abi3:
        worst = max(row.value for row in abi3)
        texts["abi3"] = (f"Both sides are the same sources built by the same toolchain against the same OpenSSL, "
                         f"installed for CPython {ctx.get('abi3_python', '?')}; the stable-ABI build calls CPython "
                         f"through its limited API (functions where the version-specific build uses macros and "
                         f"inline access). The cost is {(worst - 1) * 100:+.1f} % at most, "
                         + ("within the 5 % that makes one stable-ABI wheel for 3.12 and later worth shipping."
                            if worst <= 1.05 else
                            "above the 5 % beyond which version-specific wheels for 3.12 and 3.13 are the "
                            "better choice."))
    texts["abi3-missing"] = ("Not measured: no pair of interpreters with the stable-ABI wheel and a "
                             "version-specific build was given (scripts/bench.sh makes them).")
    texts["ft-missing"] = ("Not measured: no free-threaded interpreter was given (scripts/bench.sh makes one with "
                           "scripts/variants.sh musl).")

    order = []
    for row in rows:
        if row.note and row.note not in order and row.note in texts:
            order.append(row.note)
    return [(key, texts[key]) for key in order]


def table(rows: list[Row], note_numbers: dict[str, int], markdown: bool) -> str:
    """The rows as text for the terminal, or as a Markdown table."""
    lines = []
    if markdown:
        lines += ["| | measure | ratio | target | result | detail |", "|---|---|--:|--:|---|---|"]
    else:
        lines.append(f"  {'measure':76} {'ratio':>8}  {'target':8} result")
    section = None
    for row in rows:
        verdict = row.verdict()
        if row.note in note_numbers:
            verdict = f"{verdict} ({note_numbers[row.note]})".strip()
        first = row.section != section
        section = row.section
        if markdown:
            lines.append(f"| {section if first else ''} | {row.label} | {row.shown()} | {row.target_shown()} | "
                         f"{verdict} | {row.detail} |")
        else:
            if first:
                lines.append(f"{section}")
            lines.append(f"  {row.label:76} {row.shown():>8}  {row.target_shown():8} {verdict}")
    return "\n".join(lines)


def summary(rows: list[Row], started: datetime.datetime) -> str:
    """A few lines for README.md: the targets met and missed, each with its figure."""
    targeted = [row for row in rows if row.target is not None]
    met = sum(1 for row in targeted if row.met())
    lines = [f"From `bash scripts/bench.sh`, {started:%Y-%m-%d}: {met} of {len(targeted)} targets met. The full "
             f"table, with the machine, the reference figures and the notes, is in "
             f"[benchmarks/RESULTS.md](benchmarks/RESULTS.md).", ""]
    lines += [f"- {row.section}: {row.label}: {row.shown()} (target {row.target_shown()}, {row.verdict()})"
              for row in targeted]
    return "\n".join(lines)


def write_readme(text: str) -> None:
    readme = README.read_text()
    if BEGIN not in readme or END not in readme:
        raise SystemExit(f"README.md has no performance markers ({BEGIN} ... {END})")
    head, rest = readme.split(BEGIN, 1)
    _, tail = rest.split(END, 1)
    README.write_text(f"{head}{BEGIN}\n{text}\n{END}{tail}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--free-threaded", metavar="PYTHON", help="free-threaded interpreter with the package")
    parser.add_argument("--abi3", nargs=2, metavar=("ABI3_PYTHON", "SPECIFIC_PYTHON"),
                        help="interpreters with the stable-ABI wheel and with a version-specific build")
    parser.add_argument("--only", help="comma-separated sections: " + ",".join(SECTIONS))
    parser.add_argument("--no-readme", action="store_true",
                        help="print only; leave benchmarks/RESULTS.md and README.md alone")
    args = parser.parse_args()
    sections = SECTIONS if not args.only else tuple(s.strip() for s in args.only.split(","))
    for s in sections:
        if s not in SECTIONS:
            parser.error(f"unknown section {s!r}")
    # Absolute (the interpreter runs from a scratch directory), symlinks kept
    # (a venv's python finds its venv through its own path).
    free_threaded = os.path.abspath(args.free_threaded) if args.free_threaded else None
    abi3 = [os.path.abspath(p) for p in args.abi3] if args.abi3 else None
    ctx = {"free_threaded": free_threaded, "abi3": abi3, "load_start": _common.load_average()}
    started = datetime.datetime.now(datetime.timezone.utc)

    rows: list[Row] = []
    for section in sections:
        rows += RUNNERS[section](ctx)

    numbered = notes(rows, ctx)
    note_numbers = {key: i + 1 for i, (key, _) in enumerate(numbered)}
    description = describe(ctx)
    missed = [row for row in rows if row.met() is False]
    print()
    print(f"machine: {description}")
    print(table(rows, note_numbers, markdown=False))
    print()
    for i, (_, text) in enumerate(numbered, 1):
        print(f"({i}) {text}")
    print()
    print(f"{sum(1 for r in rows if r.met())} targets met, {len(missed)} missed"
          + (f": {', '.join(r.label for r in missed)}" if missed else ""))

    if args.no_readme or args.only:
        return
    body = ["# Benchmark results", "",
            "Written by `bash scripts/bench.sh` (benchmarks/run.py); do not edit.", "",
            f"Figures of `bash scripts/bench.sh`, {started:%Y-%m-%d %H:%M} UTC, on {description}. Each ratio "
            "compares two things measured side by side in the same run.", "", table(rows, note_numbers, True), ""]
    body += [f"{i}. {text}" for i, (_, text) in enumerate(numbered, 1)]
    RESULTS.write_text("\n".join(body) + "\n")
    write_readme(summary(rows, started))
    progress(f"{RESULTS} written, README.md performance summary updated")


if __name__ == "__main__":
    main()
