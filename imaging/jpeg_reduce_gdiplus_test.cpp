// The GDI+ reducer's plumbing under the Windows build. Wine's GDI+ ignores
// the quality parameter and writes no property items, so the metadata and
// quality checks live with the portable reducer's tests; here: sizes, in
// memory and from files alike, a copy of exactly the target size, and every
// failure giving nothing.
// clang-format off
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>
// clang-format on

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "imaging/imaging.h"
#include "tests/fixtures/jpeg.h"

namespace imaging {
namespace {

namespace fs = std::filesystem;
using fixtures::Bytes;

class GdiplusReducerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Gdiplus::GdiplusStartupInput input;
    ASSERT_EQ(Gdiplus::GdiplusStartup(&token_, &input, nullptr), Gdiplus::Ok);
    folder_ = fs::temp_directory_path() /
              ("rawlift_gdiplus_" + std::to_string(GetCurrentProcessId()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override {
    fs::remove_all(folder_);
    Gdiplus::GdiplusShutdown(token_);
  }

  std::u16string Write(const std::string& name, const Bytes& bytes) {
    const fs::path path = folder_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path.u16string();
  }

  ULONG_PTR token_ = 0;
  fs::path folder_;
};

Bytes Picture(int width, int height) {
  fixtures::JpegOptions options;
  options.width = width;
  options.height = height;
  options.app = fixtures::JpegApp::Exif;
  return fixtures::MakeJpeg(options);
}

// The copy of `source` at the target size, or empty when that fails.
Bytes Reduced(const Bytes& source, int32_t width, int32_t height) {
  Bytes reduced = {0xAA};
  if (!ReduceJpeg(source.data(), source.size(), width, height, &reduced)) {
    EXPECT_TRUE(reduced.empty());
    return Bytes();
  }
  return reduced;
}

ImageSize Measured(const Bytes& jpeg) {
  return MeasureJpeg(jpeg.data(), jpeg.size());
}

TEST_F(GdiplusReducerTest, MeasuresJpegsAndAnswersZeroForWhatItCannotDecode) {
  const Bytes picture = Picture(120, 80);
  const Bytes junk = {'n', 'o', 't', ' ', 'j', 'p', 'g'};
  EXPECT_EQ(MeasureJpegFile(Write("a.jpg", picture)), (ImageSize{120, 80}));
  EXPECT_EQ(Measured(picture), (ImageSize{120, 80}));
  EXPECT_EQ(MeasureJpegFile(Write("junk.jpg", junk)), (ImageSize{0, 0}));
  EXPECT_EQ(Measured(junk), (ImageSize{0, 0}));
  EXPECT_EQ(MeasureJpegFile((folder_ / "missing.jpg").u16string()), (ImageSize{0, 0}));
  EXPECT_EQ(MeasureJpeg(nullptr, 0), (ImageSize{0, 0}));
}

TEST_F(GdiplusReducerTest, MakesAJpegOfExactlyTheTargetSize) {
  const Bytes reduced = Reduced(Picture(300, 200), 150, 100);
  fixtures::JpegFrame frame;
  ASSERT_TRUE(fixtures::ReadJpegFrame(reduced, &frame));
  EXPECT_EQ(frame.width, 150);
  EXPECT_EQ(frame.height, 100);
  EXPECT_EQ(Measured(reduced), (ImageSize{150, 100}));
  EXPECT_EQ(reduced[reduced.size() - 2], 0xFF) << "the whole stream, up to EOI";
  EXPECT_EQ(reduced.back(), 0xD9);
  EXPECT_EQ(Measured(Reduced(reduced, 30, 20)), (ImageSize{30, 20}));
}

TEST_F(GdiplusReducerTest, FailuresGiveNothing) {
  const Bytes original = Picture(64, 48);
  // A zero target (a 0 bound, or a strip whose fitted height truncates to 0)
  // and a negative one cannot be bitmaps.
  EXPECT_TRUE(Reduced(original, 0, 0).empty());
  EXPECT_TRUE(Reduced(original, 800, 0).empty());
  EXPECT_TRUE(Reduced(original, -3, 10).empty());
  EXPECT_TRUE(Reduced({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x02, 0x12}, 10, 10).empty());
  EXPECT_TRUE(Reduced({}, 10, 10).empty());
}

TEST_F(GdiplusReducerTest, AStripBoundedTo800HasAZeroHeight) {
  const ImageSize target = FitWithinBounds(4000, 3, 800, 800);
  EXPECT_EQ(target, (ImageSize{800, 0}));
  EXPECT_TRUE(Reduced(Picture(4000, 3), target.width, target.height).empty());
}

// A 24 by 16 greyscale baseline JPEG (the fixture encoder of this build,
// GDI+, cannot write one). GDI+ decodes it to an indexed pixel format.
const uint8_t kGreyJpeg[] = {
    0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01,
    0x00, 0x01, 0x00, 0x00, 0xFF, 0xDB, 0x00, 0x43, 0x00, 0x06, 0x04, 0x05, 0x06, 0x05, 0x04, 0x06,
    0x06, 0x05, 0x06, 0x07, 0x07, 0x06, 0x08, 0x0A, 0x10, 0x0A, 0x0A, 0x09, 0x09, 0x0A, 0x14, 0x0E,
    0x0F, 0x0C, 0x10, 0x17, 0x14, 0x18, 0x18, 0x17, 0x14, 0x16, 0x16, 0x1A, 0x1D, 0x25, 0x1F, 0x1A,
    0x1B, 0x23, 0x1C, 0x16, 0x16, 0x20, 0x2C, 0x20, 0x23, 0x26, 0x27, 0x29, 0x2A, 0x29, 0x19, 0x1F,
    0x2D, 0x30, 0x2D, 0x28, 0x30, 0x25, 0x28, 0x29, 0x28, 0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00, 0x10,
    0x00, 0x18, 0x01, 0x01, 0x11, 0x00, 0xFF, 0xC4, 0x00, 0x16, 0x00, 0x01, 0x01, 0x01, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x08, 0xFF, 0xC4,
    0x00, 0x17, 0x10, 0x00, 0x03, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x16, 0x63, 0xA1, 0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F,
    0x00, 0xAD, 0x3F, 0x57, 0x43, 0xF5, 0x74, 0x3F, 0x57, 0x4C, 0x94, 0xFD, 0x5D, 0x0F, 0xD5, 0xD0,
    0xFD, 0x5D, 0x3F, 0xFF, 0xD9,
};

TEST_F(GdiplusReducerTest, AGreyscalePreviewIsReducedToo) {
  const Bytes grey(std::begin(kGreyJpeg), std::end(kGreyJpeg));
  ASSERT_EQ(Measured(grey), (ImageSize{24, 16}));
  EXPECT_EQ(MeasureJpegFile(Write("grey.jpg", grey)), (ImageSize{24, 16}));
  EXPECT_EQ(Measured(Reduced(grey, 12, 8)), (ImageSize{12, 8}));
}

}  // namespace
}  // namespace imaging
