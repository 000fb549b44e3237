#!/bin/bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets (clang-14, ASan+UBSan) in build/fuzz and runs each of
# them: first every committed regression input and seed, then fuzzing for the given
# time. Exits non-zero when any target crashes, hangs or fails a check.
#
#   scripts/fuzz.sh SECONDS_PER_TARGET [TARGET...]   e.g. scripts/fuzz.sh 600 env
#   scripts/fuzz.sh --smoke                          about 5 s per target, two at a time
#   options: --no-build (use what is built), --build-dir DIR, --jobs N (targets run
#            side by side, default 1), --out DIR (default: the build dir)
#
# Crash inputs land in OUT/artifacts/<target>/, the growing corpus in
# OUT/corpus/<target>/, one log per target in OUT/logs/.
set -uo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$src/build/fuzz
seconds=
do_build=1
jobs=1
jobs_given=
out=
targets=()
while [ $# -gt 0 ]; do
    case $1 in
    --smoke) seconds=5; jobs=${jobs_given:-2} ;;
    --no-build) do_build=0 ;;
    --build-dir) build=$(realpath -m "$2"); shift ;;
    --jobs) jobs=$2; jobs_given=$2; shift ;;
    --out) out=$2; shift ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    [0-9]*) seconds=$1 ;;
    *) targets+=("$1") ;;
    esac
    shift
done
[ -n "$seconds" ] || { echo "usage: scripts/fuzz.sh SECONDS_PER_TARGET | --smoke" >&2; exit 2; }

if [ $do_build = 1 ]; then
    if ! command -v clang++-14 >/dev/null || [ ! -d /usr/lib/llvm-14/lib/clang ] ||
        ! ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
        echo "installing: clang-14 libclang-rt-14-dev"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq && apt-get install -y -qq --no-install-recommends clang-14 libclang-rt-14-dev >/dev/null ||
            exit 1
    fi
    mkdir -p "$build"
    if [ ! -f "$build/CMakeCache.txt" ]; then
        CC=clang-14 CXX=clang++-14 cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DROMTOOL_FUZZ=ON -DROMTOOL_TESTS=OFF -DROMTOOL_SANITIZE=address -DROMTOOL_WERROR=ON >"$build.configure.log" 2>&1 ||
            { cat "$build.configure.log"; exit 1; }
    fi
    build_targets=(fuzz_all)
    [ ${#targets[@]} -gt 0 ] && build_targets=("${targets[@]/#/fuzz_}")
    cmake --build "$build" --target "${build_targets[@]}" >"$build.build.log" 2>&1 ||
        { tail -n 60 "$build.build.log"; exit 1; }
fi

if [ ${#targets[@]} -eq 0 ]; then
    for exe in "$build"/fuzz/fuzz_*; do
        [ -x "$exe" ] && targets+=("$(basename "$exe" | sed 's/^fuzz_//')")
    done
fi
[ ${#targets[@]} -gt 0 ] || { echo "fuzz: no targets built in $build/fuzz" >&2; exit 1; }

export ROMTOOL_FUZZ_VBOARD=$src/virtual_board/vboard
# The preload library comes before libasan in the link order.
export ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1

out=$(realpath -m "${out:-$build}")
mkdir -p "$out/logs"
run_target() {
    local name=$1
    local corpus=$out/corpus/$name artifacts=$out/artifacts/$name log=$out/logs/$name.log
    local scratch
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/romtool-fuzz-$name.XXXXXX")
    mkdir -p "$corpus" "$artifacts"
    # Private copies of the programs: a rebuild of the tree during a long run must
    # not pull the tool or the board from under it.
    local exe=$scratch/fuzz_$name
    cp "$build/fuzz/fuzz_$name" "$exe" || return 1
    cp "$build/romtool/romtool" "$scratch/romtool" 2>/dev/null
    cp "$build/virtual_board/libvboard.so" "$scratch/libvboard.so" 2>/dev/null
    export ROMTOOL_FUZZ_ROMTOOL=$scratch/romtool ROMTOOL_FUZZ_PRELOAD=$scratch/libvboard.so
    [ -d "$src/fuzz/corpus/$name" ] && cp -n "$src/fuzz/corpus/$name"/* "$corpus"/ 2>/dev/null
    export ROMTOOL_FUZZ_SCRATCH=$scratch
    local status=0
    # Every committed regression input and seed once.
    local replay=()
    for f in "$src/fuzz/regressions/$name"/* "$src/fuzz/corpus/$name"/*; do
        [ -f "$f" ] && replay+=("$f")
    done
    if [ ${#replay[@]} -gt 0 ]; then
        (cd "$scratch" && "$exe" -runs=1 "${replay[@]}") >"$log.replay" 2>&1 || status=1
    fi
    if [ $status = 0 ]; then
        local dict=()
        [ -f "$src/fuzz/$name.dict" ] && dict=(-dict="$src/fuzz/$name.dict")
        (cd "$scratch" && "$exe" "$corpus" "${dict[@]}" -max_total_time="$seconds" \
            -timeout=180 -rss_limit_mb=4096 -artifact_prefix="$artifacts/" -print_final_stats=1) \
            >"$log" 2>&1 || status=1
    fi
    rm -rf "$scratch"
    local stats
    stats=$(grep -E '^stat::(number_of_executed_units|new_units_added|peak_rss_mb)' "$log" 2>/dev/null |
        sed 's/^stat:://' | tr -s ' ' | tr '\n' ' ')
    local cov
    cov=$(grep -E '^#[0-9]+.*(cov|ft):' "$log" 2>/dev/null | tail -n 1 | grep -oE '(cov|ft): [0-9]+' | tr '\n' ' ')
    if [ $status = 0 ]; then
        echo "fuzz $name: ok ($cov$stats)"
    else
        echo "fuzz $name: FAILED, see $log${replay:+ and $log.replay}; inputs in $artifacts/"
        tail -n 30 "$log.replay" "$log" 2>/dev/null | sed 's/^/    /'
    fi
    return $status
}

status=0
pids=()
for name in "${targets[@]}"; do
    if [ ! -x "$build/fuzz/fuzz_$name" ]; then
        echo "fuzz $name: not built"; status=1; continue
    fi
    run_target "$name" &
    pids+=($!)
    if [ ${#pids[@]} -ge "$jobs" ]; then
        wait "${pids[0]}" || status=1
        pids=("${pids[@]:1}")
    fi
done
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done
exit $status
