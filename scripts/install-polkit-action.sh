#!/usr/bin/env bash
# Registers kex-confirm's polkit action (org.kex.confirm.approve) by copying its file into the
# one folder polkitd reads actions from. Needs root. Safe to run again: an identical file is
# left alone, so a running polkitd is not made to reload for nothing.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

source_file=confirm/org.kex.confirm.policy
target_file=/usr/share/polkit-1/actions/org.kex.confirm.policy

if cmp -s "$source_file" "$target_file"; then
  exit 0
fi
# polkitd watches the folder and reads *.policy files only: the file is written under another
# name and renamed, so polkitd never parses half of it.
mkdir -p "$(dirname "$target_file")"
install -m 0644 "$source_file" "$target_file.partial"
mv -f "$target_file.partial" "$target_file"
