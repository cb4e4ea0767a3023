// MeasureJpeg, MeasureJpegFile and ReduceJpeg on JPEGs made by the fixture
// builder. Decoding of the results uses libjpeg directly, so these run in the
// builds where libjpeg is the codec.
#include "imaging/imaging.h"

#include <gtest/gtest.h>
#include <jpeglib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "tests/fixtures/jpeg.h"

namespace imaging {
namespace {

namespace fs = std::filesystem;
using fixtures::Bytes;

// ---- JPEG inspection ----

struct Segment {
  uint8_t marker = 0;
  Bytes body;
  bool operator==(const Segment& o) const { return marker == o.marker && body == o.body; }
};

// The APPn and COM segments before the first scan, in file order.
std::vector<Segment> MetadataSegments(const Bytes& jpeg) {
  std::vector<Segment> out;
  size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
    const uint8_t marker = jpeg[at + 1];
    if (marker == 0xDA || marker == 0xD9) break;
    const size_t length = (size_t{jpeg[at + 2]} << 8) | jpeg[at + 3];
    if (length < 2 || at + 2 + length > jpeg.size()) break;
    if ((marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE) {
      out.push_back({marker, Bytes(jpeg.begin() + at + 4, jpeg.begin() + at + 2 + length)});
    }
    at += 2 + length;
  }
  return out;
}

struct Decoded {
  int width = 0, height = 0, components = 0;
  J_COLOR_SPACE coded = JCS_UNKNOWN;
  Bytes pixels;
  std::vector<std::vector<unsigned>> quantTables;  // natural order
  std::vector<std::pair<int, int>> sampling;       // h and v factor per component
};

bool Decode(const Bytes& jpeg, Decoded* out) {
  jpeg_decompress_struct d;
  jpeg_error_mgr err;
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  if (jpeg_read_header(&d, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&d);
    return false;
  }
  out->coded = d.jpeg_color_space;
  for (int i = 0; i < d.num_components; ++i) {
    out->sampling.emplace_back(d.comp_info[i].h_samp_factor, d.comp_info[i].v_samp_factor);
  }
  for (int t = 0; t < NUM_QUANT_TBLS; ++t) {
    if (d.quant_tbl_ptrs[t] == nullptr) continue;
    out->quantTables.emplace_back(d.quant_tbl_ptrs[t]->quantval,
                                  d.quant_tbl_ptrs[t]->quantval + 64);
  }
  jpeg_start_decompress(&d);
  out->width = static_cast<int>(d.output_width);
  out->height = static_cast<int>(d.output_height);
  out->components = d.output_components;
  out->pixels.resize(static_cast<size_t>(out->width) * out->height * out->components);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row =
        &out->pixels[static_cast<size_t>(d.output_scanline) * out->width * out->components];
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  return true;
}

// The tables libjpeg itself uses at a given quality, luminance first.
std::vector<std::vector<unsigned>> LibjpegTables(int quality, int components) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  c.input_components = components;
  c.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  std::vector<std::vector<unsigned>> tables;
  for (int t = 0; t < (components == 1 ? 1 : 2); ++t) {
    tables.emplace_back(c.quant_tbl_ptrs[t]->quantval, c.quant_tbl_ptrs[t]->quantval + 64);
  }
  jpeg_destroy_compress(&c);
  return tables;
}

// A JPEG coded in a colour space the fixture builder does not make (CMYK,
// RGB), with libjpeg's own Adobe segment when it writes one.
Bytes EncodeCoded(int width, int height, J_COLOR_SPACE input, J_COLOR_SPACE coded, int components,
                  uint8_t (*sample)(int x, int y, int c), bool progressive = false) {
  Bytes pixels(static_cast<size_t>(width) * height * components);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < components; ++c)
        pixels[(static_cast<size_t>(y) * width + x) * components + c] = sample(x, y, c);
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buffer, &size);
  c.image_width = static_cast<JDIMENSION>(width);
  c.image_height = static_cast<JDIMENSION>(height);
  c.input_components = components;
  c.in_color_space = input;
  jpeg_set_defaults(&c);
  jpeg_set_colorspace(&c, coded);
  jpeg_set_quality(&c, 95, TRUE);
  if (progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = &pixels[static_cast<size_t>(c.next_scanline) * width * components];
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  Bytes out(buffer, buffer + size);
  jpeg_destroy_compress(&c);
  std::free(buffer);
  return out;
}

