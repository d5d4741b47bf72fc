#!/usr/bin/env bash
# Installs what kex needs and runs every gate:
#   - every C and C++ file is formatted, and the logic's folders include only downwards;
#   - the tree builds with gcc, and every test passes (unit and end-to-end, each end-to-end test
#     on a private virtual desktop of its own);
#   - the tree builds with clang, warnings as errors and the thread-safety analysis on, under
#     AddressSanitizer and UndefinedBehaviorSanitizer, and every test passes again with no
#     sanitizer report from any process the tests start (leaks of kex-computer included);
#   - the unit tests pass under ThreadSanitizer with no report;
#   - the request-line fuzzer and the held-input-line fuzzer (the release watchdog's reading of
#     its input), both built by the clang build, run for 30 seconds each without a finding.
# A failing gate does not stop the later ones, except a build that fails; the script then ends
# with status 1. It prints each phase's time, the gates that failed with each failed test by
# name, and last `tests: N passed, M failed` over every ctest run.
# KEX_SKIP_INSTALL=1 skips the package installation (for a machine that has run it before).
# ccache is used when it is installed; the script does not need it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

scratch=$(mktemp -d)
started=$SECONDS
phase_name=""
phase_started=$SECONDS
phase_cpu=0
timings=()
passed=0
failed=0
problems=()

# Sets cpu to the whole CPU seconds (user and system) that this script's finished children have
# used so far. On a machine shared with other work the wall time says little; this says what a
# phase cost. (times must run in this shell, not in a subshell of its own.)
cpu=0
read_cpu() {
  times >"$scratch/times"
  cpu=$(tail -n 1 "$scratch/times" | awk '{
    total = 0
    for (i = 1; i <= 2; i++) { split($i, part, "m"); total += part[1] * 60 + part[2] }
    printf "%d\n", total
  }')
}

finish_phase() {
  [ -n "$phase_name" ] || return 0
  local took=$((SECONDS - phase_started))
  read_cpu
  local used=$((cpu - phase_cpu))
  timings+=("$(printf '%5d s %6d s  %s' "$took" "$used" "$phase_name")")
  echo "== $phase_name: $took s (CPU $used s)"
  phase_name=""
}

phase() {
  finish_phase
  phase_name=$1
  phase_started=$SECONDS
  read_cpu
  phase_cpu=$cpu
  echo "== $phase_name"
}

summary() {
  finish_phase
  echo
  echo "== phase times (wall, CPU)"
  printf '%s\n' "${timings[@]}"
  read_cpu
  printf '%5d s %6d s  all\n' "$((SECONDS - started))" "$cpu"
  if [ "${#problems[@]}" -gt 0 ]; then
    echo "== failed gates"
    printf '  %s\n' "${problems[@]}"
  fi
  echo "tests: $passed passed, $failed failed"
}

trap 'summary; rm -rf "$scratch"' EXIT

# run_ctest BUILD [NAME=VALUE...] -- [CTEST ARGUMENTS...]: runs ctest on the build folder with
# those variables in its environment and adds its counts to the totals.
run_ctest() {
  local build=$1
  shift
  local environment=()
  while [ "$1" != -- ]; do
    environment+=("$1")
    shift
  done
  shift
  local log="$scratch/ctest-$(basename "$build").log"
  local status=0
  env "${environment[@]}" ctest --test-dir "$build" --output-on-failure "$@" 2>&1 | tee "$log" ||
    status=$?
  local line
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1 || true)
  if [ -z "$line" ]; then
    problems+=("ctest in $build ran no tests")
    return 0
  fi
  # ctest's own summary counts a skipped test as passed; only those that ran and passed count.
  local failures successes
  failures=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
  successes=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$' "$log" || true)
  passed=$((passed + successes))
  failed=$((failed + failures))
  if [ "$status" -ne 0 ] || [ "$failures" -ne 0 ]; then
    problems+=("tests in $build: $failures failed")
    # The summary is what a reader of the tail sees, so it names each test that failed.
    local name
    while read -r name; do
      problems+=("    $name")
    done < <(sed -n '/The following tests FAILED:/,$p' "$log" | grep -E '^[[:space:]]+[0-9]+ - ' || true)
  fi
}

# Builds the targets named after the build folder, or ends the script.
build() {
  local folder=$1
  shift
  ninja -C "$folder" -j2 "$@" || {
    problems+=("build in $folder failed")
    exit 1
  }
}

# Fails the gate when any process left a sanitizer report in the folder.
check_reports() {
  local reports=$1
  local files
  files=$(find "$reports" -type f | sort)
  [ -z "$files" ] && return 0
  local file
  for file in $files; do
    echo "---- $file"
    head -n 60 "$file"
  done
  problems+=("sanitizer reports: $(wc -l <<<"$files") in $reports")
}

