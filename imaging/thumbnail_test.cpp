// MakePngThumbnail over JPEGs made by the fixture builder; the PNGs are read
// back with libpng's own reader.
#include "imaging/thumbnail.h"

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fixtures/jpeg.h"

namespace imaging {
namespace {

using fixtures::Bytes;

Bytes Jpeg(int width, int height, fixtures::JpegPicture picture = fixtures::JpegPicture::Gradients,
           int components = 3) {
  fixtures::JpegOptions o;
  o.width = width;
  o.height = height;
  o.components = components;
  o.picture = picture;
  o.quality = 95;
  return fixtures::MakeJpeg(o);
}

PngThumbnail Thumbnail(const Bytes& jpeg, int32_t bound, int orientation = 1) {
  return MakePngThumbnail(jpeg.data(), jpeg.size(), bound, orientation);
}

uint32_t Big32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// The PNG's header as stored: signature, then IHDR as the first chunk.
struct Header {
  uint32_t width = 0, height = 0;
  int bitDepth = 0, colourType = 0, interlace = -1;
};
bool ReadHeader(const std::vector<uint8_t>& png, Header* h) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (png.size() < 33 || std::memcmp(png.data(), kSignature, 8) != 0 ||
      Big32(png.data() + 8) != 13 || std::memcmp(png.data() + 12, "IHDR", 4) != 0) {
    return false;
  }
  h->width = Big32(png.data() + 16);
  h->height = Big32(png.data() + 20);
  h->bitDepth = png[24];
  h->colourType = png[25];
  h->interlace = png[28];
  return true;
}

// The PNG decoded by libpng into 8-bit RGB.
bool DecodePng(const std::vector<uint8_t>& bytes, RgbImage* out) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return false;
  image.format = PNG_FORMAT_RGB;
  out->width = static_cast<int32_t>(image.width);
  out->height = static_cast<int32_t>(image.height);
  out->pixels.resize(PNG_IMAGE_SIZE(image));
  const bool ok = png_image_finish_read(&image, nullptr, out->pixels.data(), 0, nullptr) != 0;
  png_image_free(&image);
  return ok;
}

