// Fuji RAF raw-image directories and Minolta MRW block lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/engine_test_support.h"
#include "engine/parsers.h"
#include "tests/fixtures/fuji_minolta_builder.h"
#include "tests/fixtures/jpeg.h"
#include "tests/fixtures/tiff_builder.h"

using namespace engine;
using namespace engine_test;
using namespace fixtures;

namespace {

// A RAF whose raw-image directory has been parsed. The layout the builder
// reports is a parameter so that it lives while the base is built.
struct ParsedRaf : Parsed {
  explicit ParsedRaf(const RafOptions& o, RafLayout layout = {}) : Parsed(MakeRafFile(o, &layout)) {
    s.byte_order = 0x4D4D;
    ParseFujiDirectory(s, layout.directory_offset);
  }
};

}  // namespace

TEST(FujiDirectory, SizesLayoutAndWhiteBalance) {
  RafOptions o;
  ByteWriter wb(false);
  wb.u16be(302).u16be(400).u16be(512).u16be(777);
  o.directory = {RafSize(0x100, 2180, 4352), RafSize(0x121, 2160, 4284), {0x2ff0, wb.take()}};
  ParsedRaf c(o);
  EXPECT_EQ(c.s.raw.raw_height, 2180);
  EXPECT_EQ(c.s.raw.raw_width, 4352);
  EXPECT_EQ(c.s.raw.image_height, 2160);
  EXPECT_EQ(c.s.raw.image_width, 4287);  // 4284 is stored as 4287
  EXPECT_EQ(c.s.raw.fuji_layout, 0u);
  // Green, red, green, blue: the first multiplier is the second value.
  EXPECT_FLOAT_EQ(c.s.raw.first_camera_multiplier, 400);
}

TEST(FujiDirectory, LayoutFlagShiftsImageSize) {
  for (uint8_t flags : {0x80, 0x7F}) {
    RafOptions o;
    o.directory = {RafLayoutFlags(flags), RafSize(0x121, 1000, 3000)};
    ParsedRaf c(o);
    EXPECT_EQ(c.s.raw.fuji_layout, flags >> 7);
    EXPECT_EQ(c.s.raw.image_height, flags & 0x80 ? 2000 : 1000);
    EXPECT_EQ(c.s.raw.image_width, flags & 0x80 ? 1500 : 3000);
  }
}

TEST(FujiDirectory, OversizedOrTruncatedDirectories) {
  RafOptions o;
  o.directory = {RafSize(0x100, 2180, 4352), RafLayoutFlags(0x80)};
  o.directory_entry_count = 256;
  ParsedRaf ignored(o);
  EXPECT_EQ(ignored.s.raw.raw_width, 0);
  EXPECT_EQ(ignored.s.raw.fuji_layout, 0u);

  // 255 declared entries of which two exist; the walk ends at end of file
  // and a layout flag byte missing at the end does not count as set.
  o.directory = {RafSize(0x100, 2180, 4352), {0x130, {}}};
  o.directory_entry_count = 255;
  o.raw_bytes = 0;
  ParsedRaf truncated(o);
  EXPECT_EQ(truncated.s.raw.raw_width, 4352);
  EXPECT_EQ(truncated.s.raw.fuji_layout, 0u);

  Parsed empty(Bytes{});
  ParseFujiDirectory(empty.s, 92);
  EXPECT_EQ(empty.s.raw.image_width, 0);
}

TEST(MinoltaBlocks, ByteOrderFromFourthByte) {
  for (char order : {'M', 'I'}) {
    const bool little = order == 'I';
    MrwOptions o;
    o.order = order;
    o.blocks = {MrwSensorBlock(little, 1544, 2056),
                MrwWhiteBalanceBlock(little, 10, 20, 30, 40),
                {"PAD", Bytes(16, 0)}};
    Parsed c(MakeMrwFile(o));
    ParseMinoltaBlocks(c.s, 0);
    EXPECT_EQ(c.s.byte_order, little ? 0x4949 : 0x4D4D) << order;
    EXPECT_EQ(c.s.raw.raw_height, 1544) << order;
    EXPECT_EQ(c.s.raw.raw_width, 2056) << order;
    EXPECT_FLOAT_EQ(c.s.raw.first_camera_multiplier, 10);
  }
}

