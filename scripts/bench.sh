#!/usr/bin/env bash
# The benchmark command: prints one table of ratios, each measured side by side in
# the same run, and writes it with the machine's description into README.md's
# performance section (benchmarks/run.py).
#
# Sets up what it needs on a fresh Debian machine (as root), like the other scripts:
#   - the build tools, and valgrind for the profile behind the signing figures;
#   - the package built as the glibc wheel is (OpenSSL 3.5 linked statically, from
#     scripts/variants/glibc_openssl.sh) and installed with pyca/cryptography into
#     build/venv-bench; the native floor is built against the same OpenSSL;
#   - the free-threaded interpreter with the package installed, from
#     scripts/variants.sh musl (built and tested there; rebuilt when the sources are
#     newer than its installed package), for the thread-scaling figure.
#
# Usage: scripts/bench.sh [--no-free-threaded] [run.py options: --only ..., --no-readme]
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

free_threaded=1
args=()
for arg in "$@"; do
  case $arg in
    --no-free-threaded) free_threaded=0 ;;
    *) args+=("$arg") ;;
  esac
done

bash scripts/setup-system.sh
. scripts/variants/lib.sh
log() { printf '[bench %(%H:%M:%S)T] %s\n' -1 "$*" >&2; }
ensure_apt_packages valgrind
unset PYTHON_GIL
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

openssl_prefix=$(bash scripts/variants/glibc_openssl.sh)
openssl_version=$(cat "$openssl_prefix/VERSION")
# The modules' link as in the glibc wheel: static libcrypto, only PyInit_* exported.
cmake_args=(-DOPENSSL_ROOT_DIR="$openssl_prefix" -DOPENSSL_USE_STATIC_LIBS=ON)
link_flags="-Wl,--version-script=$repo/scripts/variants/extension-exports.map"

python=${PYTHON:-python3}
venv=build/venv-bench
log "benchmark venv $venv ($("$python" -c 'import sys; print(sys.version.split()[0])'), OpenSSL ${openssl_version#* })"
"$python" -m venv --clear "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
config=(-C build-dir="build/bench/cmake-$(short_hash "$openssl_prefix" "$link_flags")"
        -C cmake.define.CMAKE_MODULE_LINKER_FLAGS="$link_flags")
for a in "${cmake_args[@]}"; do config+=(-C "cmake.define.${a#-D}"); done
"$venv/bin/python" -m pip install -q "${config[@]}" ".[test]" >"build/bench-pip.log" 2>&1 \
  || { tail -n 40 build/bench-pip.log; die "installing the package into $venv failed"; }
# The flows and memory benchmarks run the modules on the in-memory stand-ins.
"$venv/bin/python" -m pip install -q ./standins >>"build/bench-pip.log" 2>&1 \
  || { tail -n 40 build/bench-pip.log; die "installing the stand-ins into $venv failed"; }

ft_args=()
if ((free_threaded)); then
  ft_python=$repo/build/variants/musl/test-venv/bin/python
  # The installed modules' age against the newest source they are built from.
  stale=$("$python" - "$repo" "$ft_python" <<'EOF'
import pathlib, subprocess, sys
repo, python = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
if not python.exists():
    print("missing"); sys.exit()
found = subprocess.run([str(python), "-c", "import corvane_core.corvane_keys as m; print(m.__file__)"],
                       capture_output=True, text=True, cwd="/")
if found.returncode:
    print("missing"); sys.exit()
built = pathlib.Path(found.stdout.strip()).stat().st_mtime
sources = [p for d in ("src", "corvane_core") for p in (repo / d).rglob("*") if p.is_file()]
sources += [repo / "CMakeLists.txt", repo / "pyproject.toml"]
print("stale" if max(p.stat().st_mtime for p in sources) > built else "fresh")
EOF
)
  if [ "$stale" != fresh ]; then
    log "free-threaded interpreter with the package: $stale; running scripts/variants.sh musl"
    bash scripts/variants.sh musl || log "warning: scripts/variants.sh musl failed (see above)"
  fi
  if (cd / && "$ft_python" -c "import corvane_core.corvane_user") 2>/dev/null; then
    ft_args=(--free-threaded "$ft_python")
  else
    log "warning: no free-threaded interpreter with the package: the thread-scaling figure is left out"
  fi
fi

log "running the benchmarks (several minutes)"
CORVANE_BENCH_CMAKE_ARGS="${cmake_args[*]}" CORVANE_BENCH_OPENSSL="${openssl_version#* }" \
  "$venv/bin/python" benchmarks/run.py "${ft_args[@]}" "${args[@]}"
