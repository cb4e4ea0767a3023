#include "imaging/resampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <utility>
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
  // The cubic interpolates: at scale 1 every tap but the centre is zero.
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

// One row of a single-channel resample, for the edge tests (every row alike).
Pixels ResampleRow(int32_t sw, int32_t tw, const std::function<uint8_t(int32_t x)>& at) {
  const Resampled out = Resample(sw, 4, tw, 2, 1, [&](int32_t x, int32_t, int) { return at(x); });
  return Pixels(out.pixels.begin(), out.pixels.begin() + tw);
}

TEST(RowResamplerTest, StepEdgeStaysInPlaceAndSharp) {
  // A step at source x = 300 of 600 lands at target x = 50 of 100: between
  // pixels 49 and 50, which the symmetric kernel puts equally far from the
  // middle level. A filter off by half a pixel (the classic corner-aligned
  // mistake) breaks the symmetry; a blurry one leaves the two pixels beside
  // the edge far from the levels on either side; the far sides keep their
  // exact levels.
  const Pixels row = ResampleRow(600, 100, [](int32_t x) { return x < 300 ? 20 : 220; });
  EXPECT_NEAR(row[49] + row[50], 240, 1);
  EXPECT_LT(row[49], 45);
  EXPECT_GT(row[50], 195);
  for (int x = 0; x < 46; ++x) ASSERT_EQ(row[x], 20) << x;
  for (int x = 54; x < 100; ++x) ASSERT_EQ(row[x], 220) << x;

  // At a ratio that is no integer the middle level is still crossed where
  // the edge falls: source 437 of 1000 -> target 437 * 0.233 = 101.82, a
  // crossing between the centres 101.5 and 102.5 of pixels 101 and 102.
  const Pixels odd = ResampleRow(1000, 233, [](int32_t x) { return x < 437 ? 0 : 200; });
  const double crossing = 101.5 + (100.0 - odd[101]) / (odd[102] - odd[101]);
  EXPECT_NEAR(crossing, 437 * 0.233, 0.15);
}

TEST(RowResamplerTest, OvershootIsSmallAndClampedNotWrapped) {
  // The kernel's negative lobes overshoot at hard edges: a few levels of
  // ringing at a mid-level edge, never a visible halo.
  const Pixels mid = ResampleRow(600, 100, [](int32_t x) { return x < 300 ? 64 : 192; });
  for (int x = 0; x < 100; ++x) {
    EXPECT_GE(mid[x], 64 - 6) << x;
    EXPECT_LE(mid[x], 192 + 6) << x;
  }
  // Beside a thin line on a full-scale field the sum passes 255 (or drops
  // below 0) and must be clamped: stored as 256 -> 0 it would put a dot of
  // the opposite colour beside every line. Clamped, the level only moves
  // back towards the field's walking away from a line.
  for (const auto& [field, line] : {std::pair<int, int>{255, 0}, {0, 255}}) {
    const Pixels row = ResampleRow(800, 300, [field = field, line = line](int32_t x) {
      return static_cast<uint8_t>(x % 40 == 20 ? line : field);
    });
    const int towardsField = field > line ? 1 : -1;
    for (int k = 0; k < 20; ++k) {
      // Line k sits at source 20 + 40k; its nearest target pixel, and the
      // pixels on to the midpoints between it and its neighbours.
      const double at = (20 + 40 * k + 0.5) * 300 / 800 - 0.5;
      const int centre = static_cast<int>(std::lround(at));
      EXPECT_NE(row[centre], field) << "line " << k << " vanished";
      for (int x = centre; x < std::min(299, centre + 7); ++x) {
        ASSERT_GE((row[x + 1] - row[x]) * towardsField, 0) << x << " on a " << field << " field";
      }
      for (int x = centre; x > std::max(0, centre - 7); --x) {
        ASSERT_GE((row[x - 1] - row[x]) * towardsField, 0) << x << " on a " << field << " field";
      }
    }
  }
}

TEST(RowResamplerTest, GreyStaysGrey) {
  // Every channel gets the same weights: equal channels stay equal, so grey
  // pictures (and grey parts of colour ones) pick up no colour cast.
  const Resampled out = Resample(321, 123, 100, 38, 3, [](int32_t x, int32_t y, int) {
    return static_cast<uint8_t>((x * 37 + y * 101 + x * y) & 0xFF);
  });
  for (size_t i = 0; i < out.pixels.size(); i += 3) {
    ASSERT_EQ(out.pixels[i], out.pixels[i + 1]) << i / 3;
    ASSERT_EQ(out.pixels[i], out.pixels[i + 2]) << i / 3;
  }
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

// Guards the pass that filters a pixel's channels together: each channel
// must come out exactly as it does filtered alone, over shrinking, enlarging
// and the last pixel of a row (whose register reaches past the row's end).
TEST(RowResamplerTest, ChannelsFilteredTogetherMatchEachChannelAlone) {
  const SampleAt noise = [](int32_t x, int32_t y, int c) {
    return static_cast<uint8_t>((x * 73 + y * 151 + c * 89 + (x * y) % 37) * 2654435761u >> 24);
  };
  struct Case {
    int32_t sw, sh, tw, th;
  };
  for (const Case& k : {Case{404, 270, 256, 171}, Case{97, 61, 40, 25}, Case{13, 9, 31, 20}}) {
    for (int channels : {3, 4}) {
      const Pixels together = Resample(k.sw, k.sh, k.tw, k.th, channels, noise).pixels;
      for (int c = 0; c < channels; ++c) {
        const Pixels alone = Resample(k.sw, k.sh, k.tw, k.th, 1, [&](int32_t x, int32_t y, int) {
                               return noise(x, y, c);
                             }).pixels;
        ASSERT_EQ(together.size(), alone.size() * channels);
        size_t mismatches = 0;
        for (size_t i = 0; i < alone.size(); ++i)
          mismatches += together[i * channels + c] != alone[i];
        EXPECT_EQ(mismatches, 0u) << k.sw << "x" << k.sh << " -> " << k.tw << "x" << k.th << ", "
                                  << channels << " channels, channel " << c;
      }
    }
  }
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
