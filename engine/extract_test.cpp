// The synthesized Exif header and the extraction of previews from whole files.
#include "engine/extract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_test_support.h"
#include "engine/parsers.h"
#include "platform/path.h"
#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/jpeg.h"

using namespace engine;
using namespace engine_test;
using namespace fixtures;

namespace {

// Reads the header block in the order its mark names.
struct Block {
  explicit Block(const ParseState& s) : bytes(kExifHeaderBlockSize, 0xCC) {
    BuildExifHeaderBlock(s.shot, bytes.data());
  }
  bool little() const { return bytes[0] == 'I'; }
  uint16_t u16(size_t at) const {
    return little() ? static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8))
                    : static_cast<uint16_t>((bytes[at] << 8) | bytes[at + 1]);
  }
  uint32_t u32(size_t at) const {
    return little() ? u16(at) | (static_cast<uint32_t>(u16(at + 2)) << 16)
                    : (static_cast<uint32_t>(u16(at)) << 16) | u16(at + 2);
  }
  std::string text(size_t at) const { return reinterpret_cast<const char*>(&bytes[at]); }
  std::vector<uint8_t> bytes;
};

struct Entry {
  uint16_t tag, type;
  uint32_t count, value;
};

Entry EntryAt(const Block& b, size_t at) {
  Entry e{b.u16(at), b.u16(at + 2), b.u32(at + 4), b.u32(at + 8)};
  if (e.type == 3 && e.count == 1) e.value = b.u16(at + 8);
  return e;
}

ParseState DescribedShot() {
  ParseState s;
  SetText(s.shot.make, "NIKON");
  SetText(s.shot.model, "D200");
  SetText(s.shot.artist, "A. Photographer");
  SetText(s.shot.description, "harbour at dawn");
  s.shot.timestamp = 1199181600;  // 2008-01-01 10:00:00 UTC
  s.shot.orientation = 6;
  s.shot.shutter = 0.004f;
  s.shot.aperture = 4.5f;
  s.shot.focal_length = 50;
  s.shot.iso_speed = 100;
  return s;
}

std::string DateTextFor(int64_t timestamp) {
  ParseState s;
  s.shot.timestamp = timestamp;
  return Block(s).text(1052);
}

int ExifOrientationFor(int32_t orientation) {
  ParseState s;
  s.shot.orientation = orientation;
  return Block(s).u16(12 + 3 * 12 + 8);
}

ShotInfo D200() {
  ShotInfo shot;
  shot.make = "NIKON CORPORATION";
  shot.model = "NIKON D200";
  return shot;
}

ShotInfo Eos350D() {
  ShotInfo shot;
  shot.make = "Canon";
  shot.model = "Canon EOS 350D DIGITAL";
  return shot;
}

Bytes Preview(JpegApp app, int width = 320, int height = 212, uint32_t seed = 3) {
  return Jpeg(width, height, seed, app);
}

// Overwrites the 32-bit value of the first big-endian LONG entry with this tag.
void PatchBigEndianLongEntry(Bytes& file, uint16_t tag, uint32_t value) {
  const uint8_t pattern[8] = {
      static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag), 0, 4, 0, 0, 0, 1};
  for (size_t i = 0; i + 12 <= file.size(); ++i) {
    if (std::memcmp(&file[i], pattern, 8) == 0) {
      PutU32(file, i + 8, value, false);
      return;
    }
  }
  FAIL() << "no entry " << tag;
}

}  // namespace

// --- The header block -------------------------------------------------------

