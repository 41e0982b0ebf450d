// SPDX-License-Identifier: GPL-2.0-or-later
// The dry's delay line: its memory, its growth and the frames it keeps while
// no engine streams.
#include "engine/dry_line.h"

#include <cstring>

#include "base/memory.h"
#include "engine/pcm.h"

bool AllocDryLine(DryLine* line, int32_t channels, int32_t length) {
  *line = DryLine{{nullptr, nullptr}, channels, length, 0, 0};
  for (int c = 0; length > 0 && c < channels; ++c) {
    line->Data[c] = AllocFloats(length);
    if (!line->Data[c]) {
      FreeDryLine(line);
      return false;
    }
  }
  return true;
}

void FreeDryLine(DryLine* line) {
  for (float*& data : line->Data) {
    FreeMemory(data);
    data = nullptr;
  }
  *line = DryLine{};
}

void CarryDryLine(const DryLine& from, DryLine* to) {
  // The oldest frame first, so that the newest ends just before `to`'s Pos.
  for (int c = 0; c < from.Channels && from.Length > 0; ++c) {
    const int32_t older = from.Length - from.Pos;
    std::memcpy(to->Data[c], from.Data[c] + from.Pos, sizeof(float) * older);
    std::memcpy(to->Data[c] + older, from.Data[c], sizeof(float) * from.Pos);
  }
  to->Pos = from.Length % to->Length;
  to->Written = from.Written;
}

int32_t DryLineSlot(const DryLine& line, int64_t frame) {
  const int64_t back = line.Written - frame;  // 1..Length
  return static_cast<int32_t>((line.Pos - back % line.Length + line.Length) % line.Length);
}

namespace {

template <class F>
void Keep(DryLine* line, const uint8_t* s, int32_t frames) {
  const int channels = line->Channels;
  while (frames > 0) {
    int32_t n = line->Length - line->Pos;
    if (n > frames) n = frames;
    for (int c = 0; c < channels; ++c) {
      float* dry = line->Data[c] + line->Pos;
      for (int32_t i = 0; i < n; ++i) {
        dry[i] = static_cast<float>(F::Read(s + F::kBytes * (channels * i + c)));
      }
    }
    line->Pos = (line->Pos + n) % line->Length;
    line->Written += n;
    s += n * channels * F::kBytes;
    frames -= n;
  }
}

}  // namespace

void KeepDry(DryLine* line, const void* samples, int32_t frames, int32_t bits) {
  if (line->Length == 0) return;
  WithFormat(bits, [&](auto format) {
    Keep<decltype(format)>(line, static_cast<const uint8_t*>(samples), frames);
  });
}

int64_t DryLineBytes(const DryLine& line) { return int64_t{4} * line.Length * line.Channels; }