TEST(MinoltaBlocks, WhiteBalanceOrderDependsOnModelKnownSoFar) {
  MrwOptions o;
  o.blocks = {MrwWhiteBalanceBlock(false, 10, 20, 30, 40)};
  Parsed c(MakeMrwFile(o));
  SetText(c.s.shot.model, "DiMAGE A200");
  ParseMinoltaBlocks(c.s, 0);
  EXPECT_FLOAT_EQ(c.s.raw.first_camera_multiplier, 30);  // the A200 stores it third
}

TEST(MinoltaBlocks, TiffBlockSetsRawDataAndKeepsListOrder) {
  MrwOptions o;
  // A little-endian TIFF header inside a big-endian list, then a sensor block.
  Bytes tiff = MakeExifApp1Body("Minolta", "DiMAGE A2", true);
  tiff.erase(tiff.begin(), tiff.begin() + 6);  // drop "Exif" 00 00
  o.blocks = {MrwTiffBlock(tiff), MrwSensorBlock(false, 100, 200)};
  o.raw_bytes = 32;
  Parsed c(MakeMrwFile(o));
  ParseMinoltaBlocks(c.s, 0);
  EXPECT_EQ(c.s.raw.raw_data_offset, c.bytes.size() - 32);
  EXPECT_STREQ(c.s.shot.make, "Minolta");  // TIFF offsets count from the block's data
  EXPECT_STREQ(c.s.shot.model, "DiMAGE A2");
  EXPECT_EQ(c.s.raw.raw_height, 100);
  EXPECT_EQ(c.s.raw.raw_width, 200);
}

TEST(MinoltaBlocks, ForeignOrHostileBlockLists) {
  Parsed foreign(Bytes{0, 'M', 'X', 'M', 0, 0, 0, 0});
  foreign.s.byte_order = 0x4949;
  ParseMinoltaBlocks(foreign.s, 0);
  EXPECT_EQ(foreign.s.byte_order, 0x4949);  // untouched

  // A block whose length wraps its next position in 32 bits back onto
  // itself, followed by a sensor block that must not be read.
  MrwOptions stall;
  stall.blocks = {{"PAD", {}}, MrwSensorBlock(false, 100, 200)};
  Bytes bytes = MakeMrwFile(stall);
  PutU32(bytes, 12, 0xFFFFFFF8u, false);
  Parsed stalled(bytes);
  ParseMinoltaBlocks(stalled.s, 0);
  EXPECT_EQ(stalled.s.raw.raw_width, 0);

  // A list length far past the end of a short file: the walk stops there.
  MrwOptions truncated;
  truncated.blocks = {MrwSensorBlock(false, 100, 200)};
  truncated.declared_length = 0xFFFFFFF0;
  truncated.raw_bytes = 0;
  Parsed cut(MakeMrwFile(truncated));
  ParseMinoltaBlocks(cut.s, 0);
  EXPECT_EQ(cut.s.raw.raw_width, 200);
}

// --- Through identification and extraction ---

namespace {

RafOptions FinePix() {
  JpegOptions j;
  j.width = 320;
  j.height = 240;
  j.app = JpegApp::Exif;
  j.exif_make = "FUJIFILM";
  j.exif_model = "FinePix S5Pro";
  RafOptions o;
  o.jpeg = MakeJpeg(j);
  o.directory = {RafSize(0x100, 1444, 4352), RafSize(0x121, 1424, 2128)};
  return o;
}

}  // namespace

TEST(RafExtraction, EmbeddedJpegIsReturnedWithItsOwnExif) {
  const RafOptions o = FinePix();
  const Bytes file = MakeRafFile(o);
  const ParseState s = *Identify(file);
  EXPECT_STREQ(s.shot.make, "FUJIFILM");
  EXPECT_STREQ(s.shot.model, "FinePix S5Pro");
  EXPECT_NE(s.raw.raw_count, 0u);
  const Extraction e = Extract(file);
  ASSERT_TRUE(e.result);
  EXPECT_EQ(e.jpeg, o.jpeg);
}

