#!/usr/bin/env bash
# Installs what kex needs, builds it into build/ and runs the demo host session: on a private
# virtual desktop when DISPLAY is not set, on that display when it is.
# KEX_SKIP_INSTALL=1 skips the package installation (for a machine that has run it before).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

if [ "${KEX_SKIP_INSTALL:-}" != 1 ]; then
  bash scripts/install-deps.sh
  bash scripts/install-polkit-action.sh
fi
cmake -S . -B build -G Ninja
# kex-demo depends on kex-computer and kex-test-app, so this builds all three.
ninja -C build -j2 kex-demo
exec build/bin/kex-demo
