#!/usr/bin/env bash
# The benchmark command: prints one table of ratios, each measured side by side in
# the same run, and writes it with the machine's description to
# benchmarks/RESULTS.md, with a short summary in README.md's performance section
# (benchmarks/run.py).
#
# Sets up what it needs on a fresh Debian machine (as root), like the other scripts:
#   - the build tools, and valgrind for the profile behind the signing figures;
#   - the wheel of the matrix (scripts/variants/wheels.tsv) for the machine's python3,
#     built as the variant command builds it (zig, glibc 2.28, OpenSSL 3.5 linked
#     statically), installed with pyca/cryptography into build/venv-bench; the native
#     floor is built by the same toolchain against the same OpenSSL;
#   - for the stable ABI's cost: the stable-ABI wheel and a version-specific build of the
#     same row, each installed into a venv of the same interpreter (CPython 3.12);
#   - the free-threaded interpreter with the package installed, from
#     scripts/variants.sh musl (built and tested there; rebuilt when the sources are
#     newer than its installed package), for the thread-scaling figure.
#
# Usage: scripts/bench.sh [--no-free-threaded] [run.py options: --only ..., --no-readme]
set -euo pipefail
cd "$(dirname "$0")/.."
LOG_NAME=bench
. scripts/lib.sh

free_threaded=1
args=()
only=
previous=
for arg in "$@"; do
  case $arg in
    --no-free-threaded) free_threaded=0 ;;
    --only=*) only=${arg#--only=}; args+=("$arg") ;;
    *) [ "$previous" != --only ] || only=$arg
       args+=("$arg") ;;
  esac
  previous=$arg
done
# wanted SECTION: whether the run includes that section of run.py.
wanted() { [ -z "$only" ] || [[ ,$only, == *",$1,"* ]]; }

bash scripts/setup-system.sh build bench variants
unset PYTHON_GIL
# The wheels are built where the variant command builds them (their CMake trees are
# shared, so a wheel built by one is rebuilt by the other in seconds); the venvs go to
# build/bench.
wheels=$REPO/build/variants
out=$REPO/build/bench

python=${PYTHON:-python3}
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
main_wheel=$(wheel_rows | awk -v v="$version" '$3 == "zig-glibc" && ("," $7 ",") ~ ("," v ",") { print $1; exit }')
[ -n "$main_wheel" ] || die "no glibc wheel of the matrix is tested on CPython $version ($WHEELS_TABLE)"
read -r _ _ _ target _ _ _ <<<"$(wheel_rows "$main_wheel")"
openssl_prefix=$(ensure_glibc_openssl "$target")
openssl_version=$(cat "$openssl_prefix/VERSION")
CORVANE_ZIG_DIR=$(zig_compilers "$target")
export CORVANE_ZIG_DIR CORVANE_ZIG_TARGET=$target

# bench_venv DIR PYTHON WHEEL: a venv with the wheel and the test requirements.
bench_venv() {
  new_venv "$2" "$1" "$3[test]" "${TEST_SUPPORT_PACKAGES[@]}"
}

step "building the $main_wheel wheel (zig, $target, OpenSSL ${openssl_version#* } static)" "about 3 min" \
  build_wheel "$main_wheel" "$wheels/$main_wheel" >/dev/null
venv=build/venv-bench
step "benchmark venv $venv ($(python_version "$python"))" "about 30 s" \
  bench_venv "$venv" "$python" "$(only_wheel "$wheels/$main_wheel/wheelhouse")"

abi3_args=()
if wanted abi3; then
  read -r _ abi3_python _ _ _ _ _ <<<"$(wheel_rows abi3)"
  abi3_interp=
  [ -z "$abi3_python" ] || abi3_interp=$(find_interpreter "$abi3_python")
  if [ -z "$abi3_python" ]; then
    log "warning: the matrix has no abi3 row ($WHEELS_TABLE): the stable ABI's cost is left out"
  elif [ -z "$abi3_interp" ]; then
    log "warning: no CPython $abi3_python on this machine: the stable ABI's cost is left out"
  else
    abi3_wheels() {
      build_wheel abi3 "$wheels/abi3" >/dev/null
      build_wheel abi3 "$wheels/abi3-specific" - >/dev/null
    }
    abi3_venvs() {
      bench_venv "$out/venv-abi3" "$abi3_interp" "$(only_wheel "$wheels/abi3/wheelhouse")"
      bench_venv "$out/venv-abi3-specific" "$abi3_interp" "$(only_wheel "$wheels/abi3-specific/wheelhouse")"
    }
    step "the stable-ABI wheel and a version-specific build of it for CPython $abi3_python" "about 6 min" \
      abi3_wheels
    step "their venvs" "about 1 min" abi3_venvs
    abi3_args=(--abi3 "$out/venv-abi3/bin/python" "$out/venv-abi3-specific/bin/python")
  fi
fi

ft_args=()
if ((free_threaded)) && wanted threads; then
  ft_python=$REPO/build/variants/musl/test-3.13t/bin/python
  # The installed modules' age against the newest source they are built from.
  stale=$("$python" - "$REPO" "$ft_python" <<'EOF'
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

echo "== running the benchmarks (about 3 min for all of them, more on a busy machine)"
# The native floor: the same toolchain and OpenSSL as the modules.
CORVANE_BENCH_CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$VARIANTS_DIR/zig-glibc.cmake -DOPENSSL_ROOT_DIR=$openssl_prefix \
-DOPENSSL_USE_STATIC_LIBS=ON" CORVANE_BENCH_OPENSSL="${openssl_version#* }" \
  "$venv/bin/python" benchmarks/run.py "${ft_args[@]}" "${abi3_args[@]}" "${args[@]}"