TEST(ExifHeaderBlock, LayoutEntriesAndValues) {
  const Block b(DescribedShot());
  ASSERT_EQ(b.bytes[0], b.bytes[1]);
  EXPECT_EQ(b.bytes[0], HostByteOrder() == 0x4949 ? 'I' : 'M');
  EXPECT_EQ(b.u16(2), 42);
  EXPECT_EQ(b.u32(4), 10u);
  EXPECT_EQ(b.u16(8), 0);
  EXPECT_EQ(b.u16(10), 12);

  const Entry ifd0[] = {
      {270, 2, 512, 380}, {271, 2, 64, 892},  {272, 2, 64, 956},  {274, 3, 1, 6},
      {282, 5, 1, 364},   {283, 5, 1, 372},   {284, 3, 1, 1},     {296, 3, 1, 2},
      {305, 2, 32, 1020}, {306, 2, 20, 1052}, {315, 2, 64, 1072}, {34665, 4, 1, 282},
  };
  for (size_t i = 0; i < 12; ++i) {
    const Entry e = EntryAt(b, 12 + 12 * i);
    EXPECT_EQ(e.tag, ifd0[i].tag) << i;
    EXPECT_EQ(e.type, ifd0[i].type) << i;
    EXPECT_EQ(e.count, ifd0[i].count) << i;
    EXPECT_EQ(e.value, ifd0[i].value) << i;
  }
  // SHORT values sit in the first two value bytes, the other two are zero.
  EXPECT_EQ(b.bytes[12 + 3 * 12 + 10], 0);
  EXPECT_EQ(b.bytes[12 + 3 * 12 + 11], 0);
  // Room for ten more entries, unused; then the next-IFD offset.
  for (size_t at = 12 + 12 * 12; at < 282; ++at) ASSERT_EQ(b.bytes[at], 0) << at;

  EXPECT_EQ(b.u16(282), 4);
  const Entry exif[] = {
      {33434, 5, 1, 340}, {33437, 5, 1, 348}, {34855, 3, 1, 100}, {37386, 5, 1, 356}};
  for (size_t i = 0; i < 4; ++i) {
    const Entry e = EntryAt(b, 284 + 12 * i);
    EXPECT_EQ(e.tag, exif[i].tag) << i;
    EXPECT_EQ(e.type, exif[i].type) << i;
    EXPECT_EQ(e.count, exif[i].count) << i;
    EXPECT_EQ(e.value, exif[i].value) << i;
  }
  for (size_t at = 332; at < 340; ++at) EXPECT_EQ(b.bytes[at], 0) << at;

  EXPECT_EQ(b.u32(340), 4000u);  // 0.004 s
  EXPECT_EQ(b.u32(344), 1000000u);
  EXPECT_EQ(b.u32(348), 4500000u);
  EXPECT_EQ(b.u32(352), 1000000u);
  EXPECT_EQ(b.u32(356), 50000000u);
  EXPECT_EQ(b.u32(360), 1000000u);
  EXPECT_EQ(b.u32(364), 300u);
  EXPECT_EQ(b.u32(368), 1u);
  EXPECT_EQ(b.u32(372), 300u);
  EXPECT_EQ(b.u32(376), 1u);

  EXPECT_EQ(b.text(380), "harbour at dawn");
  EXPECT_EQ(b.text(892), "NIKON");
  EXPECT_EQ(b.text(956), "D200");
  EXPECT_EQ(b.text(1020), "RLFT engine v1.00");
  EXPECT_EQ(b.text(1052), "2008:01:01 10:00:00");
  EXPECT_EQ(b.text(1072), "A. Photographer");
  // Texts are zero-filled to the end of their fields, and nothing follows.
  for (size_t at = 892 + 5; at < 956; ++at) ASSERT_EQ(b.bytes[at], 0) << at;
  for (size_t at = 1072 + 15; at < kExifHeaderBlockSize; ++at) ASSERT_EQ(b.bytes[at], 0) << at;
}

TEST(ExifHeaderBlock, AbsentAndOutOfRangeValues) {
  ParseState s;
  Block b(s);
  EXPECT_EQ(b.u32(340), 0u);  // no shutter
  EXPECT_EQ(b.u32(344), 1000000u);
  EXPECT_EQ(b.u32(348), 0u);                  // no aperture
  EXPECT_EQ(EntryAt(b, 284 + 24).value, 0u);  // no ISO
  EXPECT_EQ(b.text(892), "");

  // Values no camera writes must not overflow the 32-bit numerators.
  s.shot.shutter = std::numeric_limits<float>::infinity();
  s.shot.aperture = std::nanf("");
  s.shot.focal_length = -1e12f;
  s.shot.iso_speed = 1e20f;
  b = Block(s);
  EXPECT_EQ(b.u32(340), 0x7FFFFFFFu);
  EXPECT_EQ(b.u32(348), 0u);
  EXPECT_EQ(b.u32(356), 0x80000000u);
  EXPECT_EQ(EntryAt(b, 284 + 24).value, 0xFFFFu);
  s = ParseState();
  s.shot.iso_speed = 70000.9f;  // low 16 bits of the truncated value
  EXPECT_EQ(EntryAt(Block(s), 284 + 24).value, 70000u & 0xFFFF);
}

