// Foveon X3F section directories.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine_test_support.h"
#include "engine/parsers.h"
#include "tests/fixtures/foveon_builder.h"
#include "tests/fixtures/jpeg.h"

using namespace engine;
using namespace engine_test;
using namespace fixtures;

namespace {

struct X3f : Parsed {
  explicit X3f(Bytes b) : Parsed(std::move(b)) { ParseFoveonDirectory(s); }
};

Bytes Bitmap(size_t n) {
  return Bytes(n, 0x40);
}

}  // namespace

TEST(FoveonDirectory, JpegAfterThumbnailIsThePreview) {
  const Bytes jpeg = MakeJpeg({});
  X3fOptions o;
  o.orientation = 90;
  o.sections = {X3fImage(160, 120, Bitmap(64)), X3fImage(2640, 1760, jpeg),
                X3fImage(2688, 1792, Bitmap(32))};
  X3fLayout layout;
  X3f f(MakeX3fFile(o, &layout));
  EXPECT_TRUE(f.s.raw.foveon);
  EXPECT_EQ(f.s.shot.orientation, 90);
  EXPECT_EQ(RulesChoice(f.s).kind, PreviewKind::Jpeg);
  EXPECT_EQ(RulesChoice(f.s).offset, layout.section_offsets[1] + 28);
  EXPECT_EQ(RulesChoice(f.s).length, jpeg.size());
  EXPECT_EQ(0, std::memcmp(f.bytes.data() + RulesChoice(f.s).offset, jpeg.data(), jpeg.size()));
  // The raw frame is the largest image, wherever it lies.
  EXPECT_EQ(f.s.raw.raw_width, 2688);
  EXPECT_EQ(f.s.raw.raw_height, 1792);
  EXPECT_EQ(f.s.raw.raw_data_offset, layout.section_offsets[2] + 24);
}

TEST(FoveonDirectory, SecondBitmapWithoutJpegIsAFoveonPreview) {
  X3fOptions o;
  o.sections = {X3fImage(160, 120, Bitmap(64)), X3fImage(640, 480, Bitmap(64), false)};
  X3fLayout layout;
  X3f f(MakeX3fFile(o, &layout));
  EXPECT_EQ(RulesChoice(f.s).kind, PreviewKind::Foveon);
  EXPECT_EQ(RulesChoice(f.s).offset, layout.section_offsets[1] + 24);
  EXPECT_EQ(RulesChoice(f.s).width, 640);
  EXPECT_EQ(RulesChoice(f.s).height, 480);
  EXPECT_EQ(RulesChoice(f.s).length, 0u);

  // A JPEG after the bitmap replaces it.
  const Bytes jpeg = MakeJpeg({});
  o.sections.push_back(X3fImage(100, 100, jpeg));
  X3f later(MakeX3fFile(o, &layout));
  EXPECT_EQ(RulesChoice(later.s).kind, PreviewKind::Jpeg);
  EXPECT_EQ(RulesChoice(later.s).offset, layout.section_offsets[2] + 28);
}

TEST(FoveonDirectory, LastJpegWinsWhateverItsSize) {
  JpegOptions small;
  small.width = 16;
  small.height = 16;
  const Bytes big = MakeJpeg({}), little = MakeJpeg(small);
  X3fOptions o;
  o.sections = {X3fImage(64, 48, big), X3fImage(16, 16, little)};
  X3fLayout layout;
  X3f f(MakeX3fFile(o, &layout));
  EXPECT_EQ(RulesChoice(f.s).offset, layout.section_offsets[1] + 28);
  EXPECT_EQ(RulesChoice(f.s).length, little.size());
}

TEST(FoveonDirectory, CalibrationSectionIsPassedOver) {
  // Calibration data feeds only raw decoding; the sections after it are still
  // read, whatever its length (one shorter than its own header included).
  const Bytes jpeg = MakeJpeg({});
  for (size_t length : {size_t{20}, size_t{1000}}) {
    X3fOptions o;
    o.sections = {X3fCalibration(length), X3fImage(64, 48, jpeg)};
    X3fLayout layout;
    X3f f(MakeX3fFile(o, &layout));
    EXPECT_EQ(RulesChoice(f.s).offset, layout.section_offsets[1] + 28) << length;
    EXPECT_EQ(RulesChoice(f.s).length, jpeg.size()) << length;
  }
}

TEST(FoveonProperties, DescriptionFromPropertyList) {
  X3fOptions o;
  o.sections = {X3fProperties({{"CAMMANUF", "SIGMA"},
                               {"CAMMODEL", "SIGMA DP2"},
                               {"WB_DESC", "Auto"},
                               {"ISO", "200"},
                               {"TIME", "1226312410"},
                               {"EXPTIME", "16667"},
                               {"APERTURE", "2.8"},
                               {"FLENGTH", "24.2"},
                               {"iso", "800"},
                               {"CAMSERIAL", std::string(100, 'x')}})};
  X3f f(MakeX3fFile(o));
  EXPECT_STREQ(f.s.shot.make, "SIGMA");
  EXPECT_STREQ(f.s.shot.model, "SIGMA DP2");
  EXPECT_STREQ(f.s.shot.model2, "Auto");
  EXPECT_FLOAT_EQ(f.s.shot.iso_speed, 200);  // names are case-sensitive
  EXPECT_EQ(f.s.shot.timestamp, 1226312410);
  EXPECT_FLOAT_EQ(f.s.shot.shutter, 0.016667f);
  EXPECT_FLOAT_EQ(f.s.shot.aperture, 2.8f);
  EXPECT_FLOAT_EQ(f.s.shot.focal_length, 24.2f);
}