// Mean absolute difference between `reduced` and `source` box-averaged by an
// integer factor (the reference every sound resampler lands close to).
double MeanDifferenceFromBoxReduction(const Decoded& source, const Decoded& reduced, int factor) {
  const int n = source.components;
  double total = 0.0;
  for (int y = 0; y < reduced.height; ++y)
    for (int x = 0; x < reduced.width; ++x)
      for (int c = 0; c < n; ++c) {
        double sum = 0.0;
        for (int dy = 0; dy < factor; ++dy)
          for (int dx = 0; dx < factor; ++dx)
            sum += source.pixels[((static_cast<size_t>(y) * factor + dy) * source.width +
                                  x * factor + dx) *
                                     n +
                                 c];
        total += std::abs(sum / (factor * factor) -
                          reduced.pixels[(static_cast<size_t>(y) * reduced.width + x) * n + c]);
      }
  return total / (static_cast<double>(reduced.width) * reduced.height * n);
}

// ---- Files ----

class ImagingFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ =
        fs::temp_directory_path() / (std::string("rawlift_imaging_") + info->test_suite_name() +
                                     "_" + info->name() + "_" + std::to_string(std::rand()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  std::u16string Write(const std::string& name, const Bytes& bytes) {
    const fs::path path = folder_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path.u16string();
  }
  static Bytes Read(const std::u16string& path) {
    std::ifstream in(fs::path(path), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  fs::path folder_;
};

Bytes SampleJpeg(int width, int height, int components = 3) {
  fixtures::JpegOptions o;
  o.width = width;
  o.height = height;
  o.components = components;
  o.quality = 92;
  o.app = fixtures::JpegApp::Exif;
  return fixtures::MakeJpeg(o);
}

// ---- Measuring ----

using MeasureJpegTest = ImagingFileTest;

TEST_F(MeasureJpegTest, ReportsTheFrameSize) {
  EXPECT_EQ(MeasureJpegFile(Write("a.jpg", SampleJpeg(640, 427))), (ImageSize{640, 427}));
  EXPECT_EQ(MeasureJpegFile(Write("g.jpg", SampleJpeg(33, 70, 1))), (ImageSize{33, 70}));
  // Only the headers are needed: a file cut inside its scan still measures.
  Bytes cut = SampleJpeg(300, 200);
  cut.resize(cut.size() / 2);
  EXPECT_EQ(MeasureJpegFile(Write("cut.jpg", cut)), (ImageSize{300, 200}));
}

TEST_F(MeasureJpegTest, UndecodableFilesMeasureZero) {
  EXPECT_EQ(MeasureJpegFile((folder_ / "missing.jpg").u16string()), (ImageSize{}));
  EXPECT_EQ(MeasureJpegFile(Write("empty.jpg", {})), (ImageSize{}));
  EXPECT_EQ(MeasureJpegFile(Write("text.jpg", Bytes(5000, 'x'))), (ImageSize{}));
  EXPECT_EQ(MeasureJpegFile(folder_.u16string()), (ImageSize{}));  // a folder
  const Bytes jpeg = SampleJpeg(64, 48);
  // Cut inside the Exif segment: no frame header is ever reached.
  EXPECT_EQ(MeasureJpegFile(Write("head.jpg", Bytes(jpeg.begin(), jpeg.begin() + 30))),
            (ImageSize{}));
  // Only SOI and EOI.
  EXPECT_EQ(MeasureJpegFile(Write("eoi.jpg", {0xFF, 0xD8, 0xFF, 0xD9})), (ImageSize{}));
  EXPECT_EQ(MeasureJpeg(nullptr, 0), (ImageSize{}));
}

// The job measures a preview in memory where it once measured the file it
// had written: both must give the same answer for any bytes, or reduced
// copies would change their names.
TEST_F(MeasureJpegTest, MemoryAndFileGiveTheSameSize) {
  const Bytes jpeg = SampleJpeg(300, 200);
  Bytes cmykHeavy = EncodeCoded(64, 40, JCS_CMYK, JCS_YCCK, 4, [](int x, int y, int c) {
    return static_cast<uint8_t>(x * 3 + y + c * 50);
  });
  Bytes noFrame = jpeg;
  noFrame.resize(30);
  Bytes longHeader = fixtures::InsertSegmentAfterSoi(jpeg, 0xEB, Bytes(65533, 0x5A));
  for (int i = 0; i < 3; ++i)
    longHeader = fixtures::InsertSegmentAfterSoi(longHeader, 0xEC, Bytes(65533, 0x33));
  const std::vector<Bytes> cases = {
      jpeg,       SampleJpeg(33, 70, 1), cmykHeavy,   noFrame,
      longHeader, Bytes(5000, 'x'),      Bytes{0xFF}, {0xFF, 0xD8, 0xFF, 0xD9}};
  int i = 0;
  for (const Bytes& bytes : cases) {
    const std::u16string path = Write("same" + std::to_string(i++) + ".jpg", bytes);
    EXPECT_EQ(MeasureJpeg(bytes.data(), bytes.size()), MeasureJpegFile(path)) << i;
  }
  EXPECT_EQ(MeasureJpeg(longHeader.data(), longHeader.size()), (ImageSize{300, 200}))
      << "headers longer than one read of the file";
}

// ---- Reducing ----

using ReduceJpegTest = ImagingFileTest;

// The reduced copy of `source`, or empty when the reduction fails.
Bytes Reduced(const Bytes& source, int32_t width, int32_t height) {
  Bytes reduced = {0xAA};  // whatever the vector held goes
  if (!ReduceJpeg(source.data(), source.size(), width, height, &reduced)) {
    EXPECT_TRUE(reduced.empty()) << "a failed reduction leaves nothing behind";
    return Bytes();
  }
  return reduced;
}

TEST_F(ReduceJpegTest, ProducesExactlyTheTargetSize) {
  const struct {
    int sw, sh, tw, th, components;
  } cases[] = {
      {640, 480, 320, 240, 3},                          // exact DCT scale, no bicubic step left
      {640, 427, 333, 222, 3},                          // between DCT scales
      {600, 400, 75, 50, 3},                            // the smallest DCT scale exactly
      {600, 400, 74, 49, 1},                            // below it
      {640, 480, 639, 479, 3},                          // barely smaller
      {101, 67, 1, 1, 3},      {120, 80, 300, 200, 3},  // enlarging works too
      {4000, 3, 800, 1, 1},
  };
  for (const auto& c : cases) {
    const Bytes reduced = Reduced(SampleJpeg(c.sw, c.sh, c.components), c.tw, c.th);
    fixtures::JpegFrame frame;
    ASSERT_TRUE(fixtures::ReadJpegFrame(reduced, &frame)) << c.sw << "x" << c.sh << " -> " << c.tw;
    EXPECT_EQ(frame.width, c.tw);
    EXPECT_EQ(frame.height, c.th);
    EXPECT_EQ(frame.components, c.components) << "pixel format changed";
    EXPECT_EQ(frame.marker, 0xC0) << "expected a baseline frame";
    EXPECT_EQ(reduced[reduced.size() - 2], 0xFF) << "the whole stream, up to EOI";
    EXPECT_EQ(reduced.back(), 0xD9);
  }
}

TEST_F(ReduceJpegTest, LargeCopiesGrowTheOutputPastItsFirstBlock) {
  // A copy this large is well over the 64 KiB the output starts with: the
  // vector grows more than once, and no byte may be lost on the way.
  fixtures::JpegOptions o;
  o.width = 2400;
  o.height = 1600;
  o.quality = 98;
  const Bytes source = fixtures::MakeJpeg(o);
  const Bytes reduced = Reduced(source, 1200, 800);
  ASSERT_GT(reduced.size(), size_t{128} << 10) << "grown twice";
  Decoded before, after;
  ASSERT_TRUE(Decode(source, &before));
  ASSERT_TRUE(Decode(reduced, &after));
  EXPECT_EQ(after.width, 1200);
  EXPECT_LT(MeanDifferenceFromBoxReduction(before, after, 2), 6.0);
}

TEST_F(ReduceJpegTest, KeepsGreyAndColourContent) {
  for (int components : {1, 3}) {
    const Bytes source = SampleJpeg(640, 480, components);
    Decoded before, after;
    ASSERT_TRUE(Decode(source, &before));
    ASSERT_TRUE(Decode(Reduced(source, 160, 120), &after));
    EXPECT_EQ(after.components, components);
    EXPECT_EQ(after.coded, components == 1 ? JCS_GRAYSCALE : JCS_YCbCr);
    // Close to a plain 4:1 box average of the source: catches swapped
    // channels, flipped or shifted rows and a wrong scale. The fixture's
    // gradients wrap around, so sharp edges allow some filter difference.
    EXPECT_LT(MeanDifferenceFromBoxReduction(before, after, 4), 4.0) << components;
  }
}

TEST_F(ReduceJpegTest, EncodesAtQuality94) {
  for (int components : {1, 3}) {
    Decoded after;
    ASSERT_TRUE(Decode(Reduced(SampleJpeg(400, 300, components), 200, 133), &after));
    EXPECT_EQ(after.quantTables, LibjpegTables(94, components));
    EXPECT_NE(after.quantTables, LibjpegTables(95, components));
  }
}

TEST_F(ReduceJpegTest, CopiesEveryMetadataSegmentUnchangedAndInOrder) {
  Bytes icc = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1, 1};
  for (int i = 0; i < 3000; ++i) icc.push_back(static_cast<uint8_t>(i * 7));
  const std::string xmpText =
      std::string("http://ns.adobe.com/xap/1.0/") + '\0' + "<x:xmpmeta>rating 5</x:xmpmeta>";
  const Bytes xmp(xmpText.begin(), xmpText.end());
  const Bytes comment = {'s', 'h', 'o', 't', ' ', '1'};
  Bytes largest(65533, 0xA5);  // the longest body a segment can carry
  largest[0] = 'Z';
  const Bytes jfif = {'J', 'F', 'I', 'F', 0, 1, 2, 1, 0, 72, 0, 72, 0, 0};

  // Build back to front: each insertion goes right after SOI.
  Bytes source = SampleJpeg(320, 240);  // SOI, APP1 Exif, tables, scan
  source = fixtures::InsertSegmentAfterSoi(source, 0xFE, comment);
  source = fixtures::InsertSegmentAfterSoi(source, 0xEB, largest);
  source = fixtures::InsertSegmentAfterSoi(source, 0xE1, xmp);
  source = fixtures::InsertSegmentAfterSoi(source, 0xE2, icc);
  source = fixtures::InsertSegmentAfterSoi(source, 0xE0, jfif);
  const std::vector<Segment> expected = MetadataSegments(source);
  ASSERT_EQ(expected.size(), 6u);
  ASSERT_EQ(expected[5].marker, 0xE1);  // the fixture's Exif segment, after the COM

  const Bytes reduced = Reduced(source, 160, 120);
  // Nothing added (no second JFIF segment), nothing dropped, nothing moved.
  EXPECT_EQ(MetadataSegments(reduced), expected);
  ASSERT_GE(reduced.size(), 4u);
  EXPECT_EQ(reduced[2], 0xFF);
  EXPECT_EQ(reduced[3], 0xE0) << "the first source segment must follow SOI";
}

uint8_t CmykSample(int x, int y, int c) {
  const int values[4] = {x * 2, y * 3, 255 - x, 40};
  return static_cast<uint8_t>(values[c] & 0xFF);
}
uint8_t RgbSample(int x, int y, int c) {
  const int values[3] = {x * 2, 200, y * 2};
  return static_cast<uint8_t>(values[c] & 0xFF);
}

TEST_F(ReduceJpegTest, KeepsCmykAndRgbCodedSourcesInTheirColourSpace) {
  // libjpeg marks both with an Adobe segment; the copy must carry exactly that
  // one segment and code the samples the way it says, or colours invert/shift.
  const struct {
    J_COLOR_SPACE input, coded;
    int components;
    uint8_t (*sample)(int, int, int);
  } cases[] = {{JCS_CMYK, JCS_CMYK, 4, CmykSample},
               {JCS_CMYK, JCS_YCCK, 4, CmykSample},
               {JCS_RGB, JCS_RGB, 3, RgbSample}};
  for (const auto& c : cases) {
    const Bytes source = EncodeCoded(96, 64, c.input, c.coded, c.components, c.sample);
    const Bytes reduced = Reduced(source, 48, 32);
    EXPECT_EQ(MetadataSegments(reduced), MetadataSegments(source));
    Decoded before, after;
    ASSERT_TRUE(Decode(source, &before));
    ASSERT_TRUE(Decode(reduced, &after));
    EXPECT_EQ(after.coded, c.coded);
    EXPECT_EQ(after.components, c.components);
    EXPECT_LT(MeanDifferenceFromBoxReduction(before, after, 2), 3.0) << c.coded;
  }
}

// Vertical stripes 8 pixels wide, red and blue in turn: the colour changes
// every 2 pixels once reduced 4:1.
uint8_t StripeSample(int x, int, int c) {
  const bool red = (x / 8) % 2 == 0;
  const int values[3] = {red ? 220 : 30, 40, red ? 30 : 220};
  return static_cast<uint8_t>(values[c]);
}

TEST_F(ReduceJpegTest, ColourKeepsFullResolution) {
  // Chroma at half resolution would average each red-blue pair of the reduced
  // stripes into purple; every component must be coded at full resolution
  // (a source coded with halved chroma included).
  const Bytes source = EncodeCoded(640, 480, JCS_RGB, JCS_YCbCr, 3, StripeSample);
  Decoded before, after;
  ASSERT_TRUE(Decode(source, &before));
  ASSERT_EQ(before.sampling[0], (std::pair<int, int>{2, 2})) << "the source has halved chroma";
  ASSERT_TRUE(Decode(Reduced(source, 160, 120), &after));
  EXPECT_EQ(after.coded, JCS_YCbCr);
  for (const auto& factors : after.sampling) EXPECT_EQ(factors, (std::pair<int, int>{1, 1}));
  EXPECT_LT(MeanDifferenceFromBoxReduction(before, after, 4), 8.0);  // 28 at half resolution
}

TEST_F(ReduceJpegTest, ProgressiveSourcesBecomeBaseline) {
  const Bytes source = EncodeCoded(300, 200, JCS_RGB, JCS_YCbCr, 3, RgbSample, true);
  fixtures::JpegFrame frame;
  ASSERT_TRUE(fixtures::ReadJpegFrame(source, &frame));
  ASSERT_EQ(frame.marker, 0xC2);
  const Bytes reduced = Reduced(source, 150, 100);
  Decoded before, after;
  ASSERT_TRUE(Decode(source, &before));
  ASSERT_TRUE(Decode(reduced, &after));
  ASSERT_TRUE(fixtures::ReadJpegFrame(reduced, &frame));
  EXPECT_EQ(frame.marker, 0xC0);
  EXPECT_LT(MeanDifferenceFromBoxReduction(before, after, 2), 3.0);
}

// Guards: a preview that cannot be reduced giving a copy anyway (of the
// wrong size, or cut short) instead of a failure.
TEST_F(ReduceJpegTest, FailureGivesNothing) {
  const Bytes jpeg = SampleJpeg(200, 150);
  Bytes noise(20000);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
  Bytes badLength = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x01, 0xFF, 0xD9};  // length below 2
  const struct {
    const char* what;
    Bytes bytes;
    int tw, th;
  } cases[] = {
      {"zero width", jpeg, 0, 10},  // FitWithinBounds gives 0 for strips
      {"zero height", jpeg, 800, 0},
      {"negative", jpeg, -5, 10},
      {"too large", jpeg, 70000, 70000},
      {"too many pixels", jpeg, 60000, 60000},
      {"empty", {}, 10, 10},
      {"noise", noise, 10, 10},
      {"header cut", Bytes(jpeg.begin(), jpeg.begin() + 40), 10, 10},
      {"bad segment length", badLength, 10, 10},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(Reduced(c.bytes, c.tw, c.th).empty()) << c.what;
  }
  Bytes out;
  EXPECT_FALSE(ReduceJpeg(nullptr, 0, 10, 10, &out));
  // More metadata than a copy keeps: the reduction is refused although the
  // headers measure (the job then leaves the reduced name free).
  Bytes heavy(jpeg.begin(), jpeg.begin() + 2);
  const Bytes segment = fixtures::InsertSegmentAfterSoi({0xFF, 0xD8}, 0xE9, Bytes(65533, 1));
  for (int i = 0; i < 260; ++i) heavy.insert(heavy.end(), segment.begin() + 2, segment.end());
  heavy.insert(heavy.end(), jpeg.begin() + 2, jpeg.end());
  EXPECT_EQ(MeasureJpeg(heavy.data(), heavy.size()), (ImageSize{200, 150}));
  EXPECT_TRUE(Reduced(heavy, 100, 75).empty());
}

TEST_F(ReduceJpegTest, DamagedScanDataNeverCrashes) {
  // A cut or scrambled scan decodes with grey or garbage blocks, as viewers
  // show it; it must neither crash nor produce a file of the wrong size.
  const Bytes jpeg = SampleJpeg(512, 384);
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    Bytes damaged = jpeg;
    if (seed % 3 == 0) {
      damaged.resize(damaged.size() * seed / 40 + 700);
    } else {
      uint32_t state = seed * 2654435761u;
      for (int k = 0; k < 40; ++k) {
        state = state * 1664525u + 1013904223u;
        const size_t at = 700 + state % (damaged.size() - 702);
        damaged[at] = static_cast<uint8_t>(state >> 24);
      }
    }
    const Bytes reduced = Reduced(damaged, 100, 75);
    if (!reduced.empty()) {
      fixtures::JpegFrame frame;
      ASSERT_TRUE(fixtures::ReadJpegFrame(reduced, &frame)) << seed;
      EXPECT_EQ(frame.width, 100);
      EXPECT_EQ(frame.height, 75);
    }
  }
}

