#!/usr/bin/env bash
# Installs every Debian package that building, running and testing kex needs.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  # toolchain: gcc builds kex, clang (linking with lld) its sanitizer builds and the fuzzer,
  # clang-format checks the format
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format lld
  # libraries of kex-computer
  nlohmann-json3-dev libssl-dev uuid-dev libglib2.0-dev libicu-dev libpng-dev zlib1g-dev libpixman-1-dev
  libxcb1-dev libxcb-randr0-dev libxcb-xtest0-dev libxcb-record0-dev libxcb-res0-dev
  libxcb-shm0-dev libxcb-composite0-dev libxcb-xfixes0-dev libxcb-damage0-dev
  # the accessibility backend speaks AT-SPI over libdbus
  libdbus-1-dev
  # the accessibility benchmark's comparison: a Python AT-SPI walk
  python3-pyatspi
  # the demo and test application, and GTK's bridge to the accessibility bus
  libgtk-3-dev libatk-adaptor
  # the Qt 5 test application (Qt's bridge to the accessibility bus is built into Qt GUI)
  qtbase5-dev libxkbcommon-dev
  # tests
  libgtest-dev libgmock-dev xdotool
  # which process is at the other end of a socket, for the accessibility tests
  iproute2
  # what the X server holds down, for the release watchdog's tests
  xinput
  # the capture benchmark's comparison: a screenshot tool, an image resizer
  scrot imagemagick
  # kex-confirm: polkit's client library, and for its tests polkitd (with the setuid
  # polkit-agent-helper-1) and the agent library the test authentication agent is built on
  libpolkit-gobject-1-dev polkitd libpolkit-agent-1-dev
  # the private virtual desktop: X server, window manager, session bus, accessibility bus
  xvfb openbox dbus dbus-x11 at-spi2-core x11-xserver-utils x11-utils
  # kex-mcp's end-to-end tests run the official MCP client SDK on node; setpriv runs kex-confirm
  # as an ordinary user there
  nodejs util-linux
  # a stand-in for logind in the session tests
  python3-dbusmock
)

export DEBIAN_FRONTEND=noninteractive
if [ "${KEX_SKIP_APT_UPDATE:-}" != 1 ]; then
  apt-get update -qq
fi
apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
# Debian's nodejs comes without npm, which is a package of its own; a nodejs from elsewhere may
# bring npm along and refuse Debian's.
if ! command -v npm >/dev/null; then
  apt-get install -y -qq --no-install-recommends npm >/dev/null
fi
