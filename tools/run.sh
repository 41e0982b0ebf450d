#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The main job: installs what is missing, builds the plug-in folder (DLL,
# IR tool, "Impulse Responses", read-me, COPYING) and, once the host program exists,
# plays a demo through the plug-in under Wine and Xvfb.
set -euo pipefail
source "$(dirname "$0")/env.sh"
bash "$root/tools/setup.sh"
bash "$root/tools/build.sh"

out=$build/plugin-folder
rm -rf "$out"
bash "$root/tools/plugin_folder.sh" "$out"
cp "$build/product/plugin/dsp_qlv3.dll" "$build/product/tools/irtool/qlv_irtool.exe" "$out/"
echo "Plug-in folder: $out"
ls -la "$out" "$out/Impulse Responses"

if [ -x "$root/tools/demo.sh" ]; then
  bash "$root/tools/demo.sh" "$out"
fi
