#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Every test: installs what is missing, builds both configurations, checks
# the formatting and the licence lines, and runs the native tests and the
# Win32 tests under Wine.
set -euo pipefail
source "$(dirname "$0")/env.sh"
bash "$root/tools/setup.sh"
bash "$root/tools/build.sh"

echo "== format and licence lines"
cd "$root"
git ls-files -z '*.cpp' '*.h' | xargs -0 -r clang-format --dry-run --Werror
bash "$root/tools/check_spdx.sh"

echo "== native tests"
ctest --test-dir "$build/native" --output-on-failure --timeout 600 </dev/null

echo "== fuzzing (15 s a target) and the race test"
bash "$root/tools/fuzz.sh" 15 </dev/null

echo "== Win32 tests under Wine and Xvfb"
with_wine_display ctest --test-dir "$build/win32" --output-on-failure --timeout 600 </dev/null

echo "== release packages, and the installer under Wine and Xvfb"
bash "$root/release/test_release.sh" </dev/null

echo "== all tests passed"