TEST(ExifHeaderBlock, TextsStayInsideTheirFields) {
  ParseState s;
  std::memset(s.shot.make, 'M', sizeof s.shot.make);  // no terminator at all
  std::memset(s.shot.description, 'D', sizeof s.shot.description);
  const Block b(s);
  EXPECT_EQ(b.text(892), std::string(63, 'M'));
  EXPECT_EQ(b.bytes[892 + 63], 0);
  EXPECT_EQ(b.text(380), std::string(511, 'D'));
  EXPECT_EQ(b.text(956), "");
}

TEST(ExifHeaderBlock, OrientationCodesAndDegrees) {
  EXPECT_EQ(ExifOrientationFor(0), 1);
  EXPECT_EQ(ExifOrientationFor(1), 2);
  EXPECT_EQ(ExifOrientationFor(3), 3);
  EXPECT_EQ(ExifOrientationFor(5), 8);
  EXPECT_EQ(ExifOrientationFor(6), 6);
  EXPECT_EQ(ExifOrientationFor(7), 7);
  // Rotations in degrees, as some containers store them.
  EXPECT_EQ(ExifOrientationFor(90), 6);
  EXPECT_EQ(ExifOrientationFor(180), 3);
  EXPECT_EQ(ExifOrientationFor(270), 8);
  EXPECT_EQ(ExifOrientationFor(-90), 8);
  EXPECT_EQ(ExifOrientationFor(450), 6);
  // Anything else is "as stored".
  EXPECT_EQ(ExifOrientationFor(8), 1);
  EXPECT_EQ(ExifOrientationFor(360), 1);
  EXPECT_EQ(ExifOrientationFor(45), 1);
  EXPECT_EQ(ExifOrientationFor(-1), 1);
  EXPECT_EQ(ExifOrientationFor(std::numeric_limits<int32_t>::min()), 1);
  EXPECT_EQ(ExifOrientationFor(std::numeric_limits<int32_t>::max()), 1);
}

TEST(ExifHeaderBlock, DateText) {
  EXPECT_EQ(DateTextFor(0), "1970:01:01 00:00:00");
  EXPECT_EQ(DateTextFor(951827696), "2000:02:29 12:34:56");  // leap day
  EXPECT_EQ(DateTextFor(978307199), "2000:12:31 23:59:59");
  EXPECT_EQ(DateTextFor(4107542400), "2100:03:01 00:00:00");  // 2100 is no leap year
  EXPECT_EQ(DateTextFor(253402300799), "9999:12:31 23:59:59");
  // No calendar date: the Exif form of an unknown date.
  EXPECT_EQ(DateTextFor(253402300800), "    :  :     :  :  ");
  EXPECT_EQ(DateTextFor(-1), "    :  :     :  :  ");
  EXPECT_EQ(DateTextFor(std::numeric_limits<int64_t>::max()), "    :  :     :  :  ");
  EXPECT_EQ(DateTextFor(std::numeric_limits<int64_t>::min()), "    :  :     :  :  ");
}

// --- Extraction over whole files --------------------------------------------

TEST(ExtractPreview, JfifPreviewGetsAnExifSegment) {
  const Bytes jpeg = Preview(JpegApp::Jfif);
  ASSERT_EQ(jpeg[3], 0xE0);
  PreviewPlacement at;
  const Extraction out = Extract(MakeNefLike(D200(), jpeg, &at));
  ASSERT_TRUE(out.result);
  ASSERT_EQ(out.jpeg.size(), jpeg.size() + 1146);
  const uint8_t app1[] = {0xFF, 0xD8, 0xFF, 0xE1, 0x04, 0x78, 'E', 'x', 'i', 'f', 0, 0};
  EXPECT_EQ(std::memcmp(out.jpeg.data(), app1, sizeof app1), 0);
  EXPECT_EQ(out.jpeg[1148], 0xFF);
  EXPECT_EQ(out.jpeg[1149], 0xE0);
  EXPECT_TRUE(std::equal(jpeg.begin() + 2, jpeg.end(), out.jpeg.begin() + 1148));

  const char* block = reinterpret_cast<const char*>(out.jpeg.data() + 12);
  EXPECT_STREQ(block + 892, "NIKON");
  EXPECT_STREQ(block + 956, "D200");
  EXPECT_STREQ(block + 1020, "Rawlift v1.00");
  for (size_t i = 13; i < 32; ++i) EXPECT_EQ(block[1020 + i], 0) << i;
  // The result is a JPEG a reader can still decode the frame of.
  JpegFrame frame;
  ASSERT_TRUE(ReadJpegFrame(out.jpeg, &frame));
  EXPECT_EQ(frame.width, 320);
  EXPECT_EQ(frame.height, 212);
}

