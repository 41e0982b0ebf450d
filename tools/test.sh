#!/usr/bin/env bash
# Every test: installs what is missing, builds both configurations, checks
# the formatting and runs the native tests and the Win32 tests under Wine.
set -euo pipefail
source "$(dirname "$0")/env.sh"
bash "$root/tools/setup.sh"
bash "$root/tools/build.sh"

echo "== format"
cd "$root"
git ls-files -z '*.cpp' '*.h' | xargs -0 -r clang-format --dry-run --Werror

echo "== native tests"
ctest --test-dir "$build/native" --output-on-failure --timeout 600 </dev/null

echo "== Win32 tests under Wine"
wine_ready
xvfb-run -a ctest --test-dir "$build/win32" --output-on-failure --timeout 600 </dev/null
wineserver -k >/dev/null 2>&1 || true
echo "== all tests passed"
