#include "imaging/resampler.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <vector>

namespace imaging {
namespace {

using Pixels = std::vector<uint8_t>;
using SampleAt = std::function<uint8_t(int32_t x, int32_t y, int c)>;

struct Resampled {
  Pixels pixels;
  int32_t sourceRowsRead = 0;
};

// Drives the resampler the way the JPEG reducer does, checking the protocol.
Resampled Resample(int32_t sw, int32_t sh, int32_t tw, int32_t th, int channels,
                   const SampleAt& at) {
  RowResampler r;
  Resampled out;
  if (!r.Init(sw, sh, tw, th, channels)) {
    ADD_FAILURE() << "Init refused " << sw << "x" << sh << " -> " << tw << "x" << th;
    return out;
  }
  out.pixels.resize(static_cast<size_t>(tw) * th * channels);
  for (int32_t y = 0; y < th; ++y) {
    while (r.NeedsSourceRow()) {
      EXPECT_LT(out.sourceRowsRead, sh) << "asked for a row past the source";
      if (out.sourceRowsRead >= sh) return out;
      uint8_t* row = r.SourceRow();
      for (int32_t x = 0; x < sw; ++x)
        for (int c = 0; c < channels; ++c) row[x * channels + c] = at(x, out.sourceRowsRead, c);
      r.CommitSourceRow();
      ++out.sourceRowsRead;
    }
    r.ProduceRow(&out.pixels[static_cast<size_t>(y) * tw * channels]);
  }
  EXPECT_EQ(r.RowsProduced(), th);
  EXPECT_FALSE(r.NeedsSourceRow());
  return out;
}

TEST(RowResamplerTest, FlatImageStaysFlatAtAnyRatio) {
  // Weights must sum to one everywhere, the borders included; a filter that
  // loses or gains weight at the edges shows here as a dark or bright frame.
  const struct {
    int32_t sw, sh, tw, th;
    int channels;
  } cases[] = {{1500, 1000, 800, 533, 3}, {37, 23, 5, 3, 1}, {10, 10, 31, 47, 4},
               {7, 9, 7, 9, 2},           {640, 8, 1, 1, 3}, {1, 1, 13, 5, 3},
               {300, 200, 299, 199, 1}};
  for (const auto& c : cases) {
    const Resampled out =
        Resample(c.sw, c.sh, c.tw, c.th, c.channels,
                 [](int32_t, int32_t, int ch) { return static_cast<uint8_t>(40 + 60 * ch); });
    for (size_t i = 0; i < out.pixels.size(); ++i) {
      ASSERT_EQ(out.pixels[i], 40 + 60 * (i % c.channels))
          << c.sw << "x" << c.sh << " -> " << c.tw << "x" << c.th << " at " << i;
    }
  }
}

TEST(RowResamplerTest, SameSizeReproducesTheSource) {
  // Catmull-Rom interpolates: at scale 1 every tap but the centre is zero.
  auto noise = [](int32_t x, int32_t y, int c) {
    return static_cast<uint8_t>((x * 73 + y * 151 + c * 29 + x * y) & 0xFF);
  };
  const Resampled out = Resample(33, 17, 33, 17, 3, noise);
  for (int32_t y = 0; y < 17; ++y)
    for (int32_t x = 0; x < 33; ++x)
      for (int c = 0; c < 3; ++c) ASSERT_EQ(out.pixels[(y * 33 + x) * 3 + c], noise(x, y, c));
}

TEST(RowResamplerTest, ShrinkingAveragesInsteadOfAliasing) {
  // A one-pixel checkerboard reduced 7:1 (odd, so point sampling would pick
  // a single colour) must come out as an even grey, not black or white.
  const Resampled out = Resample(700, 700, 100, 100, 1, [](int32_t x, int32_t y, int) {
    return static_cast<uint8_t>(((x + y) & 1) ? 255 : 0);
  });
  for (int32_t y = 2; y < 98; ++y)
    for (int32_t x = 2; x < 98; ++x) ASSERT_NEAR(out.pixels[y * 100 + x], 128, 3) << x << "," << y;
}

TEST(RowResamplerTest, KeepsGeometryAndChannelOrder) {
  // Left half red, right half blue, top rows bright: the reduced image must
  // show the same layout (no transposition, mirror or channel mix-up).
  const Resampled out = Resample(400, 300, 40, 30, 3, [](int32_t x, int32_t y, int c) {
    if (y < 150 && c == 1) return static_cast<uint8_t>(200);
    if (c == 0) return static_cast<uint8_t>(x < 200 ? 250 : 0);
    if (c == 2) return static_cast<uint8_t>(x < 200 ? 0 : 250);
    return static_cast<uint8_t>(0);
  });
  auto at = [&](int32_t x, int32_t y, int c) { return out.pixels[(y * 40 + x) * 3 + c]; };
  EXPECT_EQ(at(5, 5, 0), 250);
  EXPECT_EQ(at(5, 5, 2), 0);
  EXPECT_EQ(at(35, 25, 0), 0);
  EXPECT_EQ(at(35, 25, 2), 250);
  EXPECT_EQ(at(5, 5, 1), 200);
  EXPECT_EQ(at(5, 25, 1), 0);
}

TEST(RowResamplerTest, StopsAskingOnceTheLastOutputRowIsCovered) {
  // The last output rows reach down to the source's last rows (the widened
  // kernel spans 16 rows here) but never past them.
  const Resampled out = Resample(64, 800, 8, 100, 1, [](int32_t, int32_t, int) { return 9; });
  EXPECT_LE(out.sourceRowsRead, 800);
  EXPECT_GE(out.sourceRowsRead, 790);
}

TEST(RowResamplerTest, RefusesUnusableSizes) {
  RowResampler r;
  EXPECT_FALSE(r.Init(0, 10, 5, 5, 3));
  EXPECT_FALSE(r.Init(10, 10, 0, 5, 3));
  EXPECT_FALSE(r.Init(10, 10, 5, -1, 3));
  EXPECT_FALSE(r.Init(10, 10, 5, 5, 0));
  EXPECT_FALSE(r.Init(10, 10, 5, 5, 5));
  EXPECT_FALSE(r.Init(kMaxResampleDimension + 1, 10, 5, 5, 1));
  // A full-width target squeezed to one row would need every source row at
  // once: far past the work budget, refused before allocating.
  EXPECT_FALSE(r.Init(65000, 65000, 65000, 1, 4));
  EXPECT_FALSE(r.NeedsSourceRow());
  EXPECT_TRUE(r.Init(10, 10, 5, 5, 3));
}

}  // namespace
}  // namespace imaging