// The pixel a few pixels in from a corner (away from the blur of the
// quarters' edges), as 0xRRGGBB.
uint32_t Corner(const RgbImage& image, bool right, bool bottom) {
  const int inset = image.width / 8;
  const int x = right ? image.width - 1 - inset : inset;
  const int y = bottom ? image.height - 1 - inset : inset;
  const uint8_t* p = image.pixels.data() + (size_t(y) * image.width + x) * 3;
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

// Which of the quarters' colours a pixel is, allowing for JPEG's losses.
char Colour(uint32_t rgb) {
  const int r = rgb >> 16, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
  auto high = [](int v) { return v > 200; };
  auto low = [](int v) { return v < 60; };
  if (high(r) && low(g) && low(b)) return 'R';
  if (low(r) && high(g) && low(b)) return 'G';
  if (low(r) && low(g) && high(b)) return 'B';
  if (high(r) && high(g) && high(b)) return 'W';
  return '?';
}

// Top left, top right, bottom left, bottom right.
std::string Corners(const RgbImage& image) {
  return {Colour(Corner(image, false, false)), Colour(Corner(image, true, false)),
          Colour(Corner(image, false, true)), Colour(Corner(image, true, true))};
}

TEST(PngThumbnail, BoundedToTheSquareWithProportionsKeptAndNeverEnlarged) {
  struct Case {
    int width, height, bound, expectWidth, expectHeight;
  };
  const Case cases[] = {
      {600, 400, 128, 128, 85},  // a reduction to 1/4 in the DCT domain, then the filter
      {600, 400, 256, 256, 170},  {600, 400, 75, 75, 50},  // exactly 1/8: the decoder alone
      {400, 600, 100, 66, 100},                            // portrait: the height bound rules
      {600, 400, 600, 600, 400},                           // exactly the bound: as stored
      {600, 400, 1024, 600, 400},                          // smaller than the bound: never enlarged
      {33, 17, 4096, 33, 17},     {1000, 3, 64, 64, 1},    // a strip keeps at least one row
  };
  for (const Case& c : cases) {
    const PngThumbnail t = Thumbnail(Jpeg(c.width, c.height), c.bound);
    ASSERT_TRUE(t.made()) << c.width << "x" << c.height << " in " << c.bound;
    Header h;
    ASSERT_TRUE(ReadHeader(t.png, &h)) << "no PNG signature and IHDR";
    EXPECT_EQ(h.width, uint32_t(c.expectWidth)) << c.width << "x" << c.height << " in " << c.bound;
    EXPECT_EQ(h.height, uint32_t(c.expectHeight))
        << c.width << "x" << c.height << " in " << c.bound;
    EXPECT_EQ(t.size, (ImageSize{c.expectWidth, c.expectHeight}));
    EXPECT_EQ(h.bitDepth, 8);
    EXPECT_EQ(h.colourType, PNG_COLOR_TYPE_RGB);
    EXPECT_EQ(h.interlace, PNG_INTERLACE_NONE);
    RgbImage decoded;
    EXPECT_TRUE(DecodePng(t.png, &decoded)) << "libpng rejects the PNG";
  }
}

TEST(PngThumbnail, KeepsThePictureAndItsColoursInEveryLayout) {
  // Colour order (RGB, not BGR or YCbCr) and the picture's placement, at a
  // DCT-scaled size, at full size, and from a grey JPEG expanded to RGB.
  RgbImage decoded;
  ASSERT_TRUE(
      DecodePng(Thumbnail(Jpeg(640, 480, fixtures::JpegPicture::Quarters), 160).png, &decoded));
  EXPECT_EQ(Corners(decoded), "RGBW");
  ASSERT_TRUE(
      DecodePng(Thumbnail(Jpeg(64, 48, fixtures::JpegPicture::Quarters), 256).png, &decoded));
  EXPECT_EQ(Corners(decoded), "RGBW");
  ASSERT_TRUE(
      DecodePng(Thumbnail(Jpeg(320, 240, fixtures::JpegPicture::Quarters, 1), 100).png, &decoded));
  ASSERT_EQ(decoded.width, 100);
  for (bool bottom : {false, true})
    for (bool right : {false, true}) {
      const uint32_t rgb = Corner(decoded, right, bottom);
      const int expected = (bottom ? 170 : 0) + (right ? 85 : 0);
      EXPECT_NEAR(int(rgb >> 16), expected, 8);
      EXPECT_EQ(rgb >> 16, (rgb >> 8) & 0xFF) << "grey comes out grey";
      EXPECT_EQ(rgb >> 16, rgb & 0xFF) << "grey comes out grey";
    }
}

TEST(PngThumbnail, TurnedAndMirroredAsTheOrientationSays) {
  // Quarters: red top left, green top right, blue bottom left, white bottom
  // right. Exif's own wording: 6 means stored row 0 is the right-hand side
  // and stored column 0 the top; 8 the left-hand side and the bottom; 5 and
  // 7 are the mirrors along the diagonals.
  const Bytes jpeg = Jpeg(600, 400, fixtures::JpegPicture::Quarters);
  const char* expected[9] = {nullptr, "RGBW", "GRWB", "WBGR", "BWRG",
                             "RBGW",  "BRWG", "WGBR", "GWRB"};
  for (int o = 1; o <= 8; ++o) {
    const PngThumbnail t = Thumbnail(jpeg, 150, o);
    ASSERT_TRUE(t.made()) << o;
    RgbImage decoded;
    ASSERT_TRUE(DecodePng(t.png, &decoded)) << o;
    const bool turned = o >= 5;
    EXPECT_EQ(decoded.width, turned ? 100 : 150) << o;
    EXPECT_EQ(decoded.height, turned ? 150 : 100) << o;
    EXPECT_EQ(Corners(decoded), expected[o]) << "orientation " << o;
    // The RGB entry is the same picture before the PNG encoding.
    const RgbThumbnail rgb = MakeRgbThumbnail(jpeg.data(), jpeg.size(), 150, o);
    ASSERT_TRUE(rgb.made()) << o;
    EXPECT_EQ(rgb.image.width, decoded.width) << o;
    EXPECT_EQ(rgb.image.height, decoded.height) << o;
    EXPECT_TRUE(rgb.image.pixels == decoded.pixels) << o;
  }
  EXPECT_EQ(MakeRgbThumbnail(jpeg.data(), jpeg.size(), 0, 1).failure, ThumbnailFailure::kBadBound);
  EXPECT_EQ(MakeRgbThumbnail(jpeg.data(), 10, 64, 1).failure, ThumbnailFailure::kNotJpeg);
}

TEST(PngThumbnail, RefusesBoundsOutsideTheRange) {
  const Bytes jpeg = Jpeg(64, 48);
  for (int32_t bound : {0, -1, kMaxThumbnailSize + 1}) {
    const PngThumbnail t = Thumbnail(jpeg, bound);
    EXPECT_EQ(t.failure, ThumbnailFailure::kBadBound) << bound;
    EXPECT_TRUE(t.png.empty());
  }
  EXPECT_TRUE(Thumbnail(jpeg, kMaxThumbnailSize).made());
}

// The frame header's height and width, big-endian after the precision byte.
void SetFrameSize(Bytes* jpeg, uint16_t width, uint16_t height) {
  for (size_t i = 2; i + 9 < jpeg->size(); ++i) {
    if ((*jpeg)[i] == 0xFF && (*jpeg)[i + 1] == 0xC0) {
      (*jpeg)[i + 5] = uint8_t(height >> 8);
      (*jpeg)[i + 6] = uint8_t(height);
      (*jpeg)[i + 7] = uint8_t(width >> 8);
      (*jpeg)[i + 8] = uint8_t(width);
      return;
    }
  }
  FAIL() << "no SOF0";
}

// A four-component (CMYK) JPEG, which camera previews never are.
Bytes CmykJpeg() {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = 32;
  c.image_height = 32;
  c.input_components = 4;
  c.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&c);
  jpeg_start_compress(&c, TRUE);
  std::vector<uint8_t> row(32 * 4, 100);
  while (c.next_scanline < c.image_height) {
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  Bytes jpeg(out, out + size);
  jpeg_destroy_compress(&c);
  std::free(out);
  return jpeg;
}

TEST(PngThumbnail, HostilePreviewsBecomeAFailureNeverACrashOrAPartialPicture) {
  const Bytes jpeg = Jpeg(600, 400);
  // Guards against a thumbnail half grey (the decoder fills missing data in)
  // passing for the picture: the data ends halfway through the scan. Both
  // ways to the PNG: rows streamed from the decoder (1) and a picture turned
  // whole (6).
  const Bytes half(jpeg.begin(), jpeg.begin() + jpeg.size() / 2);
  // Guards against that rule refusing complete pictures: only the end
  // marker is missing, every row is there.
  const Bytes noEnd(jpeg.begin(), jpeg.end() - 2);
  for (int orientation : {1, 6}) {
    const PngThumbnail cut = Thumbnail(half, 128, orientation);
    EXPECT_EQ(cut.failure, ThumbnailFailure::kTruncated) << orientation;
    EXPECT_TRUE(cut.png.empty()) << orientation;
    EXPECT_TRUE(Thumbnail(noEnd, 128, orientation).made()) << orientation;
  }
  // Guards against libjpeg's fatal errors reaching exit() or standard error:
  // headers cut short, bytes that are no JPEG at all, nothing.
  const Bytes header(jpeg.begin(), jpeg.begin() + 100);
  EXPECT_EQ(Thumbnail(header, 128).failure, ThumbnailFailure::kNotJpeg);
  const Bytes text = {'n', 'o', 't', ' ', 'a', ' ', 'j', 'p', 'e', 'g'};
  EXPECT_EQ(Thumbnail(text, 128).failure, ThumbnailFailure::kNotJpeg);
  EXPECT_EQ(MakePngThumbnail(nullptr, 0, 128, 1).failure, ThumbnailFailure::kNotJpeg);
  // Guards against allocating and decoding by a header's word: a frame of
  // 65000 x 65000 pixels over a few kilobytes of data.
  Bytes huge = jpeg;
  SetFrameSize(&huge, 65000, 65000);
  EXPECT_EQ(Thumbnail(huge, 128).failure, ThumbnailFailure::kUnsupported);
  // Guards against a frame of width 0, which the decoder's own check meets.
  Bytes empty = jpeg;
  SetFrameSize(&empty, 0, 400);
  EXPECT_FALSE(Thumbnail(empty, 128).made());
  // Guards against handing CMYK samples to the RGB path.
  EXPECT_EQ(Thumbnail(CmykJpeg(), 16).failure, ThumbnailFailure::kUnsupported);
  // Guards against damage inside the scan crashing the decoder or the
  // resampler: every eleventh byte of the entropy-coded data overwritten.
  Bytes damaged = jpeg;
  for (size_t i = damaged.size() / 3; i + 2 < damaged.size(); i += 11) damaged[i] = 0x5A;
  const PngThumbnail t = Thumbnail(damaged, 128);
  if (t.made()) {
    Header h;
    EXPECT_TRUE(ReadHeader(t.png, &h));
  }
}

}  // namespace
}  // namespace imaging
