#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The set-up against a package mirror caught mid-sync: a stand-in apt-get
# first on PATH fails every update; the install is still tried with the
# lists there are, and a failed install names its packages in one line.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cat >"$work/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
echo "$*" >>"$QLV_APT_CALLS"
case $1 in
  update) echo "E: File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2; exit 100 ;;
  install) exit "$QLV_APT_INSTALL_STATUS" ;;
esac
STUB
chmod +x "$work/bin/apt-get"
# Runs need_packages on a package no machine has, as root or not.
setup() {
  QLV_APT_CALLS=$work/calls QLV_APT_INSTALL_STATUS=$1 QLV_APT_PAUSE=0 \
    PATH="$work/bin:$PATH" bash -c "set -euo pipefail; sudo() { \"\$@\"; }; export -f sudo
      source '$root/tools/env.sh'; need_packages qlv-no-such-package" 2>"$work/err"
}
fail() { echo "FAIL: $*"; cat "$work/err"; exit 1; }

: >"$work/calls"
setup 0 || fail "a set-up that could install stopped"
[ "$(grep -c '^update' "$work/calls")" = 3 ] || fail "update not tried three times"
grep -q '^install .*qlv-no-such-package' "$work/calls" || fail "no install after the failed updates"

: >"$work/calls"
if setup 100; then fail "a failed install reported success"; fi
[ "$(grep -c 'could not install qlv-no-such-package.*try again later' "$work/err")" = 1 ] ||
  fail "no one line naming the package"
