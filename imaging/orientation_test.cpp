// The Exif orientation of a JPEG, and pixels turned upright by it. Plain C++,
// run in every build.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "imaging/thumbnail.h"
#include "tests/fixtures/jpeg.h"
#include "tests/fixtures/tiff_builder.h"

namespace imaging {
namespace {

using fixtures::Bytes;

constexpr uint16_t kOrientationTag = 0x0112;
constexpr uint8_t kApp1 = 0xE1;

// An Exif APP1 body whose IFD0 holds Make and, with the given type, Orientation.
Bytes ExifBody(uint32_t orientation, bool littleEndian = true, bool asLong = false) {
  fixtures::TiffBuilder tiff(littleEndian);
  auto ifd0 = tiff.NewIfd();
  tiff.ifd(ifd0).Ascii(271, "Maker");
  if (asLong) {
    tiff.ifd(ifd0).Long(kOrientationTag, orientation);
  } else {
    tiff.ifd(ifd0).Short(kOrientationTag, static_cast<uint16_t>(orientation));
  }
  tiff.Chain({ifd0});
  Bytes body = {'E', 'x', 'i', 'f', 0, 0};
  const Bytes t = tiff.Build();
  body.insert(body.end(), t.begin(), t.end());
  return body;
}

const Bytes& PlainJpeg() {
  static const Bytes jpeg = [] {
    fixtures::JpegOptions o;
    o.app = fixtures::JpegApp::None;
    return fixtures::MakeJpeg(o);
  }();
  return jpeg;
}

int OrientationOf(const Bytes& jpeg) {
  return ExifOrientationOfJpeg(jpeg.data(), jpeg.size());
}

TEST(ExifOrientation, ReadsEveryValueInBothByteOrders) {
  for (bool little : {true, false}) {
    for (uint32_t value = 1; value <= 8; ++value) {
      const Bytes jpeg =
          fixtures::InsertSegmentAfterSoi(PlainJpeg(), kApp1, ExifBody(value, little));
      EXPECT_EQ(OrientationOf(jpeg), static_cast<int>(value)) << "little endian " << little;
    }
  }
}

TEST(ExifOrientation, ShownAsStoredWithoutAUsableValue) {
  EXPECT_EQ(OrientationOf(PlainJpeg()), 1);
  // The tag reader tells "none" (0) from a stored 1, for callers that then
  // take the camera's orientation.
  EXPECT_EQ(ExifOrientationTagOfJpeg(PlainJpeg().data(), PlainJpeg().size()), 0);
  for (uint32_t value : {0u, 9u, 1u, 6u}) {
    const Bytes jpeg = fixtures::InsertSegmentAfterSoi(PlainJpeg(), kApp1, ExifBody(value));
    EXPECT_EQ(ExifOrientationTagOfJpeg(jpeg.data(), jpeg.size()),
              value >= 1 && value <= 8 ? int(value) : 0)
        << value;
  }
  // A JFIF segment before the Exif one is passed over.
  fixtures::JpegOptions jfif;
  jfif.app = fixtures::JpegApp::Jfif;
  EXPECT_EQ(
      OrientationOf(fixtures::InsertSegmentAfterSoi(fixtures::MakeJpeg(jfif), kApp1, ExifBody(6))),
      6);
  for (uint32_t value : {0u, 9u, 0xFFFFu}) {
    EXPECT_EQ(OrientationOf(fixtures::InsertSegmentAfterSoi(PlainJpeg(), kApp1, ExifBody(value))),
              1)
        << value;
  }
  // Orientation is a SHORT; another type is not guessed at.
  EXPECT_EQ(
      OrientationOf(fixtures::InsertSegmentAfterSoi(PlainJpeg(), kApp1, ExifBody(6, true, true))),
      1);
  // Only the first Exif segment describes the picture (the engine puts its
  // own in front of any the preview has).
  const Bytes second = fixtures::InsertSegmentAfterSoi(PlainJpeg(), kApp1, ExifBody(8));
  EXPECT_EQ(OrientationOf(fixtures::InsertSegmentAfterSoi(second, kApp1, ExifBody(3))), 3);
}

TEST(ExifOrientation, HostileSegmentsAreReadWithinTheirBounds) {
  const Bytes good = fixtures::InsertSegmentAfterSoi(PlainJpeg(), kApp1, ExifBody(6));
  // Guards against reading past the data: the segment's length runs beyond it.
  Bytes cut(good.begin(), good.begin() + 20);
  EXPECT_EQ(OrientationOf(cut), 1);
  // Guards against reading past the segment: IFD0's offset points beyond it.
  Bytes farDirectory = ExifBody(6);
  farDirectory[6 + 4] = 0xF0;  // little-endian IFD0 offset, low byte
  farDirectory[6 + 5] = 0xFF;
  EXPECT_EQ(OrientationOf(fixtures::InsertSegmentAfterSoi(PlainJpeg(), kApp1, farDirectory)), 1);
  // Guards against an entry count larger than the segment: only whole entries
  // inside it are read (Orientation is the second entry, which is cut off).
  Bytes manyEntries = ExifBody(6);
  const size_t countAt = 6 + 8;
  manyEntries[countAt] = 0xFF;
  manyEntries[countAt + 1] = 0xFF;
  manyEntries.resize(countAt + 2 + 12 + 6);
  EXPECT_EQ(OrientationOf(fixtures::InsertSegmentAfterSoi(PlainJpeg(), kApp1, manyEntries)), 1);
  // Guards against a walk that never ends or reads before its start: a
  // segment length below 2, and no marker where one must be.
  Bytes tinyLength = good;
  tinyLength[4] = 0;
  tinyLength[5] = 1;
  EXPECT_EQ(OrientationOf(tinyLength), 1);
  Bytes noMarker = good;
  noMarker[2] = 0x00;
  EXPECT_EQ(OrientationOf(noMarker), 1);
  // Guards against taking metadata from entropy-coded data: nothing after
  // the scan's start counts, even bytes that look like an Exif segment.
  Bytes afterScan = PlainJpeg();
  afterScan.resize(afterScan.size() - 2);  // drop EOI
  const Bytes exif = fixtures::InsertSegmentAfterSoi({0xFF, 0xD8}, kApp1, ExifBody(6));
  afterScan.insert(afterScan.end(), exif.begin() + 2, exif.end());
  EXPECT_EQ(OrientationOf(afterScan), 1);
  EXPECT_EQ(ExifOrientationOfJpeg(nullptr, 0), 1);
  EXPECT_EQ(ExifOrientationOfJpeg(good.data(), 3), 1);
}

// A 3x2 picture whose pixels all differ: pixel (x, y) holds x + 10 y in its
// first sample and 0 in the others.
RgbImage NumberedImage() {
  RgbImage image;
  image.width = 3;
  image.height = 2;
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x)
      image.pixels.insert(image.pixels.end(), {uint8_t(x + 10 * y), 0, 0});
  return image;
}

TEST(OrientImage, UndoingATurnGivesEveryPixelBack) {
  const RgbImage stored = NumberedImage();
  // The quarter turns undo each other; the mirrors and the half turn undo
  // themselves. A pixel put in the wrong place shows here even away from
  // the corners (which the thumbnail tests check for every value).
  const int inverse[9] = {0, 1, 2, 3, 4, 5, 8, 7, 6};
  for (int o = 1; o <= 8; ++o) {
    const RgbImage back = OrientImage(OrientImage(stored, o), inverse[o]);
    EXPECT_EQ(back.pixels, stored.pixels) << o;
    EXPECT_EQ(back.width, stored.width) << o;
    EXPECT_EQ(OrientedSize({3, 2}, o),
              (ImageSize{OrientImage(stored, o).width, OrientImage(stored, o).height}));
  }
  // Values outside 1..8 show the picture as stored.
  EXPECT_EQ(OrientImage(stored, 0).pixels, stored.pixels);
  EXPECT_EQ(OrientImage(stored, 9).pixels, stored.pixels);
}

}  // namespace
}  // namespace imaging
