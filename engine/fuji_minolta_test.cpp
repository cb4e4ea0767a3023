// Fuji RAF raw-image directories and Minolta MRW block lists.
#include <gtest/gtest.h>

#include <vector>

#include "engine/parsers.h"
#include "tests/fixtures/fuji_minolta_builder.h"
#include "tests/fixtures/jpeg.h"

using namespace engine;
using namespace fixtures;

namespace {

struct Container {
  explicit Container(Bytes b) : bytes(std::move(b)), source(bytes) {
    s.input.Attach(&source);
    s.diagnostics = nullptr;
    ResetParseState(s);
  }
  Bytes bytes;
  MemorySource source;
  ParseState s;
};

Container ParsedRaf(const RafOptions& o) {
  RafLayout layout;
  Container c(MakeRafFile(o, &layout));
  c.s.byte_order = 0x4D4D;
  ParseFujiDirectory(c.s, layout.directory_offset);
  return c;
}

}  // namespace

TEST(FujiDirectory, SizesLayoutAndWhiteBalance) {
  RafOptions o;
  ByteWriter wb(false);
  wb.u16be(302).u16be(400).u16be(512).u16be(777);
  o.directory = {RafSize(0x100, 2180, 4352), RafSize(0x121, 2160, 4284), {0x2ff0, wb.take()}};
  Container c = ParsedRaf(o);
  EXPECT_EQ(c.s.raw_height, 2180);
  EXPECT_EQ(c.s.raw_width, 4352);
  EXPECT_EQ(c.s.image_height, 2160);
  EXPECT_EQ(c.s.image_width, 4287);  // 4284 is stored as 4287
  EXPECT_EQ(c.s.fuji_layout, 0u);
  EXPECT_FLOAT_EQ(c.s.camera_multipliers[1], 302);
  EXPECT_FLOAT_EQ(c.s.camera_multipliers[0], 400);
  EXPECT_FLOAT_EQ(c.s.camera_multipliers[3], 512);
  EXPECT_FLOAT_EQ(c.s.camera_multipliers[2], 777);
}

TEST(FujiDirectory, LayoutFlagShiftsImageSize) {
  for (uint8_t flags : {0x80, 0x7F}) {
    RafOptions o;
    o.directory = {RafLayoutFlags(flags), RafSize(0x121, 1000, 3000)};
    Container c = ParsedRaf(o);
    EXPECT_EQ(c.s.fuji_layout, flags >> 7);
    EXPECT_EQ(c.s.image_height, flags & 0x80 ? 2000 : 1000);
    EXPECT_EQ(c.s.image_width, flags & 0x80 ? 1500 : 3000);
  }
}

TEST(FujiDirectory, OversizedOrTruncatedDirectories) {
  RafOptions o;
  o.directory = {RafSize(0x100, 2180, 4352), RafLayoutFlags(0x80)};
  o.directory_entry_count = 256;
  Container ignored = ParsedRaf(o);
  EXPECT_EQ(ignored.s.raw_width, 0);
  EXPECT_EQ(ignored.s.fuji_layout, 0u);

  // 255 declared entries of which two exist; the walk ends at end of file
  // and a layout flag byte missing at the end does not count as set.
  o.directory = {RafSize(0x100, 2180, 4352), {0x130, {}}};
  o.directory_entry_count = 255;
  o.raw_bytes = 0;
  Container truncated = ParsedRaf(o);
  EXPECT_EQ(truncated.s.raw_width, 4352);
  EXPECT_EQ(truncated.s.fuji_layout, 0u);

  Container empty(Bytes{});
  ParseFujiDirectory(empty.s, 92);
  EXPECT_EQ(empty.s.image_width, 0);
}