TEST_F(ReduceJpegTest, AReducedCopyMeasuresAsItsTarget) {
  // The job reports the target as the copy's size, and a later run measures
  // the copy it finds: both must agree.
  const ImageSize bounded = FitWithinBounds(750, 500, 400, 400);
  const Bytes reduced = Reduced(SampleJpeg(6000 / 8, 4000 / 8), bounded.width, bounded.height);
  EXPECT_EQ(MeasureJpeg(reduced.data(), reduced.size()), (ImageSize{400, 266}));
}

TEST_F(ReduceJpegTest, DropsOnlyTheMultiPictureIndex) {
  // An MPF index gives byte offsets of further images appended to the file;
  // copied into the re-encoded file it would point past its end.
  Bytes mpf = {'M', 'P', 'F', 0, 'I', 'I', '*', 0, 8, 0, 0, 0};
  mpf.resize(60, 0x11);
  const Bytes notMpf = {'M', 'P', 'X', 0, 1, 2, 3};
  Bytes source = SampleJpeg(320, 240);
  source = fixtures::InsertSegmentAfterSoi(source, 0xE2, notMpf);
  source = fixtures::InsertSegmentAfterSoi(source, 0xE2, mpf);
  std::vector<Segment> expected = MetadataSegments(source);
  ASSERT_EQ(expected.size(), 3u);
  expected.erase(expected.begin());
  EXPECT_EQ(MetadataSegments(Reduced(source, 160, 120)), expected);
}