TEST(FoveonProperties, TextsAndCountAreBounded) {
  std::vector<std::pair<std::string, std::string>> many;
  many.push_back({"CAMMODEL", std::string(80, 'M')});
  for (int i = 1; i < 256; ++i) many.push_back({"P" + std::to_string(i), "0"});
  many.push_back({"CAMMANUF", "late"});  // pair 257: beyond the limit
  X3fOptions o;
  o.sections = {X3fProperties(many)};
  X3f f(MakeX3fFile(o));
  EXPECT_EQ(std::string(f.s.shot.model), std::string(63, 'M'));
  EXPECT_STREQ(f.s.shot.make, "");
}

TEST(FoveonHostile, BrokenDirectoriesAndSections) {
  const Bytes jpeg = MakeJpeg({});
  X3fOptions o;
  o.sections = {X3fImage(64, 48, jpeg), X3fProperties({{"CAMMODEL", "X"}})};
  o.directory_mark = "SECx";
  X3f unmarked(MakeX3fFile(o));
  EXPECT_FALSE(unmarked.s.raw.foveon);
  EXPECT_EQ(RulesChoice(unmarked.s).offset, 0u);

  // The second section is listed as a calibration block: the walk ends there,
  // keeping the preview found before it.
  o.directory_mark = "SECd";
  o.directory_types = {{1, "CAMF"}};
  X3f mismatched(MakeX3fFile(o));
  EXPECT_FALSE(mismatched.s.raw.foveon);
  EXPECT_NE(RulesChoice(mismatched.s).offset, 0u);
  EXPECT_STREQ(mismatched.s.shot.model, "");

  // Every truncation ends quietly.
  o.directory_types.clear();
  const Bytes whole = MakeX3fFile(o);
  for (size_t cut = 0; cut < whole.size(); cut += 97) {
    X3f f(Bytes(whole.begin(), whole.begin() + static_cast<long>(cut)));
    EXPECT_FALSE(f.s.raw.foveon) << cut;
  }
}

TEST(FoveonHostile, JpegSectionShorterThanItsHeader) {
  // The directory gives the JPEG section a length of 20, less than the 28
  // bytes in front of its data: no preview length may wrap around.
  const Bytes jpeg = MakeJpeg({});
  X3fOptions o;
  o.sections = {X3fImage(64, 48, jpeg)};
  X3fLayout layout;
  Bytes bytes = MakeX3fFile(o, &layout);
  PutU32(bytes, layout.directory_offset + 16, 20, true);
  X3f f(bytes);
  EXPECT_TRUE(f.s.raw.foveon);
  EXPECT_EQ(RulesChoice(f.s).length, 0u);
}

// --- Through identification and extraction ---

TEST(X3fExtraction, PropertiesReachTheSynthesizedHeader) {
  JpegOptions j;
  j.app = JpegApp::None;
  const Bytes jpeg = MakeJpeg(j);
  X3fOptions o;
  o.sections = {X3fImage(2640, 1760, jpeg),
                X3fProperties({{"CAMMANUF", "SIGMA"},
                               {"CAMMODEL", "SIGMA DP2"},
                               {"TIME", "1259413520"},
                               {"EXPTIME", "100000"},
                               {"APERTURE", "2.8"}}),
                X3fImage(2688, 1792, Bitmap(64))};
  const Bytes file = MakeX3fFile(o);
  const Extraction e = Extract(file);
  ASSERT_TRUE(e.result);
  const Bytes& out = e.jpeg;
  ASSERT_EQ(out.size(), jpeg.size() + kExifSegmentSize);
  EXPECT_EQ(TextAt(out, 6), "Exif");
  EXPECT_EQ(TextAt(out, 12 + 892), "SIGMA");
  EXPECT_EQ(TextAt(out, 12 + 956), "DP2");
  EXPECT_EQ(TextAt(out, 12 + 1052), "2009:11:28 13:05:20");
  EXPECT_TRUE(std::equal(jpeg.begin() + 2, jpeg.end(), out.begin() + 1148));
}

TEST(X3fExtraction, FoveonThumbnailIsNotExtracted) {
  X3fOptions o;
  o.sections = {X3fImage(160, 120, Bitmap(64)), X3fImage(640, 480, Bitmap(64)),
                X3fProperties({{"CAMMANUF", "SIGMA"}, {"CAMMODEL", "SIGMA SD14"}})};
  EXPECT_FALSE(Extract(MakeX3fFile(o)).result);
}

TEST(X3fSamples, SigmaDp2GivesItsJpgFromRaw) {
  const Bytes file = ReadSample("x3f/SigmaDP2.x3f");
  if (file.empty()) GTEST_SKIP() << "samples absent";
  Identified f(file);
  ASSERT_TRUE(f.identified);
  const ParseState& s = f.s;
  EXPECT_STREQ(s.shot.make, "SIGMA");
  EXPECT_STREQ(s.shot.model, "DP2");
  EXPECT_EQ(s.shot.timestamp, 1259413520);
  const Extraction e = Extract(file);
  ASSERT_TRUE(e.result);
  const Bytes& out = e.jpeg;
  // The JPEG carries its own Exif block and is returned as stored.
  ASSERT_EQ(out.size(), 2676u);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), file.begin() + 292));
}
