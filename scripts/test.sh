#!/usr/bin/env bash
# Installs what kex needs, builds everything with its tests, runs every test (unit and
# end-to-end, each end-to-end test on a private virtual desktop of its own), then fuzzes the
# request line and the release watchdog's held-input line for 30 seconds each. Fails on the first
# failure.
# KEX_SKIP_INSTALL=1 skips the package installation (for a machine that has run it before).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

started=$SECONDS
phase() { echo "== $* ($((SECONDS - started)) s)"; }

if [ "${KEX_SKIP_INSTALL:-}" != 1 ]; then
  phase "installing packages"
  bash scripts/install-deps.sh
  bash scripts/install-polkit-action.sh
fi

phase "installing the MCP client SDK for kex-mcp's end-to-end tests"
# Exactly the versions in tests/mcp/package-lock.json.
npm ci --prefix tests/mcp --no-audit --no-fund --loglevel=error

phase "building"
cmake -S . -B build -G Ninja -DKEX_BUILD_TESTS=ON
ninja -C build -j2

phase "running the tests"
ctest_log=$(mktemp)
corpus=$(mktemp -d)
watchdog_corpus=$(mktemp -d)
trap 'rm -rf "$ctest_log" "$corpus" "$watchdog_corpus"' EXIT
# Every end-to-end test brings up its own display and runtime directory, so two run at once.
ctest --test-dir build --output-on-failure -j2 | tee "$ctest_log"

phase "building the fuzzer"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DKEX_FUZZ_ONLY=ON
ninja -C build-fuzz -j2 request_line_fuzzer watchdog_line_fuzzer

phase "fuzzing the request line for 30 s"
# The fuzzer adds what it finds to the corpus, so it gets a fresh copy of the seeds.
cp -R tests/fuzz/corpus/. "$corpus"/
build-fuzz/bin/request_line_fuzzer -max_total_time=30 -max_len=20000 "$corpus"

phase "fuzzing the held-input line for 30 s"
cp -R tests/fuzz/watchdog_corpus/. "$watchdog_corpus"/
build-fuzz/bin/watchdog_line_fuzzer -max_total_time=30 -max_len=9000 "$watchdog_corpus"

phase "done"
summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$ctest_log" | tail -1)
total=${summary##* }
failed=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$summary")
echo "ctest and fuzzing finished in $((SECONDS - started)) s"
echo "tests: $((total - failed)) passed, $failed failed"
