// SPDX-License-Identifier: GPL-2.0-or-later
// make_banner OUT.bmp: writes the control window's banner bitmap.
#include <cstdio>

#include "banner.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_banner OUT.bmp\n");
    return 2;
  }
  const std::vector<uint8_t> bytes = EncodeBmp8(DrawBanner());
  std::FILE* f = std::fopen(argv[1], "wb");
  if (!f) {
    std::perror(argv[1]);
    return 1;
  }
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (std::fclose(f) != 0 || !ok) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
