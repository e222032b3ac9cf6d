"""The stable ABI's cost: the stable-ABI wheel (cp312-abi3, compiled against
CPython's limited API) against a version-specific build of the same sources
(cp312-cp312, same toolchain, same OpenSSL), both installed for the same
interpreter, on the signing path and the account-listing flow.

Each side runs in a child process of its own interpreter (a venv with that
wheel); the children alternate, round by round, in the order of the rounds
swapped each time, and each side's best round counts:

- signing: `corvane_user._signature_headers` on plain Python objects (small
  body, with an Authorization header), the best mean of 200 calls;
- flow: `list_accounts` over 2,000 accounts (benchmarks/bench_flows.py), the
  module's own time (the flow's time less the time inside the stand-ins).

If the limited API cost more than 5 % on either, version-specific wheels for
3.12 and 3.13 would serve those interpreters better than the one stable-ABI
wheel.

Run: python benchmarks/bench_abi3.py ABI3_PYTHON SPECIFIC_PYTHON
"""

from __future__ import annotations

import base64
import json
import os
import pathlib
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from _common import Row  # noqa: E402

LIMIT = 1.05
SIGNING = "`_signature_headers`: stable-ABI wheel / version-specific build"
FLOW = "`list_accounts` (2,000 accounts), module time: stable-ABI / version-specific"


def child(key_file: str) -> dict:
    """One round on this interpreter: seconds per signature, module seconds of the flow."""
    import sysconfig

    import bench_flows
    import bench_sign
    from _common import per_call

    from corvane_core import corvane_user

    user = bench_sign.plain_user(base64.b64encode(pathlib.Path(key_file).read_bytes()).decode())
    bench_sign.module_headers(user)
    signing = per_call(lambda: bench_sign.module_headers(user), 200, repeats=3)
    overhead = bench_flows.wrapper_overhead()
    flow = bench_flows.run_flow("list_accounts")
    module = flow["total"] - flow["stand_ins"] - flow["calls"] * overhead
    so = pathlib.Path(corvane_user.__file__).name
    return {"python": sys.version.split()[0], "module_file": so, "signing": signing, "flow": module,
            "flow_requests": flow["requests"], "abi3": so.endswith(".abi3.so"),
            "gil_disabled": bool(sysconfig.get_config_var("Py_GIL_DISABLED"))}


def measure(abi3_python: str, specific_python: str, rounds: int = 4) -> dict:
    """The best round of each side, the two interleaved."""
    import bench_sign

    best: dict[str, dict] = {}
    sides = {"abi3": abi3_python, "specific": specific_python}
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    with tempfile.TemporaryDirectory() as tmp:
        key_file = pathlib.Path(tmp, "key.pem")
        key_file.write_bytes(bench_sign.new_key_pem())
        for i in range(rounds):
            order = ("abi3", "specific") if i % 2 == 0 else ("specific", "abi3")
            for side in order:
                done = subprocess.run([sides[side], str(HERE / "bench_abi3.py"), "--child", str(key_file)],
                                      capture_output=True, text=True, env=env, cwd=tmp)
                if done.returncode != 0:
                    raise SystemExit(f"bench_abi3: the {side} run failed:\n{done.stderr[-3000:]}")
                r = json.loads(done.stdout.strip().splitlines()[-1])
                kept = best.setdefault(side, r)
                kept["signing"] = min(kept["signing"], r["signing"])
                kept["flow"] = min(kept["flow"], r["flow"])
    if not best["abi3"]["abi3"] or best["specific"]["abi3"]:
        raise SystemExit(f"bench_abi3: the builds are not what they should be: {best}")
    if best["abi3"]["python"] != best["specific"]["python"]:
        raise SystemExit(f"bench_abi3: the two sides run different interpreters: {best}")
    return best


def rows(best: dict | None) -> list[Row]:
    if best is None:
        return [Row("stable ABI", label, float("nan"), target=("<=", LIMIT), note="abi3-missing")
                for label in (SIGNING, FLOW)]
    a, s = best["abi3"], best["specific"]
    where = f"CPython {a['python']}"
    return [
        Row("stable ABI", SIGNING, a["signing"] / s["signing"],
            target=("<=", LIMIT), note="abi3",
            detail=f"{a['signing'] * 1e6:.0f} us vs {s['signing'] * 1e6:.0f} us; {where}"),
        Row("stable ABI", FLOW, a["flow"] / s["flow"], target=("<=", LIMIT), note="abi3",
            detail=f"{a['flow']:.2f} s vs {s['flow']:.2f} s for {a['flow_requests']:,} requests; {where}"),
    ]


def main() -> None:
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        print(json.dumps(child(sys.argv[2])))
        return
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    for row in rows(measure(sys.argv[1], sys.argv[2])):
        print(f"  {row.label:72} {row.shown():>8}  {row.target_shown():8} {row.verdict()}  {row.detail}")


if __name__ == "__main__":
    main()
