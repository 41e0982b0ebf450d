// SPDX-License-Identifier: GPL-2.0-or-later
// Drawing the banner: pixel fonts, the title artwork, the graph panel, and
// the reduction to one 256-colour palette.
#include "banner.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>

#include "ir/graph_geometry.h"
#include "version.h"

namespace {

constexpr int kWidth = kBannerWidth;
constexpr int kHeight = kBannerHeight;

// Layout of the right part; the control window draws into the panel.
constexpr int kArtEnd = 242;
constexpr int kPanelLeft = kGraphFirstColumn;
constexpr int kPanelRight = kGraphLastColumn;
constexpr int kGridX[] = {265, 310, 355, 401};
constexpr int kGridY[] = {15, 30, 45};

constexpr Rgb kNearBlack{8, 8, 8};
constexpr Rgb kPanel{24, 41, 74};
constexpr Rgb kGrid{24, 57, 99};
constexpr Rgb kLabel{99, 148, 189};
constexpr Rgb kDot{255, 239, 224};
constexpr Rgb kMarker{112, 127, 127};

struct Glyph {
  char ch;
  const char* rows[7];
};

// Labels of the graph: 5 rows, proportional.
constexpr Glyph kTiny[] = {
    {'0', {"###", "#.#", "#.#", "#.#", "###"}}, {'1', {".#.", "##.", ".#.", ".#.", "###"}},
    {'2', {"##.", "..#", ".#.", "#..", "###"}}, {'3', {"##.", "..#", ".#.", "..#", "##."}},
    {'s', {".##", "#..", ".#.", "..#", "##."}}, {'d', {"..#", "..#", "###", "#.#", "###"}},
    {'B', {"##.", "#.#", "##.", "#.#", "##."}}, {'-', {"..", "..", "##", "..", ".."}},
};

// Title and subtitle: 7 rows, proportional.
constexpr Glyph kSmall[] = {
    {'Q', {".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"}},
    {'u', {".....", ".....", "#...#", "#...#", "#...#", "#..##", ".##.#"}},
    {'i', {".#.", "...", "##.", ".#.", ".#.", ".#.", "###"}},
    {'l', {"##.", ".#.", ".#.", ".#.", ".#.", ".#.", "###"}},
    {'a', {".....", ".....", ".###.", "....#", ".####", "#...#", ".####"}},
    {'r', {".....", ".....", "#.##.", "##..#", "#....", "#....", "#...."}},
    {'v', {".....", ".....", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},
    {'e', {".....", ".....", ".###.", "#...#", "#####", "#....", ".###."}},
    {'n', {".....", ".....", "#.##.", "##..#", "#...#", "#...#", "#...#"}},
    {'C', {".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."}},
    {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'N', {"#...#", "#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#"}},
    {'V', {"#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
    {'U', {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
    {'I', {"###", ".#.", ".#.", ".#.", ".#.", ".#.", "###"}},
    {'3', {".###.", "#...#", "....#", "..##.", "....#", "#...#", ".###."}},
    {'1', {".#.", "##.", ".#.", ".#.", ".#.", ".#.", "###"}},
    {'0', {".##.", "#..#", "#..#", "#..#", "#..#", "#..#", ".##."}},
    {'.', {".", ".", ".", ".", ".", ".", "#"}},
    {' ', {"..", "..", "..", "..", "..", "..", ".."}},
};

template <size_t N>
const Glyph& Find(const Glyph (&font)[N], char ch) {
  for (const Glyph& g : font) {
    if (g.ch == ch) return g;
  }
  return font[0];
}

int GlyphWidth(const Glyph& g) { return static_cast<int>(std::strlen(g.rows[0])); }

template <size_t N>
int TextWidth(const Glyph (&font)[N], const char* text, int spacing) {
  int w = 0;
  for (const char* p = text; *p; ++p) w += GlyphWidth(Find(font, *p)) + (p[1] ? spacing : 0);
  return w;
}

struct Color {
  double r, g, b;
};

Color Mix(Color a, Color b, double t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}
Color FromRgb(Rgb c) { return {double(c.r), double(c.g), double(c.b)}; }

class Canvas {
 public:
  Canvas() : px_(static_cast<size_t>(kWidth) * kHeight, Color{0, 0, 0}) {}

  void Set(int x, int y, Color c) {
    if (x >= 0 && x < kWidth && y >= 0 && y < kHeight) px_[Index(x, y)] = c;
  }
  void Blend(int x, int y, Color c, double alpha) {
    if (x < 0 || x >= kWidth || y < 0 || y >= kHeight || alpha <= 0) return;
    Color& d = px_[Index(x, y)];
    d = Mix(d, c, std::min(alpha, 1.0));
  }
  void Add(int x, int y, Color c, double amount) {
    if (x < 0 || x >= kWidth || y < 0 || y >= kHeight || amount <= 0) return;
    Color& d = px_[Index(x, y)];
    d = {d.r + c.r * amount, d.g + c.g * amount, d.b + c.b * amount};
  }
  void Fill(int x0, int y0, int x1, int y1, Rgb c) {
    for (int y = y0; y <= y1; ++y) {
      for (int x = x0; x <= x1; ++x) Set(x, y, FromRgb(c));
    }
  }
  std::vector<Rgb> ToRgb() const {
    std::vector<Rgb> out;
    out.reserve(px_.size());
    for (const Color& c : px_) out.push_back({Channel(c.r), Channel(c.g), Channel(c.b)});
    return out;
  }

 private:
  static size_t Index(int x, int y) { return static_cast<size_t>(y) * kWidth + x; }
  static uint8_t Channel(double v) {
    return static_cast<uint8_t>(std::clamp(std::floor(v + 0.5), 0.0, 255.0));
  }
  std::vector<Color> px_;
};

// Hard-edged text at one pixel per glyph pixel; returns the width drawn.
template <size_t N>
int DrawText(Canvas* canvas, const Glyph (&font)[N], const char* text, int x, int y, int spacing,
             Rgb color) {
  const int start = x;
  for (const char* p = text; *p; ++p) {
    const Glyph& g = Find(font, *p);
    const int w = GlyphWidth(g);
    for (int row = 0; row < 7 && g.rows[row]; ++row) {
      for (int col = 0; col < w; ++col) {
        if (g.rows[row][col] == '#') canvas->Set(x + col, y + row, FromRgb(color));
      }
    }
    x += w + spacing;
  }
  return x - spacing - start;
}

// A one-bit picture, used to enlarge glyphs with rounded diagonals.
struct Mask {
  int w = 0, h = 0;
  std::vector<uint8_t> bits;
  int At(int x, int y) const {
    return (x < 0 || x >= w || y < 0 || y >= h) ? 0 : bits[static_cast<size_t>(y) * w + x];
  }
};

// Scale2x: doubles the size and cuts the stair steps of diagonals.
Mask Scale2x(const Mask& m) {
  Mask out;
  out.w = m.w * 2;
  out.h = m.h * 2;
  out.bits.assign(static_cast<size_t>(out.w) * out.h, 0);
  for (int y = 0; y < m.h; ++y) {
    for (int x = 0; x < m.w; ++x) {
      const int p = m.At(x, y), a = m.At(x, y - 1), b = m.At(x + 1, y), c = m.At(x - 1, y),
                d = m.At(x, y + 1);
      const int e[4] = {(c == a && c != d && a != b) ? a : p, (a == b && a != c && b != d) ? b : p,
                        (d == c && d != b && c != a) ? c : p, (b == d && b != a && d != c) ? d : p};
      for (int k = 0; k < 4; ++k) {
        out.bits[static_cast<size_t>(2 * y + k / 2) * out.w + 2 * x + k % 2] =
            static_cast<uint8_t>(e[k]);
      }
    }
  }
  return out;
}

// Text at `scale` target pixels per glyph pixel, as coverage 0..1 per pixel
// of a w x h field (anti-aliased by 4 x 4 samples).
struct Coverage {
  int w = 0, h = 0;
  std::vector<double> a;
  double At(int x, int y) const {
    return (x < 0 || x >= w || y < 0 || y >= h) ? 0.0 : a[static_cast<size_t>(y) * w + x];
  }
};

Coverage RenderLarge(const char* text, double scale, int spacing) {
  Mask m;
  m.h = 7;
  m.w = TextWidth(kSmall, text, spacing);
  m.bits.assign(static_cast<size_t>(m.w) * m.h, 0);
  int x = 0;
  for (const char* p = text; *p; ++p) {
    const Glyph& g = Find(kSmall, *p);
    for (int row = 0; row < 7; ++row) {
      for (int col = 0; col < GlyphWidth(g); ++col) {
        if (g.rows[row][col] == '#') m.bits[static_cast<size_t>(row) * m.w + x + col] = 1;
      }
    }
    x += GlyphWidth(g) + spacing;
  }
  const Mask big = Scale2x(Scale2x(m));
  Coverage out;
  out.h = static_cast<int>(std::ceil(m.h * scale));
  out.w = static_cast<int>(std::ceil(m.w * scale));
  out.a.assign(static_cast<size_t>(out.w) * out.h, 0.0);
  constexpr int kSub = 4;
  for (int ty = 0; ty < out.h; ++ty) {
    for (int tx = 0; tx < out.w; ++tx) {
      int hits = 0;
      for (int sy = 0; sy < kSub; ++sy) {
        const double fy = ty + (sy + 0.5) / kSub;
        const int by = static_cast<int>(std::floor(fy * 4 / scale));
        for (int sx = 0; sx < kSub; ++sx) {
          const double fx = tx + (sx + 0.5) / kSub;
          hits += big.At(static_cast<int>(std::floor(fx * 4 / scale)), by);
        }
      }
      out.a[static_cast<size_t>(ty) * out.w + tx] = hits / double(kSub * kSub);
    }
  }
  return out;
}

// A small fixed generator, so the artwork is the same on every machine.
class Lcg {
 public:
  double Next() {
    state_ = state_ * 1664525u + 1013904223u;
    return (state_ >> 8) / double(1u << 24);
  }

 private:
  uint32_t state_ = 0x51ab7e3u;
};

void DrawBackground(Canvas* c) {
  const Color left{22, 30, 58}, right = FromRgb(kNearBlack);
  for (int y = 0; y < kHeight; ++y) {
    const double v = (y - 24.0) / 40.0;
    for (int x = 0; x < kArtEnd; ++x) {
      const double t = x / double(kArtEnd - 1);
      Color col = Mix(left, right, t * t * (3 - 2 * t));
      const double shade = 1.0 - 0.35 * v * v;
      c->Set(x, y, {col.r * shade, col.g * shade, col.b * shade});
    }
  }
  // Wavefronts spreading from a source off the left edge, fading as they go.
  const Color ring{70, 120, 190};
  const double cx = -18, cy = 30;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kArtEnd; ++x) {
      const double d = std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy));
      const double k = std::floor(d / 11.0 + 0.5);
      const double edge = 1.0 - std::fabs(d - 11.0 * k);
      if (k < 1 || edge <= 0) continue;
      const double fade = std::max(0.0, 1.0 - d / 250.0);
      c->Add(x, y, ring, 0.1 * edge * fade * fade);
    }
  }
}

// An impulse response as a level meter would show it: the direct sound, a
// few early reflections, then a dense tail dying away.
void DrawWaveform(Canvas* c, int x0, int x1, int yc) {
  const Color hot{120, 220, 240}, cool{40, 110, 170};
  Lcg rng;
  struct Spike {
    int at;
    double level;
  };
  const Spike early[] = {{0, 1.0},   {6, 0.62},  {11, 0.5}, {15, 0.7},
                         {20, 0.45}, {24, 0.55}, {27, 0.4}};
  double env = 0.8;
  for (int x = x0; x <= x1; ++x) {
    const int t = x - x0;
    double level = 0;
    for (const Spike& s : early) {
      if (s.at == t) level = s.level;
    }
    if (t > 30) {
      env *= 0.98;
      level = env * (0.35 + 0.65 * rng.Next());
    } else if (level == 0) {
      level = 0.25 * env * rng.Next();
    }
    const double amp = level * 7.5;
    const double fade = 1.0 - double(t) / (x1 - x0 + 1);
    const Color col = Mix(cool, hot, std::min(1.0, level * 1.6));
    for (int dy = -7; dy <= 7; ++dy) {
      const double cover = std::clamp(amp + 0.5 - std::fabs(double(dy)), 0.0, 1.0);
      c->Blend(x, yc + dy, col, cover * (0.35 + 0.65 * fade));
    }
  }
}

// Returns the column just right of the word.
int DrawTitle(Canvas* c) {
  const Coverage word = RenderLarge("Quillarven", 3.25, 1);
  const int x0 = 12, y0 = 4;
  const Color top{250, 252, 255}, bottom{150, 192, 238};
  const Color echo{60, 120, 200};
  // Two fading repeats to the right: the word's own reverb.
  for (int rep = 2; rep >= 1; --rep) {
    for (int y = 0; y < word.h; ++y) {
      for (int x = 0; x < word.w; ++x) {
        c->Blend(x0 + x + 4 * rep, y0 + y, echo, word.At(x, y) * (rep == 1 ? 0.24 : 0.1));
      }
    }
  }
  // A soft shadow, then the word with a top-down sheen.
  for (int y = 0; y < word.h; ++y) {
    for (int x = 0; x < word.w; ++x) {
      c->Blend(x0 + x + 1, y0 + y + 1, Color{0, 0, 0}, word.At(x, y) * 0.7);
    }
  }
  int last = 0;
  for (int y = 0; y < word.h; ++y) {
    const Color col = Mix(top, bottom, y / double(word.h - 1));
    for (int x = 0; x < word.w; ++x) {
      c->Blend(x0 + x, y0 + y, col, word.At(x, y));
      if (word.At(x, y) > 0) last = std::max(last, x);
    }
  }
  return x0 + last + 1;
}

void DrawPanel(Canvas* c) {
  c->Fill(kArtEnd, 0, kPanelLeft - 1, kHeight - 1, kNearBlack);
  c->Fill(kPanelRight + 1, 0, kWidth - 1, kHeight - 1, kNearBlack);
  c->Fill(kPanelLeft, 0, kPanelRight, kHeight - 1, kPanel);
  for (int x : kGridX) c->Fill(x, 0, x, kHeight - 1, kGrid);
  for (int y : kGridY) c->Fill(kPanelLeft, y, kPanelRight, y, kGrid);
  const char* seconds[] = {"0s", "1s", "2s", "3s"};
  for (int i = 0; i < 4; ++i) DrawText(c, kTiny, seconds[i], kGridX[i] + 2, 50, 1, kLabel);
  const char* levels[] = {"-10dB", "-20dB", "-30dB"};
  for (int i = 0; i < 3; ++i) {
    const int w = TextWidth(kTiny, levels[i], 1);
    DrawText(c, kTiny, levels[i], kPanelRight + 1 - w, kGridY[i] - 6, 1, kLabel);
  }
}

}  // namespace

Bmp8 Quantize(int width, int height, const std::vector<Rgb>& pixels,
              const std::vector<Rgb>& fixed) {
  auto pack = [](Rgb c) { return (uint32_t(c.r) << 16) | (uint32_t(c.g) << 8) | c.b; };
  auto fixedIndex = [&](Rgb c) {
    for (size_t i = 0; i < fixed.size(); ++i) {
      if (fixed[i] == c) return static_cast<int>(i);
    }
    return -1;
  };
  std::map<uint32_t, uint32_t> counts;
  for (const Rgb& c : pixels) {
    if (fixedIndex(c) < 0) ++counts[pack(c)];
  }
  struct Entry {
    Rgb c;
    uint32_t count;
  };
  std::vector<Entry> entries;
  for (const auto& [key, n] : counts) {
    entries.push_back({Rgb{uint8_t(key >> 16), uint8_t(key >> 8), uint8_t(key)}, n});
  }

  // Median cut: split the box with the largest spread times weight.
  struct Box {
    size_t begin, end;
  };
  auto channel = [](Rgb c, int k) { return k == 0 ? c.r : k == 1 ? c.g : c.b; };
  auto widest = [&](const Box& b, int* range) {
    int best = 0;
    *range = -1;
    for (int k = 0; k < 3; ++k) {
      int lo = 255, hi = 0;
      for (size_t i = b.begin; i < b.end; ++i) {
        lo = std::min<int>(lo, channel(entries[i].c, k));
        hi = std::max<int>(hi, channel(entries[i].c, k));
      }
      if (hi - lo > *range) *range = hi - lo, best = k;
    }
    return best;
  };
  const size_t slots = 256 - fixed.size();
  std::vector<Box> boxes;
  if (!entries.empty()) boxes.push_back({0, entries.size()});
  while (boxes.size() < slots) {
    uint64_t bestScore = 0;
    size_t pick = boxes.size();
    for (size_t i = 0; i < boxes.size(); ++i) {
      if (boxes[i].end - boxes[i].begin < 2) continue;
      int range = 0;
      widest(boxes[i], &range);
      uint64_t weight = 0;
      for (size_t j = boxes[i].begin; j < boxes[i].end; ++j) weight += entries[j].count;
      const uint64_t score = uint64_t(range) * weight;
      if (score > bestScore) bestScore = score, pick = i;
    }
    if (pick == boxes.size()) break;
    Box& b = boxes[pick];
    int range = 0;
    const int k = widest(b, &range);
    std::sort(entries.begin() + b.begin, entries.begin() + b.end,
              [&](const Entry& p, const Entry& q) {
                return channel(p.c, k) != channel(q.c, k) ? channel(p.c, k) < channel(q.c, k)
                                                          : pack(p.c) < pack(q.c);
              });
    uint64_t total = 0, run = 0;
    for (size_t j = b.begin; j < b.end; ++j) total += entries[j].count;
    size_t cut = b.begin + 1;
    for (size_t j = b.begin; j + 1 < b.end; ++j) {
      run += entries[j].count;
      cut = j + 1;
      if (2 * run >= total) break;
    }
    const Box upper{cut, b.end};
    b.end = cut;
    boxes.push_back(upper);
  }

  Bmp8 image;
  image.width = width;
  image.height = height;
  size_t used = 0;
  for (const Rgb& c : fixed) image.palette[used++] = c;
  for (const Box& b : boxes) {
    uint64_t sum[3] = {0, 0, 0}, n = 0;
    for (size_t j = b.begin; j < b.end; ++j) {
      for (int k = 0; k < 3; ++k) sum[k] += uint64_t(channel(entries[j].c, k)) * entries[j].count;
      n += entries[j].count;
    }
    image.palette[used++] = Rgb{uint8_t((sum[0] + n / 2) / n), uint8_t((sum[1] + n / 2) / n),
                                uint8_t((sum[2] + n / 2) / n)};
  }

  std::map<uint32_t, uint8_t> nearest;
  image.pixels.reserve(pixels.size());
  for (const Rgb& c : pixels) {
    const int f = fixedIndex(c);
    if (f >= 0) {
      image.pixels.push_back(static_cast<uint8_t>(f));
      continue;
    }
    auto it = nearest.find(pack(c));
    if (it == nearest.end()) {
      int best = 0, bestDist = 1 << 30;
      for (size_t i = 0; i < used; ++i) {
        const Rgb& p = image.palette[i];
        const int d =
            (p.r - c.r) * (p.r - c.r) + (p.g - c.g) * (p.g - c.g) + (p.b - c.b) * (p.b - c.b);
        if (d < bestDist) bestDist = d, best = static_cast<int>(i);
      }
      it = nearest.emplace(pack(c), static_cast<uint8_t>(best)).first;
    }
    image.pixels.push_back(it->second);
  }
  return image;
}

Bmp8 DrawBanner() {
  Canvas canvas;
  DrawBackground(&canvas);
  DrawWaveform(&canvas, 13, 232, 49);
  const int titleEnd = DrawTitle(&canvas);
  // The subtitle ends under the title's last letter.
  const char* subtitle = QLV_BANNER_SUBTITLE;
  DrawText(&canvas, kSmall, subtitle, titleEnd - TextWidth(kSmall, subtitle, 2), 34, 2,
           Rgb{236, 176, 96});
  DrawPanel(&canvas);
  return Quantize(kWidth, kHeight, canvas.ToRgb(),
                  {kNearBlack, kPanel, kGrid, kLabel, kDot, kMarker});
}