TEST(ExtractPreview, SoftwareText) {
  const Bytes file = MakeNefLike(D200(), Preview(JpegApp::Jfif));
  const std::string long_text(40, 'x');
  Extraction out = Extract(file, long_text.c_str());
  ASSERT_TRUE(out.result);
  const char* field = reinterpret_cast<const char*>(out.jpeg.data() + 12 + 1020);
  EXPECT_EQ(std::string(field), std::string(31, 'x'));
  EXPECT_EQ(field[31], 0);

  out = Extract(file, nullptr);
  ASSERT_TRUE(out.result);
  EXPECT_STREQ(reinterpret_cast<const char*>(out.jpeg.data() + 12 + 1020), "RLFT engine v1.00");
}

TEST(ExtractPreview, ExifPreviewIsReturnedAsStored) {
  const Bytes jpeg = Preview(JpegApp::Exif);
  ASSERT_EQ(std::string(jpeg.begin() + 6, jpeg.begin() + 10), "Exif");
  const Extraction out = Extract(MakeNefLike(D200(), jpeg));
  ASSERT_TRUE(out.result);
  EXPECT_EQ(out.jpeg, jpeg);
}

TEST(ExtractPreview, ExifIdentifierWithoutNulGetsASecondSegment) {
  Bytes jpeg = Preview(JpegApp::Exif);
  jpeg[10] = 'X';  // "ExifX": not an Exif segment
  const Extraction out = Extract(MakeNefLike(D200(), jpeg));
  ASSERT_TRUE(out.result);
  ASSERT_EQ(out.jpeg.size(), jpeg.size() + 1146);
  EXPECT_EQ(out.jpeg[3], 0xE1);
  EXPECT_TRUE(std::equal(jpeg.begin() + 2, jpeg.end(), out.jpeg.begin() + 1148));
}

TEST(ExtractPreview, StartOfImageMarkerIsForced) {
  // CR2 keeps its preview as IFD0's strip, described by its own tags, so a
  // damaged marker does not hide the preview.
  const Bytes jpeg = Preview(JpegApp::Exif);
  PreviewPlacement at;
  Bytes file = MakeCr2Like(Eos350D(), jpeg, &at);
  file[at.offset] = 0x12;
  file[at.offset + 1] = 0x34;
  const Extraction out = Extract(file);
  ASSERT_TRUE(out.result);
  EXPECT_EQ(out.jpeg, jpeg);
}

TEST(ExtractPreview, StoredBytesThatAreNoJpegStreamGiveNothing) {
  // Stripped test files keep text such as "<Dummy preview image data>" where
  // the JPEG was: forcing FF D8 on it must not pass it off as a JPEG.
  const Bytes jpeg = Preview(JpegApp::Exif);
  PreviewPlacement at;
  Bytes file = MakeCr2Like(Eos350D(), jpeg, &at);
  const std::string placeholder = "<Dummy preview image data>";
  std::copy(placeholder.begin(), placeholder.end(), file.begin() + at.offset);
  EXPECT_FALSE(Extract(file).result);
}

TEST(ExtractPreview, PreviewMustLieInsideTheFile) {
  PreviewPlacement at;
  Bytes file = MakeNefLike(D200(), Preview(JpegApp::Jfif), &at);
  ASSERT_TRUE(Extract(file).result);

  Bytes truncated(file.begin(), file.begin() + at.offset + at.length - 1);
  EXPECT_FALSE(Extract(truncated).result);

  Bytes hostile = file;
  PatchBigEndianLongEntry(hostile, 514, 0xFFFFFFF0u);  // offset + length wraps 32 bits
  EXPECT_FALSE(Extract(hostile).result);
  PatchBigEndianLongEntry(hostile, 514, static_cast<uint32_t>(file.size()));
  EXPECT_FALSE(Extract(hostile).result);
  PatchBigEndianLongEntry(hostile, 514, 11);  // too short to hold a marker and a segment
  EXPECT_FALSE(Extract(hostile).result);
  PatchBigEndianLongEntry(hostile, 514, 12);
  const Extraction shortest = Extract(hostile);
  ASSERT_TRUE(shortest.result);
  EXPECT_EQ(shortest.jpeg.size(), 12u + 1146u);
}

