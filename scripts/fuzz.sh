#!/usr/bin/env bash
# Builds and runs the libFuzzer targets (fuzz/fuzz_*.cpp) with clang, ASan and UBSan.
# Usage: scripts/fuzz.sh smoke N        every target for N seconds each
#        scripts/fuzz.sh run TARGET N   one target for N seconds
# Seed corpora in fuzz/corpus/<target>/ are copied to a scratch folder; the repository is not
# modified. Exits non-zero when a target fails to build or any run finds a crash, leak or timeout.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
SCRATCH=${FUZZ_SCRATCH_DIR:-$BUILD/fuzz-scratch}

usage() {
    echo "usage: fuzz.sh smoke SECONDS | fuzz.sh run TARGET SECONDS" >&2
    exit 2
}

targets() {
    for src in "$ROOT"/fuzz/fuzz_*.cpp; do
        [[ -e $src ]] && basename "$src" .cpp
    done
}

configure_and_build() {
    CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVELKAN_FUZZ=ON -DVELKAN_TESTS=OFF -DVELKAN_BENCH=OFF \
        -DVELKAN_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
    cmake --build "$BUILD" -j2 --target "$@"
}

run_one() {
    local target=$1 seconds=$2
    local corpus="$SCRATCH/$target/corpus" artifacts="$SCRATCH/$target/artifacts/"
    rm -rf "$SCRATCH/$target"
    mkdir -p "$corpus" "$artifacts"
    if [[ -d $ROOT/fuzz/corpus/$target ]]; then
        cp -r "$ROOT/fuzz/corpus/$target/." "$corpus/"
    fi
    echo "fuzz: $target for ${seconds}s"
    if ! "$BUILD/bin/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=25 \
        -artifact_prefix="$artifacts" -print_final_stats=1 "$corpus" >"$SCRATCH/$target.log" 2>&1; then
        echo "fuzz: $target FAILED; last lines of $SCRATCH/$target.log:" >&2
        tail -n 40 "$SCRATCH/$target.log" >&2
        ls "$artifacts" >&2 || true
        return 1
    fi
    grep -E '^stat::number_of_executed_units' "$SCRATCH/$target.log" || true
}

[[ $# -ge 1 ]] || usage
case $1 in
smoke)
    [[ $# -eq 2 && $2 =~ ^[0-9]+$ ]] || usage
    mapfile -t all < <(targets)
    ((${#all[@]})) || { echo "fuzz: no fuzz/fuzz_*.cpp targets" >&2; exit 1; }
    configure_and_build "${all[@]}"
    # Targets run side by side, one per core (FUZZ_JOBS overrides), each for the full time.
    jobs=${FUZZ_JOBS:-$(nproc)}
    failed=0
    passed=0
    pids=()
    names=()
    for target in "${all[@]}"; do
        run_one "$target" "$2" &
        pids+=($!)
        names+=("$target")
        if ((${#pids[@]} >= jobs)); then
            if wait "${pids[0]}"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
            pids=("${pids[@]:1}")
            names=("${names[@]:1}")
        fi
    done
    for pid in "${pids[@]}"; do
        if wait "$pid"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    done
    echo "fuzz: $passed passed, $failed failed"
    ((failed == 0))
    ;;
run)
    [[ $# -eq 3 && $3 =~ ^[0-9]+$ ]] || usage
    [[ -e $ROOT/fuzz/$2.cpp ]] || { echo "fuzz: no target $2" >&2; exit 2; }
    configure_and_build "$2"
    run_one "$2" "$3"
    ;;
*)
    usage
    ;;
esac
