#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# A save reaches the disk before it replaces plugin.ini, or a power cut could
# leave an empty file behind a finished rename: the store's temporary file
# (qls*.tmp) must be fsync'ed under its own name. Wine flushes with fsync in
# the calling process, so tracing that process is enough.
# Usage: test_flush_before_rename.sh TEST_SETTINGS_STORE_EXE
set -euo pipefail
source "$(dirname "$0")/../../tools/env.sh"
strace -f -o /dev/null true 2>/dev/null || { echo "this machine does not allow tracing; skipped"; exit 77; }
log=$(mktemp)
trap 'rm -f "$log"' EXIT
strace -f -y -e trace=fsync,fdatasync -o "$log" \
  wine "$1" --gtest_filter=SettingsStore.SavesNineKeysInOrderAsPlainDecimals >/dev/null 2>&1 </dev/null
if ! grep -qE 'f(data)?sync\([0-9]+<[^>]*/qls[0-9a-fA-F]+\.tmp>\) = 0' "$log"; then
  echo "FAIL: the settings were renamed into place without a flush" >&2
  exit 1
fi
echo "ok: the temporary file was flushed before the rename"