namespace {
// A source that claims more bytes than it can deliver, like a file cut short
// while it is read.
class ShrinkingSource final : public ByteSource {
 public:
  ShrinkingSource(const Bytes& bytes, size_t delivered) : bytes_(bytes), delivered_(delivered) {}
  int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }
  size_t ReadAt(int64_t offset, void* buffer, size_t n) const override {
    if (offset < 0 || static_cast<size_t>(offset) >= delivered_) return 0;
    const size_t count = std::min(n, delivered_ - static_cast<size_t>(offset));
    std::memcpy(buffer, bytes_.data() + offset, count);
    return count;
  }

 private:
  const Bytes& bytes_;
  size_t delivered_;
};
}  // namespace

TEST(ExtractPreview, ShortReadIsAFailureNotUninitialisedData) {
  PreviewPlacement at;
  const Bytes file = MakeNefLike(D200(), Preview(JpegApp::Jfif), &at);
  const ShrinkingSource source(file, at.offset + at.length / 2);
  const ExtractedPreview got = ExtractEmbeddedPreviewFrom(source, "cut.nef", {}, ExtractOptions());
  EXPECT_FALSE(got.extracted());
  EXPECT_EQ(got.bytes, nullptr);
  EXPECT_EQ(got.reason, NoPreviewReason::kPreviewOutsideFile);
}

TEST(ExtractPreview, NoJpegPreviewOrNotRawEachWithItsReason) {
  const Extraction bitmap = Extract(MakeNefWithoutJpeg(D200()));  // only an RGB thumbnail
  EXPECT_FALSE(bitmap.result);
  EXPECT_EQ(bitmap.reason, NoPreviewReason::kBitmapPreviewOnly);
  const Extraction ordinary = Extract(MakeRgbTiff(D200(), 64, 48));
  EXPECT_FALSE(ordinary.result);
  EXPECT_EQ(ordinary.reason, NoPreviewReason::kOrdinaryImage);
  ShotInfo converted = D200();
  converted.software = "Adobe Photoshop CS3";
  const Extraction adobe = Extract(MakeNefLike(converted, Preview(JpegApp::Jfif)));
  EXPECT_FALSE(adobe.result);
  EXPECT_EQ(adobe.reason, NoPreviewReason::kConvertedFile);
  // A camera JPEG is no raw file, with or without Exif.
  EXPECT_EQ(Extract(Preview(JpegApp::Exif)).reason, NoPreviewReason::kPlainJpeg);
  EXPECT_EQ(Extract(Preview(JpegApp::Jfif)).reason, NoPreviewReason::kPlainJpeg);
  EXPECT_EQ(Extract(Bytes()).reason, NoPreviewReason::kUnknownContainer);
  EXPECT_EQ(Extract(Bytes(100, 0)).reason, NoPreviewReason::kUnknownContainer);
}

TEST(ExtractPreview, ReasonsWhereThePreviewIsNotWhereItShouldBe) {
  PreviewPlacement at;
  const Bytes file = MakeNefLike(D200(), Preview(JpegApp::Jfif), &at);
  const Bytes cut(file.begin(), file.begin() + at.offset + at.length - 1);
  EXPECT_EQ(Extract(cut).reason, NoPreviewReason::kPreviewOutsideFile);
  // Where a maker note names the preview, its bytes decide nothing but this.
  PreviewPlacement orf_at;
  Bytes placeholder = MakeOrfLike(D200(), Preview(JpegApp::Jfif), &orf_at);
  const std::string text = "<Dummy preview image data>";
  std::copy(text.begin(), text.end(), placeholder.begin() + orf_at.offset);
  EXPECT_EQ(Extract(placeholder).reason, NoPreviewReason::kPreviewNotJpeg);
}

