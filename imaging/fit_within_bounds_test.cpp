#include <gtest/gtest.h>

#include "imaging/imaging.h"

namespace imaging {
namespace {

struct BoundsCase {
  int32_t width, height, maxWidth, maxHeight;
  int32_t expectWidth, expectHeight;
};

// Reduced copies are named after the bounded width, so these numbers are
// visible to users and must agree between the Linux and Windows builds.
TEST(FitWithinBoundsTest, TriesWidthFirstAndTruncates) {
  const BoundsCase cases[] = {
      {3888, 2592, 800, 800, 800, 533},  // landscape: 533.33 truncates
      {2592, 3888, 800, 800, 533, 800},  // portrait: the height bound takes over
      {1000, 1200, 800, 800, 666, 800},  // 666.67 truncates, not rounds
      {1200, 600, 800, 800, 800, 400},
      {6000, 4000, 800, 800, 800, 533},
      {6000, 4000, 1000, 500, 750, 500},
      {1600, 800, 800, 400, 800, 400},  // width-fitted height exactly maxHeight: kept
      {4000, 3, 800, 800, 800, 0},      // extreme strip: a 0 height the reducer refuses
      {800, 1000, 800, 800, 640, 800},
  };
  for (const BoundsCase& c : cases) {
    const ImageSize got = FitWithinBounds(c.width, c.height, c.maxWidth, c.maxHeight);
    EXPECT_EQ(got.width, c.expectWidth) << c.width << "x" << c.height;
    EXPECT_EQ(got.height, c.expectHeight) << c.width << "x" << c.height;
  }
}

TEST(FitWithinBoundsTest, ZeroSizeComesBackUnchanged) {
  // An undecodable preview measures 0 by 0; the job keeps that as its target.
  EXPECT_EQ(FitWithinBounds(0, 0, 800, 800), (ImageSize{0, 0}));
  EXPECT_EQ(FitWithinBounds(0, 600, 800, 800), (ImageSize{0, 600}));
  EXPECT_EQ(FitWithinBounds(900, 0, 800, 800), (ImageSize{900, 0}));
}

TEST(FitWithinBoundsTest, ZeroBoundsGiveZeroTarget) {
  // Bounds are not validated upstream; a 0 maximum width yields 0 by 0,
  // which the reducer then refuses to encode.
  EXPECT_EQ(FitWithinBounds(6000, 4000, 0, 800), (ImageSize{0, 0}));
  EXPECT_EQ(FitWithinBounds(6000, 4000, 800, 0), (ImageSize{0, 0}));
}

TEST(FitWithinBoundsTest, LargeProductsDoNotOverflow) {
  // height * maxWidth is beyond 32 bits here.
  EXPECT_EQ(FitWithinBounds(65500, 65500, 65000, 65000), (ImageSize{65000, 65000}));
  EXPECT_EQ(FitWithinBounds(2, 2000000000, 2000000000, 3), (ImageSize{0, 3}));
  // A candidate height far beyond 32 bits hands over to the height bound.
  EXPECT_EQ(FitWithinBounds(1, 2000000000, 2000000000, 2000000000), (ImageSize{1, 2000000000}));
  // Unvalidated negative inputs give a clamped, non-positive (refused) size
  // rather than a wrapped-around positive one.
  EXPECT_EQ(FitWithinBounds(-1, 1 << 30, 4, 5), (ImageSize{4, INT32_MIN}));
}

}  // namespace
}  // namespace imaging