# The environment a sanitizer run gets: every report of every process (the test programs and
# whatever they start: kex-computer, the test application, kex-confirm) lands in a file of its
# own in the reports folder. Only leaks inside uninstrumented system libraries are suppressed.
sanitizer_env() {
  local reports=$1
  rm -rf "$reports"
  # kex-confirm's tests run it as another user, whose reports must land here too.
  mkdir -p -m 1777 "$reports"
  local common="log_path=$reports/report:print_suppressions=0"
  echo "ASAN_OPTIONS=$common:detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1"
  echo "LSAN_OPTIONS=$common:suppressions=$root/tests/sanitizers/lsan.supp"
  echo "UBSAN_OPTIONS=$common:print_stacktrace=1:halt_on_error=1"
  echo "TSAN_OPTIONS=$common:halt_on_error=1:second_deadlock_stack=1"
}

launchers=()
if command -v ccache >/dev/null; then
  launchers=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # Clones at other paths share the cache: paths inside this one are hashed relative to it, and
  # the build folder's own path is left out of the debug information's hash.
  export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
fi
linker=()
if command -v ld.lld >/dev/null; then
  linker=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld)
fi
# Sanitizer builds: the programs optimised enough to keep the end-to-end tests' pace (CMake
# compiles the test code itself without optimisation), line tables enough for the reports' stacks.
sanitizer_flags="-O1 -gline-tables-only"

if [ "${KEX_SKIP_INSTALL:-}" != 1 ]; then
  phase "installing packages"
  bash scripts/install-deps.sh
  bash scripts/install-polkit-action.sh
fi

phase "installing the MCP client SDK for kex-mcp's end-to-end tests"
# Exactly the versions in tests/mcp/package-lock.json.
npm ci --prefix tests/mcp --no-audit --no-fund --loglevel=error

phase "checking the format"
if git ls-files -z '*.cc' '*.h' '*.c' | xargs -0 clang-format --dry-run -Werror; then
  echo "every C and C++ file is formatted"
else
  problems+=("format: run clang-format -i on the files above")
fi

phase "checking the layering of main/"
bash scripts/check-layering.sh || problems+=("layering: see the includes above")

phase "building with gcc"
cmake -S . -B build -G Ninja -DKEX_BUILD_TESTS=ON "${launchers[@]}"
build build

phase "running the tests"
# Every end-to-end test brings up its own display and runtime directory, so two run at once.
run_ctest build -- -j2

phase "building with clang: AddressSanitizer, UndefinedBehaviorSanitizer, the fuzzer"
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DKEX_BUILD_TESTS=ON \
  -DKEX_SANITIZE=address,undefined -DKEX_FUZZER=ON -DKEX_WARNINGS_AS_ERRORS=ON -DKEX_BUILD_BENCHMARKS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS_RELWITHDEBINFO="$sanitizer_flags" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$sanitizer_flags" "${launchers[@]}" "${linker[@]}"
build build-asan

phase "running the tests under AddressSanitizer and UndefinedBehaviorSanitizer"
mapfile -t asan_env < <(sanitizer_env "$root/build-asan/sanitizer-reports")
run_ctest build-asan "${asan_env[@]}" -- -j2
check_reports build-asan/sanitizer-reports

# fuzz NAME FUZZER SEEDS MAX_LEN: runs the fuzzer built by the clang build for 30 seconds on a
# fresh copy of the seeds (it adds what it finds to its corpus).
fuzz() {
  local name=$1 fuzzer=$2 seeds=$3 max_len=$4
  phase "fuzzing the $name for 30 s"
  local corpus="$scratch/$fuzzer-corpus"
  mkdir -p "$corpus"
  cp -R "$seeds"/. "$corpus"/
  "build-asan/bin/$fuzzer" -max_total_time=30 -max_len="$max_len" "$corpus" ||
    problems+=("fuzzing the $name: see the finding above")
}

fuzz "request line" request_line_fuzzer tests/fuzz/corpus 20000
fuzz "held-input line" watchdog_line_fuzzer tests/fuzz/watchdog_corpus 9000

phase "building the unit tests with clang: ThreadSanitizer"
CC=clang CXX=clang++ cmake -S . -B build-tsan -G Ninja -DKEX_BUILD_TESTS=ON \
  -DKEX_SANITIZE=thread -DKEX_WARNINGS_AS_ERRORS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS_RELWITHDEBINFO="$sanitizer_flags" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$sanitizer_flags" "${launchers[@]}" "${linker[@]}"
build build-tsan kex_unit_tests

phase "running the unit tests under ThreadSanitizer"
mapfile -t tsan_env < <(sanitizer_env "$root/build-tsan/sanitizer-reports")
# The tests that need no display: those labelled unit, and kex-mcp's own but its end-to-end ones.
run_ctest build-tsan "${tsan_env[@]}" -- -j2 -L 'unit|mcp' -LE e2e
check_reports build-tsan/sanitizer-reports

[ "${#problems[@]}" -eq 0 ]
