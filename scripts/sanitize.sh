#!/usr/bin/env bash
# Builds the tree with clang under AddressSanitizer+UndefinedBehaviorSanitizer (build-asan) and/or
# ThreadSanitizer (build-tsan) and runs the tests there. Exits non-zero on any build failure, test
# failure or sanitizer report. Every clang build here treats a thread-safety warning (a GUARDED_BY
# member used without its lock, a REQUIRES not met) as an error; mode "tsa" only compiles
# (build-tsa, no sanitizer, no tests) for that check.
# Usage: scripts/sanitize.sh [asan|tsan|both|tsa] [ctest -R regex] [build targets...]
#   e.g. scripts/sanitize.sh tsan 'CThreadBase|CLogger' server_test_threadbase server_test_logger
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-both}
regex=${2:-}
shift $(($# > 2 ? 2 : $#))
targets=("$@")
case "$mode" in
  asan | tsan | both | tsa) ;;
  *) echo "sanitize.sh: unknown mode '$mode' (asan, tsan, both or tsa)" >&2; exit 2 ;;
esac

# Reports must fail the run: UBSan aborts (the build uses -fno-sanitize-recover), ASan and TSan stop
# at the first report with a non-zero exit.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

# TSan of clang 14 cannot map its shadow memory under the high ASLR entropy of newer kernels;
# running without address randomisation avoids "unexpected memory mapping".
norandom=()
if command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
  norandom=(setarch "$(uname -m)" -R)
fi

# set -e does not apply inside a function called with ||, hence the explicit returns.
run_one() {
  local name=$1 sanitizer=$2 dir=build-$1 httplib=""
  # cpp-httplib compiled into the instrumented tree (see ui/web/CMakeLists.txt).
  if [[ -n $sanitizer ]] && ! httplib=$(bash scripts/httplib-source.sh "$dir/_httplib"); then
    echo "sanitize: cpp-httplib's source could not be fetched; $dir links Debian's uninstrumented library" >&2
    httplib=""
  fi
  echo "sanitize: configuring $dir ($sanitizer)"
  CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELKAN_SANITIZE="$sanitizer" -DVELKAN_BENCH=OFF -DCMAKE_CXX_FLAGS=-Werror=thread-safety \
    -DVELKAN_HTTPLIB_SOURCE="$httplib" >/dev/null || return 1
  echo "sanitize: building $dir ${targets[*]:-(all)}"
  if ((${#targets[@]})); then
    cmake --build "$dir" -j2 --target "${targets[@]}" || return 1
  else
    cmake --build "$dir" -j2 || return 1
  fi
  [[ $name == tsa ]] && return 0
  local args=(--test-dir "$dir" --output-on-failure --no-tests=error --timeout 300 -j2)
  [[ -n "$regex" ]] && args+=(-R "$regex")
  local log="$dir/sanitize-ctest.log" status=0
  local launcher=()
  [[ $name == tsan ]] && launcher=("${norandom[@]}")
  "${launcher[@]}" ctest "${args[@]}" 2>&1 | tee "$log" || status=$?
  if grep -qE "ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|runtime error:" "$log"; then
    echo "sanitize: $name reported errors (see $log)" >&2
    status=1
  fi
  return "$status"
}

failed=0
if [[ $mode == asan || $mode == both ]]; then run_one asan address,undefined || failed=1; fi
if [[ $mode == tsan || $mode == both ]]; then run_one tsan thread || failed=1; fi
if [[ $mode == tsa ]]; then run_one tsa "" || failed=1; fi
if ((failed)); then echo "sanitize: FAILED" >&2; else echo "sanitize: all clean"; fi
exit "$failed"
