// SSIM of two greyscale pictures of the same size, given as binary PGM (P5,
// 8-bit) files: 8x8 windows, stride 4, the usual constants for 8-bit data.
//
//   bench_ssim REFERENCE.pgm CANDIDATE.pgm   -> prints the mean SSIM
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Far above any picture compared here; guards the allocation.
constexpr long kMaxPixels = 100L * 1000 * 1000;

struct Grey {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;
};

bool ReadPgm(const char* path, Grey* g) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  int maxval = 0;
  const bool header =
      std::fscanf(f, "P5 %d %d %d", &g->width, &g->height, &maxval) == 3 && std::fgetc(f) != EOF;
  bool ok = header && maxval == 255 && g->width > 0 && g->height > 0 &&
            static_cast<long>(g->width) * g->height <= kMaxPixels;
  if (ok) {
    g->pixels.resize(static_cast<size_t>(g->width) * g->height);
    ok = std::fread(g->pixels.data(), 1, g->pixels.size(), f) == g->pixels.size();
  }
  std::fclose(f);
  return ok;
}

double MeanSsim(const Grey& a, const Grey& b) {
  constexpr int kWindow = 8, kStride = 4;
  const double c1 = (0.01 * 255) * (0.01 * 255), c2 = (0.03 * 255) * (0.03 * 255);
  double total = 0;
  long windows = 0;
  for (int y = 0; y + kWindow <= a.height; y += kStride) {
    for (int x = 0; x + kWindow <= a.width; x += kStride) {
      double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
      for (int dy = 0; dy < kWindow; ++dy) {
        const size_t row = static_cast<size_t>(y + dy) * a.width + x;
        for (int dx = 0; dx < kWindow; ++dx) {
          const double va = a.pixels[row + dx], vb = b.pixels[row + dx];
          sa += va, sb += vb, saa += va * va, sbb += vb * vb, sab += va * vb;
        }
      }
      const double n = kWindow * kWindow;
      const double ma = sa / n, mb = sb / n;
      const double va = saa / n - ma * ma, vb = sbb / n - mb * mb, cov = sab / n - ma * mb;
      total += ((2 * ma * mb + c1) * (2 * cov + c2)) / ((ma * ma + mb * mb + c1) * (va + vb + c2));
      ++windows;
    }
  }
  return windows ? total / windows : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_ssim REFERENCE.pgm CANDIDATE.pgm\n");
    return 2;
  }
  Grey a, b;
  if (!ReadPgm(argv[1], &a) || !ReadPgm(argv[2], &b)) {
    std::fprintf(stderr, "bench_ssim: cannot read the pictures\n");
    return 1;
  }
  if (a.width != b.width || a.height != b.height) {
    std::fprintf(stderr, "bench_ssim: sizes differ (%dx%d, %dx%d)\n", a.width, a.height, b.width,
                 b.height);
    return 1;
  }
  std::printf("%.4f\n", MeanSsim(a, b));
  return 0;
}