TEST(RafExtraction, SecondFrameOffsetReadOnlyPastTheFirst120Bytes) {
  for (uint32_t header : {120u, 121u}) {
    RafOptions o = FinePix();
    o.header_length = header;  // the JPEG starts here; its first bytes lie at 120
    const ParseState s = *Identify(MakeRafFile(o));
    EXPECT_EQ(s.raw.raw_count, header == 120 ? 1u : 2u) << header;
  }
  RafOptions o = FinePix();
  o.second_directory = 0x1000;
  EXPECT_EQ(Identify(MakeRafFile(o))->raw.raw_count, 2u);
}

TEST(RafExtraction, EmptyPreviewFieldsGiveNoPreview) {
  RafOptions o = FinePix();
  o.preview_length = 0;
  Bytes file = MakeRafFile(o);
  EXPECT_NE(Identify(file)->raw.raw_count, 0u);  // still raw: the Exif block was read
  EXPECT_FALSE(Extract(file).result);
  // With no preview offset the Exif block, and so the make, is not found.
  o = FinePix();
  o.preview_offset = 0;
  EXPECT_FALSE(Extract(MakeRafFile(o)).result);
}

TEST(MrwExtraction, PreviewFromTheMakerNoteOfTheTiffBlock) {
  JpegOptions j;
  j.app = JpegApp::None;
  const Bytes jpeg = MakeJpeg(j);
  // Minolta maker note: a plain directory whose 0x0088/0x0089 entries give the
  // preview's offset (from the TIFF header) and length; the JPEG follows it.
  TiffBuilder tiff(false);
  const IfdId ifd0 = tiff.NewIfd(), exif = tiff.NewIfd();
  const BlobId note = tiff.AddPositionedBlob([&](uint32_t offset, uint32_t) {
    ByteWriter w(false);
    w.u16(2).u16(0x0088).u16(4).u32(1).u32(offset + 30);
    w.u16(0x0089).u16(4).u32(1).u32(static_cast<uint32_t>(jpeg.size())).u32(0).raw(jpeg);
    return w.take();
  });
  tiff.ifd(ifd0)
      .Ascii(271, "Konica Minolta Camera, Inc.")
      .Ascii(272, "DiMAGE A2")
      .PointerTo(34665, exif);
  tiff.ifd(exif)
      .SRational(33434, 1, 5)
      .BlobValue(37500, 7, static_cast<uint32_t>(30 + jpeg.size()), note);
  tiff.Chain({ifd0});
  MrwOptions o;
  o.blocks = {MrwSensorBlock(false, 2456, 3272), MrwTiffBlock(tiff.Build())};
  o.raw_bytes = 4096;
  const Bytes file = MakeMrwFile(o);

  const ParseState s = *Identify(file);
  EXPECT_STREQ(s.shot.make, "Minolta");
  EXPECT_STREQ(s.shot.model, "DiMAGE A2");
  EXPECT_EQ(s.raw.raw_width, 3272);
  const Extraction e = Extract(file);
  ASSERT_TRUE(e.result);
  ASSERT_EQ(e.jpeg.size(), jpeg.size() + 1146);
  EXPECT_TRUE(std::equal(jpeg.begin() + 2, jpeg.end(), e.jpeg.begin() + 1148));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(e.jpeg.data() + 12 + 892)), "Minolta");
}

TEST(FujiMinoltaSamples, RealFiles) {
  const Bytes raf = ReadSample("raf/FujiFilm.raf");
  if (raf.empty()) GTEST_SKIP() << "samples absent";
  const ParseState s = *Identify(raf);
  EXPECT_STREQ(s.shot.make, "FUJIFILM");
  EXPECT_STREQ(s.shot.model, "FinePix S5Pro");
  // The stripped file's main JPEG is 8 x 8; the 160 x 120 Exif thumbnail
  // inside it scores higher in the preview choice.
  EXPECT_EQ(RulesChoice(s).offset, 2704u);
  EXPECT_EQ(RulesChoice(s).length, 9362u);

  // A 128-byte header stub: its preview lies beyond the end of the file.
  EXPECT_FALSE(Extract(ReadSample("raf/fixture.raf")).result);

  const ParseState m = *Identify(ReadSample("mrw/Minolta.mrw"));
  EXPECT_STREQ(m.shot.make, "Minolta");
  EXPECT_STREQ(m.shot.model, "DiMAGE A2");
  EXPECT_EQ(RulesChoice(m).offset, 2130u);  // a 26-byte placeholder in this stripped file
  EXPECT_EQ(RulesChoice(m).length, 26u);
}
