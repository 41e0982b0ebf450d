#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Plays a demo through the plug-in in the player-like host under Wine and
# Xvfb: a real recording (alsa-utils) followed by a plucked melody, dry and
# reverberated, and a screenshot of the control window.
# Usage: demo.sh <plug-in folder>
set -euo pipefail
source "$(dirname "$0")/env.sh"
folder=$1
demo=$build/demo
rm -rf "$demo"
mkdir -p "$demo/Plugins" "$demo/work"
cp -r "$folder"/. "$demo/Plugins/"
cd "$demo"

# The dry input: "Front Center" spoken, then a melody, then room for the
# reverb: the output lags by one block (the IR's length) and rings on.
sox -q /usr/share/sounds/alsa/Front_Center.wav -r 44100 -c 2 -b 16 work/speech.wav
i=0
for note in C4 E4 G4 C5 B4 G4 E4 D4 C4 G3 C4; do
  sox -q -n -r 44100 -c 2 -b 16 "work/n$(printf %02d $i).wav" synth 0.3 pluck "$note" vol 0.6
  i=$((i + 1))
done
sox -q work/n*.wav work/melody.wav
sox -q -n -r 44100 -c 2 -b 16 work/gap.wav trim 0 0.5
sox -q -n -r 44100 -c 2 -b 16 work/tail.wav trim 0 9
sox -q work/speech.wav work/gap.wav work/melody.wav work/tail.wav dry.wav

host=$build/win32/tools/host/qlv_host.exe
export QLV_TITLE="Quillarven Convolution $(project_version)"
with_wine_display bash -c '
  wine "$1" --wait-ms 6000 Plugins/dsp_qlv3.dll dry.wav reverberated.wav > host.log 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    xwininfo -root -tree 2>/dev/null | grep -qF "\"$QLV_TITLE\"" && break
    sleep 0.2
  done
  sleep 1.5
  import -window "$QLV_TITLE" work/screen.png ||
    import -window root work/screen.png
  wait $pid || exit
  # Again with the low-latency engine, from a plug-in folder of its own.
  cp -r Plugins work/low
  printf "[Quillarven]\r\nLowLatency=1\r\n" > work/low/plugin.ini
  wine "$1" work/low/dsp_qlv3.dll dry.wav reverberated-low-latency.wav > host-low.log 2>&1' _ "$host"
cp work/screen.png control_window.png
cat host.log
# The low-latency output is the one-block output moved earlier: by how much
# tells its lag behind the dry signal (the one-block engine lags by its block).
block=$("$build/native/tools/qlv_render" --ir "Plugins/Impulse Responses/Chapel.wav" \
  --auto-gain dry.wav work/rendered.wav | sed -n 's/.*IR block \([0-9]*\).*/\1/p')
lag=$(python3 -c '
import sys, wave, struct
def read(name):
    w = wave.open(name)
    return struct.unpack("<%dh" % (w.getnframes() * w.getnchannels()), w.readframes(w.getnframes()))
one, low = read("reverberated.wav"), read("reverberated-low-latency.wav")
first = lambda s: next(i for i, v in enumerate(s) if v)
shift = first(one) - first(low)
worst = max(abs(a - b) for a, b in zip(low, one[shift:]))
frames = int(sys.argv[1]) - shift // 2
print("%d frames, %.1f ms (the one-block output moved %.1f ms earlier, within %d LSB)"
      % (frames, 1000.0 * frames / 44100, 1000.0 * shift / 2 / 44100, worst))' "$block")
echo
echo "Dry input:        $demo/dry.wav"
echo "Reverberated:     $demo/reverberated.wav (lags by one block, the IR's length: $block frames)"
echo "Low latency:      $demo/reverberated-low-latency.wav (LowLatency=1: lags by $lag)"
echo "Control window:   $demo/control_window.png"