TEST(ExtractPreview, ResultCarriesTheFrameSizeAndWhetherExifWasInserted) {
  engine::ExtractOptions options;
  const engine::ExtractedPreview inserted = engine::ExtractEmbeddedPreviewFrom(
      engine::MemorySource(MakeNefLike(D200(), Preview(JpegApp::Jfif, 320, 212))), "x", {},
      options);
  ASSERT_TRUE(inserted.extracted());
  EXPECT_TRUE(inserted.exif_synthesized);
  EXPECT_EQ(inserted.width, 320);
  EXPECT_EQ(inserted.height, 212);
  const engine::ExtractedPreview kept = engine::ExtractEmbeddedPreviewFrom(
      engine::MemorySource(MakeNefLike(D200(), Preview(JpegApp::Exif, 400, 300))), "x", {},
      options);
  ASSERT_TRUE(kept.extracted());
  EXPECT_FALSE(kept.exif_synthesized);
  EXPECT_EQ(kept.width, 400);
  EXPECT_EQ(kept.height, 300);
}

TEST(ExtractPreview, MissingFileFails) {
  ExtractOptions options;
  options.software = "x";
  const ExtractedPreview got = ExtractEmbeddedPreview(u"/nonexistent/folder/file.NEF", options);
  EXPECT_FALSE(got.extracted());
  EXPECT_EQ(got.reason, NoPreviewReason::kCannotOpen);
}

TEST(ExtractPreview, TwoThreadsAtOnce) {
  const Bytes files[2] = {MakeNefLike(D200(), Preview(JpegApp::Jfif, 320, 212, 1)),
                          MakeCr2Like(Eos350D(), Preview(JpegApp::None, 400, 300, 2))};
  Extraction expected[2] = {Extract(files[0]), Extract(files[1])};
  ASSERT_TRUE(expected[0].result && expected[1].result);
  ASSERT_NE(expected[0].jpeg, expected[1].jpeg);
  bool same[2] = {true, true};
  std::thread threads[2];
  for (int t = 0; t < 2; ++t) {
    threads[t] = std::thread([&, t] {
      for (int round = 0; round < 40; ++round) {
        const Extraction got = Extract(files[t]);
        if (got.result != 1 || got.jpeg != expected[t].jpeg) same[t] = false;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(same[0]);
  EXPECT_TRUE(same[1]);
}

TEST(ExtractPreview, FromAFileOnDisk) {
  const std::string path =
      (testing::TempDir().empty() ? std::string("./") : testing::TempDir()) + "rawlift_extract.nef";
  const Bytes jpeg = Preview(JpegApp::Exif);
  const Bytes file = MakeNefLike(D200(), jpeg);
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()),
              static_cast<std::streamsize>(file.size()));
  }
  ExtractOptions options;
  options.software = "Rawlift v1.00";
  const ExtractedPreview got = ExtractEmbeddedPreview(platform::Utf8ToUtf16(path), options);
  ASSERT_TRUE(got.extracted());
  EXPECT_EQ(Bytes(got.bytes.get(), got.bytes.get() + got.length), jpeg);
  std::remove(path.c_str());
}

// Real camera files: whatever the engine finds must be a well-formed result.
TEST(ExtractPreview, RealSamplesGiveWellFormedResults) {
  const std::string dir = RAWLIFT_SAMPLES_DIR;
  std::ifstream manifest(dir + "/MANIFEST.tsv");
  if (!manifest) GTEST_SKIP() << "no samples folder";
  std::string line;
  std::getline(manifest, line);  // column names
  int files = 0;
  while (std::getline(manifest, line)) {
    const std::string relative = line.substr(0, line.find('\t'));
    std::ifstream in(dir + "/" + relative, std::ios::binary);
    if (!in) continue;
    std::ostringstream data;
    data << in.rdbuf();
    const std::string bytes = data.str();
    ++files;
    const Extraction out = Extract(Bytes(bytes.begin(), bytes.end()));
    if (!out.result) continue;
    ASSERT_GE(out.jpeg.size(), 12u) << relative;
    EXPECT_EQ(out.jpeg[0], 0xFF) << relative;
    EXPECT_EQ(out.jpeg[1], 0xD8) << relative;
    EXPECT_LE(out.jpeg.size(), bytes.size() + 1146) << relative;
    EXPECT_EQ(std::string(out.jpeg.begin() + 6, out.jpeg.begin() + 10), "Exif") << relative;
  }
  EXPECT_GT(files, 0);
}