std::vector<Segment> WithoutMultiPictureIndex(std::vector<Segment> segments) {
  const Bytes tag = {'M', 'P', 'F', 0};
  std::vector<Segment> out;
  for (Segment& s : segments) {
    if (s.marker == 0xE2 && s.body.size() >= 4 && Bytes(s.body.begin(), s.body.begin() + 4) == tag)
      continue;
    out.push_back(std::move(s));
  }
  return out;
}

TEST_F(ReduceJpegTest, RealCameraJpegsKeepTheirMetadata) {
  // Camera JPEGs carry Exif with maker notes, ICC and vendor segments; all of
  // them (but a multi-picture index) must come through byte for byte.
  const fs::path samples = fs::path(RAWLIFT_SAMPLES_DIR) / "jpeg";
  if (!fs::is_directory(samples)) GTEST_SKIP() << "no samples at " << samples;
  int reduced = 0;
  for (const char* name : {"DSC00008.JPG", "DSC_0003.JPG", "IMGP6668.JPG", "jolla.jpg"}) {
    if (!fs::exists(samples / name)) continue;
    const Bytes source = Read((samples / name).u16string());
    const ImageSize size = MeasureJpeg(source.data(), source.size());
    ASSERT_GT(size.width, 0) << name;
    EXPECT_EQ(MeasureJpegFile((samples / name).u16string()), size) << name;
    const ImageSize target = FitWithinBounds(size.width, size.height, 400, 400);
    const Bytes after = Reduced(source, target.width, target.height);
    EXPECT_EQ(MetadataSegments(after), WithoutMultiPictureIndex(MetadataSegments(source))) << name;
    EXPECT_EQ(MeasureJpeg(after.data(), after.size()), target) << name;
    ++reduced;
  }
  if (reduced == 0) GTEST_SKIP() << "none of the sample JPEGs is present";
}

}  // namespace
}  // namespace imaging