TEST(MinoltaBlocks, ByteOrderFromFourthByte) {
  for (char order : {'M', 'I'}) {
    const bool little = order == 'I';
    MrwOptions o;
    o.order = order;
    o.blocks = {MrwSensorBlock(little, 1544, 2056),
                MrwWhiteBalanceBlock(little, 10, 20, 30, 40), {"PAD", Bytes(16, 0)}};
    Container c(MakeMrwFile(o));
    ParseMinoltaBlocks(c.s, 0);
    EXPECT_EQ(c.s.byte_order, little ? 0x4949 : 0x4D4D) << order;
    EXPECT_EQ(c.s.raw_height, 1544) << order;
    EXPECT_EQ(c.s.raw_width, 2056) << order;
    // Value i goes to index i ^ (i >> 1).
    EXPECT_FLOAT_EQ(c.s.camera_multipliers[0], 10);
    EXPECT_FLOAT_EQ(c.s.camera_multipliers[1], 20);
    EXPECT_FLOAT_EQ(c.s.camera_multipliers[3], 30);
    EXPECT_FLOAT_EQ(c.s.camera_multipliers[2], 40);
  }
}

TEST(MinoltaBlocks, WhiteBalanceOrderDependsOnModelKnownSoFar) {
  MrwOptions o;
  o.blocks = {MrwWhiteBalanceBlock(false, 10, 20, 30, 40)};
  Container c(MakeMrwFile(o));
  SetText(c.s.model, "DiMAGE A200");
  ParseMinoltaBlocks(c.s, 0);
  EXPECT_FLOAT_EQ(c.s.camera_multipliers[3], 10);
  EXPECT_FLOAT_EQ(c.s.camera_multipliers[2], 20);
  EXPECT_FLOAT_EQ(c.s.camera_multipliers[0], 30);
  EXPECT_FLOAT_EQ(c.s.camera_multipliers[1], 40);
}

TEST(MinoltaBlocks, TiffBlockSetsRawDataAndKeepsListOrder) {
  MrwOptions o;
  // A little-endian TIFF header inside a big-endian list, then a sensor block.
  Bytes tiff = MakeExifApp1Body("Minolta", "DiMAGE A2", true);
  tiff.erase(tiff.begin(), tiff.begin() + 6);  // drop "Exif" 00 00
  o.blocks = {MrwTiffBlock(tiff), MrwSensorBlock(false, 100, 200)};
  o.raw_bytes = 32;
  Container c(MakeMrwFile(o));
  ParseMinoltaBlocks(c.s, 0);
  EXPECT_EQ(c.s.raw_data_offset, c.bytes.size() - 32);
  EXPECT_STREQ(c.s.make, "Minolta");  // TIFF offsets count from the block's data
  EXPECT_STREQ(c.s.model, "DiMAGE A2");
  EXPECT_EQ(c.s.raw_height, 100);
  EXPECT_EQ(c.s.raw_width, 200);
}

TEST(MinoltaBlocks, ForeignOrHostileBlockLists) {
  Container foreign(Bytes{0, 'M', 'X', 'M', 0, 0, 0, 0});
  foreign.s.byte_order = 0x4949;
  ParseMinoltaBlocks(foreign.s, 0);
  EXPECT_EQ(foreign.s.byte_order, 0x4949);  // untouched

  // A block whose length wraps its next position in 32 bits back onto
  // itself, followed by a sensor block that must not be read.
  MrwOptions stall;
  stall.blocks = {{"PAD", {}}, MrwSensorBlock(false, 100, 200)};
  Bytes bytes = MakeMrwFile(stall);
  PutU32(bytes, 12, 0xFFFFFFF8u, false);
  Container stalled(bytes);
  ParseMinoltaBlocks(stalled.s, 0);
  EXPECT_EQ(stalled.s.raw_width, 0);

  // A list length far past the end of a short file: the walk stops there.
  MrwOptions truncated;
  truncated.blocks = {MrwSensorBlock(false, 100, 200)};
  truncated.declared_length = 0xFFFFFFF0;
  truncated.raw_bytes = 0;
  Container cut(MakeMrwFile(truncated));
  ParseMinoltaBlocks(cut.s, 0);
  EXPECT_EQ(cut.s.raw_width, 200);
}
