#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Writes the plug-in folder's files other than the DLL: the impulse
# responses with their licence, the user read-me and COPYING, the texts
# with CR LF line ends for Windows' editors. The native build must exist.
# Usage: plugin_folder.sh OUTDIR
set -euo pipefail
source "$(dirname "$0")/env.sh"
out=$1
mkdir -p "$out/Impulse Responses"
"$build/native/tools/irgen/make_irs" "$out/Impulse Responses" >/dev/null
crlf() { sed 's/\r$//; s/$/\r/' "$1" >"$2"; }
bash "$root/tools/user_text.sh" package >"$out/Quillarven Convolution.txt"
crlf "$root/COPYING" "$out/COPYING"
crlf "$root/release/LICENSE-impulse-responses.txt" "$out/Impulse Responses/LICENSE.txt"
