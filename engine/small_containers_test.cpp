#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine_test_support.h"
#include "engine/extract.h"
#include "engine/parsers.h"
#include "tests/fixtures/small_containers_builder.h"

using namespace engine;
using namespace engine_test;
using fixtures::Bytes;
using fixtures::RiffChunk;

namespace {

// A reset state read from the first byte, where identification hands over
// to these parsers.
struct ParsedFromStart : Parsed {
  explicit ParsedFromStart(Bytes b) : Parsed(std::move(b)) { s.input.Seek(0); }
};

// Sets the local time zone for one test: US Eastern standard time all year
// (five hours behind UTC, no summer time), and puts the old one back.
struct EasternTime : LocalZone {
  EasternTime() : LocalZone("EST5") {}
};

// 2003-12-24 18:30:00 and 2004-03-10 10:20:30 in US Eastern standard time.
constexpr int64_t kChristmasEve2003 = 1072308600;
constexpr int64_t kMarch2004 = 1078932030;

}  // namespace

TEST(RolleiHeader, KeysDateAndResult) {
  EasternTime zone;
  ParsedFromStart p(
      fixtures::BuildRolleiHeader({"DAT=24.12.2003", "TIM=18:30:00", "HDR=4096", "X  =2048",
                                   "Y  =1536", "TX =160", "TY =120", "EOHD", "HDR=1"}));
  ParseRolleiHeader(p.s);
  const ParseState& s = p.s;
  EXPECT_EQ(s.shot.timestamp, kChristmasEve2003);
  EXPECT_EQ(RulesChoice(s).offset, 4096u);  // the line after EOHD is not read
  EXPECT_EQ(s.raw.raw_width, 2048);
  EXPECT_EQ(s.raw.raw_height, 1536);
  EXPECT_EQ(RulesChoice(s).width, 160);
  EXPECT_EQ(RulesChoice(s).height, 120);
  EXPECT_EQ(s.raw.raw_data_offset, 4096u + 160 * 120 * 2);
  EXPECT_STREQ(s.shot.make, "Rollei");
  EXPECT_STREQ(s.shot.model, "d530flex");
  EXPECT_EQ(RulesChoice(s).kind, PreviewKind::Rollei);
}

TEST(RolleiHeader, KeysAreComparedWithTheirPadding) {
  ParsedFromStart p(fixtures::BuildRolleiHeader({"X=2048", "X   =2048", "TX=160", "EOHD"}));
  ParseRolleiHeader(p.s);
  EXPECT_EQ(p.s.raw.raw_width, 0);
  EXPECT_EQ(RulesChoice(p.s).width, 0);
  EXPECT_EQ(p.s.shot.timestamp, 0);  // no date lines
}

TEST(RolleiHeader, EndsAtEndOfFileWithoutEohd) {
  Bytes header = fixtures::BuildRolleiHeader({"HDR=512", "X  =64"});
  header.pop_back();  // no final newline either
  ParsedFromStart p(header);
  ParseRolleiHeader(p.s);
  EXPECT_EQ(RulesChoice(p.s).offset, 512u);
  EXPECT_EQ(p.s.raw.raw_width, 64);
  EXPECT_STREQ(p.s.shot.make, "Rollei");
}

TEST(RolleiHeader, LongLineIsConsumedWhole) {
  // The tail of an over-long line must not be read as a line of its own
  // (here it would be taken for the end of the header).
  ParsedFromStart p(fixtures::BuildRolleiHeader(
      {"COMMENT=" + std::string(119, 'a') + "EOHD=", "HDR=2048", "EOHD"}));
  ParseRolleiHeader(p.s);
  EXPECT_EQ(RulesChoice(p.s).offset, 2048u);
}

TEST(SinarIaHeader, EntriesAndMakeSplitAtTheFirstBlank) {
  fixtures::SinarIaOptions o;
  o.make_text = "Sinar Hy6 back";
  uint32_t meta = 0, thumb = 0, raw = 0;
  ParsedFromStart p(fixtures::BuildSinarIa(o, &meta, &thumb, &raw));
  ParseSinarIaHeader(p.s);
  const ParseState& s = p.s;
  EXPECT_EQ(s.byte_order, 0x4949);
  EXPECT_EQ(RulesChoice(s).offset, thumb);
  EXPECT_EQ(s.raw.raw_data_offset, raw);
  EXPECT_STREQ(s.shot.make, "Sinar");
  EXPECT_STREQ(s.shot.model, "Hy6 back");
  EXPECT_EQ(s.raw.raw_width, 4080);
  EXPECT_EQ(s.raw.raw_height, 5440);
  EXPECT_EQ(RulesChoice(s).width, 160);
  EXPECT_EQ(RulesChoice(s).height, 120);
  EXPECT_EQ(s.raw.raw_decoder, RawDecoder::Unpacked);
  EXPECT_EQ(RulesChoice(s).kind, PreviewKind::PackedRgb);
}

TEST(SinarIaHeader, MakeWithoutBlankAndHugeEntryCount) {
  fixtures::SinarIaOptions o;
  o.make_text = "SINAR";
  o.declared_entries = 0xFFFFFFFF;
  ParsedFromStart p(fixtures::BuildSinarIa(o));
  ParseSinarIaHeader(p.s);
  EXPECT_STREQ(p.s.shot.make, "SINAR");
  EXPECT_STREQ(p.s.shot.model, "");
}

TEST(RiffChunks, IditDateInANestedList) {
  EasternTime zone;
  const Bytes file = fixtures::BuildRiff(RiffChunk::List(
      "RIFF", "AVI ",
      {RiffChunk::List("LIST", "hdrl",
                       {RiffChunk::Data("avih", Bytes(56, 0)),
                        RiffChunk::Text("IDIT", "WED MAR 10 10:20:30 2004\n")}),
       RiffChunk::List("LIST", "hdrl", {RiffChunk::Text("IDIT", "Wed Mar 10 10:20:30 2004\n")}),
       RiffChunk::Data("JUNK", Bytes(100, 0))}));
  ParsedFromStart p(file);
  ParseRiffChunk(p.s);
  EXPECT_EQ(p.s.shot.timestamp, kMarch2004);
  EXPECT_STREQ(p.s.shot.make, "");  // RIFF files name no camera
}

TEST(RiffChunks, UnknownMonthGivesNoDate) {
  ParsedFromStart p(fixtures::BuildRiff(
      RiffChunk::List("RIFF", "AVI ", {RiffChunk::Text("IDIT", "Wed Mrz 10 10:20:30 2004\n")})));
  ParseRiffChunk(p.s);
  EXPECT_EQ(p.s.shot.timestamp, 0);
}

TEST(RiffChunks, WalkResumesAfterAShortIdit) {
  // A 10-byte date that does not scan, then a good one right behind it.
  EasternTime zone;
  ParsedFromStart p(fixtures::BuildRiff(
      RiffChunk::List("RIFF", "AVI ",
                      {RiffChunk::Text("IDIT", "Wednesday"),
                       RiffChunk::Text("IDIT", "Wed Mar 10 10:20:30 2004\n")})));
  ParseRiffChunk(p.s);
  EXPECT_EQ(p.s.shot.timestamp, kMarch2004);
}

TEST(RiffChunks, IditOf64BytesOrMoreIsSkipped) {
  ParsedFromStart p(fixtures::BuildRiff(RiffChunk::List(
      "RIFF", "AVI ",
      {RiffChunk::Text("IDIT", "Wed Mar 10 10:20:30 2004" + std::string(40, ' '))})));
  ParseRiffChunk(p.s);
  EXPECT_EQ(p.s.shot.timestamp, 0);
}

TEST(RiffChunks, NestingIsBoundedAndSizesCannotRunAway) {
  EasternTime zone;
  auto nested = [](int lists) {
    RiffChunk c = RiffChunk::Text("IDIT", "Wed Mar 10 10:20:30 2004\n");
    for (int i = 0; i < lists; ++i) c = RiffChunk::List("LIST", "deep", {c});
    return RiffChunk::List("RIFF", "AVI ", {c});
  };
  ParsedFromStart seven(fixtures::BuildRiff(nested(7)));  // RIFF + 7 lists: 8 levels
  ParseRiffChunk(seven.s);
  EXPECT_EQ(seven.s.shot.timestamp, kMarch2004);
  ParsedFromStart eight(fixtures::BuildRiff(nested(8)));
  ParseRiffChunk(eight.s);
  EXPECT_EQ(eight.s.shot.timestamp, 0);

  // A list claiming 4 GB, a chunk cut by the end of the file.
  RiffChunk huge = RiffChunk::List("LIST", "hdrl", {RiffChunk::Data("avih", Bytes(8, 0))});
  huge.stored_size = 0xFFFFFFF0;
  Bytes file = fixtures::BuildRiff(RiffChunk::List("RIFF", "AVI ", {huge}));
  file.resize(file.size() - 3);
  ParsedFromStart cut(file);
  ParseRiffChunk(cut.s);
  EXPECT_EQ(cut.s.shot.timestamp, 0);
}

TEST(SmalHeader, SizeMatchNamesTheCamera) {
  const size_t size = 4096;
  ParsedFromStart v9(fixtures::BuildSmal(9, 640, 480, 0x200, size, size));
  ParseSmalHeader(v9.s, 0, v9.s.file_size);
  EXPECT_STREQ(v9.s.shot.make, "SMaL");
  EXPECT_STREQ(v9.s.shot.model, "v9 640x480");
  EXPECT_EQ(v9.s.raw.raw_data_offset, 0x200u);
  EXPECT_EQ(v9.s.raw.raw_width, 640);
  EXPECT_EQ(v9.s.raw.image_height, 480);
  EXPECT_EQ(v9.s.raw.raw_decoder, RawDecoder::Smal);

  ParsedFromStart v6(fixtures::BuildSmal(6, 320, 240, 0, size, size));
  ParseSmalHeader(v6.s, 0, v6.s.file_size);
  EXPECT_STREQ(v6.s.shot.model, "v6 320x240");
  EXPECT_EQ(v6.s.raw.raw_decoder, RawDecoder::Smal);

  // Other versions are named but have no decoder.
  ParsedFromStart v7(fixtures::BuildSmal(7, 320, 240, 0, size, size));
  ParseSmalHeader(v7.s, 0, v7.s.file_size);
  EXPECT_STREQ(v7.s.shot.model, "v7 320x240");
  EXPECT_EQ(v7.s.raw.raw_decoder, RawDecoder::None);
}

TEST(SmalHeader, SizeMismatchLeavesEverythingAsItWas) {
  ParsedFromStart p(fixtures::BuildSmal(9, 640, 480, 0x200, 4095, 4096));
  p.s.byte_order = 0x4D4D;
  ParseSmalHeader(p.s, 0, p.s.file_size);
  EXPECT_STREQ(p.s.shot.make, "");
  EXPECT_EQ(p.s.raw.raw_width, 0);
  EXPECT_EQ(p.s.raw.raw_data_offset, 0u);
  EXPECT_EQ(p.s.byte_order, 0x4D4D);  // the JPEG fallback reads in its own order
}

TEST(CineHeader, DescriptionFromHeaderSetupAndOffsetTable) {
  fixtures::CineOptions o;
  o.time_fraction = 77;
  o.time_seconds = 1100000000;
  ParsedFromStart p(fixtures::BuildCine(o));
  ParseCineHeader(p.s);
  const ParseState& s = p.s;
  EXPECT_EQ(s.raw.raw_count, 1u);
  EXPECT_EQ(s.shot.timestamp, 1100000000);
  EXPECT_EQ(s.raw.raw_width, 1280);
  EXPECT_EQ(s.raw.raw_height, 800);
  EXPECT_EQ(s.raw.raw_decoder, RawDecoder::Unpacked);
  EXPECT_STREQ(s.shot.make, "CINE");
  EXPECT_STREQ(s.shot.model, "12345");
  EXPECT_EQ(s.shot.orientation, 2);
  EXPECT_FLOAT_EQ(s.shot.shutter, 0.01f);
  EXPECT_EQ(s.raw.raw_data_offset, 0x4008u);
}

TEST(CineHeader, RotationsTimeAndFilters) {
  const struct {
    uint32_t degrees;
    int orientation;
  } rotations[] = {{0, 2}, {90, 7}, {180, 1}, {270, 4}, {static_cast<uint32_t>(-90), 4}, {45, -1}};
  for (const auto& r : rotations) {
    fixtures::CineOptions o;
    o.rotation = r.degrees;
    ParsedFromStart p(fixtures::BuildCine(o));
    ParseCineHeader(p.s);
    EXPECT_EQ(p.s.shot.orientation, r.orientation) << static_cast<int32_t>(r.degrees);
  }

  fixtures::CineOptions o;
  o.time_fraction = 1234;
  o.color_filter = 0x7F000004;  // only the low 24 bits count
  o.bits = 8;
  ParsedFromStart p(fixtures::BuildCine(o));
  ParseCineHeader(p.s);
  EXPECT_EQ(p.s.shot.timestamp, 1234);
  EXPECT_EQ(p.s.raw.raw_decoder, RawDecoder::Eight_bit);
  EXPECT_EQ(p.s.raw.raw_count, 1u);
}

TEST(CineHeader, NotRawCases) {
  fixtures::CineOptions type3, empty, filter;
  type3.header_type = 3;
  empty.image_count = 0;
  filter.color_filter = 5;
  for (const auto* o : {&type3, &empty, &filter}) {
    ParsedFromStart p(fixtures::BuildCine(*o));
    ParseCineHeader(p.s);
    EXPECT_EQ(p.s.raw.raw_count, 0u);
    EXPECT_STREQ(p.s.shot.make, "CINE");
  }
  fixtures::CineOptions counted;
  counted.image_count = 5;
  ParsedFromStart p(fixtures::BuildCine(counted));
  ParseCineHeader(p.s);
  EXPECT_EQ(p.s.raw.raw_count, 5u);
}

// --- Through identification and extraction ----------------------------------

TEST(SmallContainerFiles, RolleiIsRawButRefused) {
  EasternTime zone;
  Identified f(fixtures::BuildRolleiHeader({"DAT=24.12.2003", "TIM=18:30:00", "HDR=1024",
                                            "X  =2048", "Y  =1536", "TX =80", "TY =60", "EOHD"}));
  EXPECT_STREQ(f.s.shot.make, "Rollei");
  EXPECT_STREQ(f.s.shot.model, "d530flex");
  EXPECT_EQ(f.s.shot.timestamp, kChristmasEve2003);
  EXPECT_EQ(f.s.shot.orientation, 0);
  EXPECT_EQ(RulesChoice(f.s).kind, PreviewKind::Rollei);
  EXPECT_FALSE(f.Extract().result);
}

TEST(SmallContainerFiles, SinarIaIsRefused) {
  Identified f(fixtures::BuildSinarIa({}));
  EXPECT_STREQ(f.s.shot.make, "Sinar");
  EXPECT_STREQ(f.s.shot.model, "Hy6");
  EXPECT_EQ(RulesChoice(f.s).kind, PreviewKind::PackedRgb);
  EXPECT_FALSE(f.Extract().result);
}

TEST(SmallContainerFiles, RiffHasADateButIsNotRaw) {
  EasternTime zone;
  Identified f(fixtures::BuildRiff(RiffChunk::List(
      "RIFF", "AVI ",
      {RiffChunk::List("LIST", "hdrl", {RiffChunk::Text("IDIT", "Wed Mar 10 10:20:30 2004\n")})})));
  EXPECT_EQ(f.s.shot.timestamp, kMarch2004);
  EXPECT_EQ(f.s.raw.raw_count, 0u);
  EXPECT_FALSE(f.Extract().result);
}

TEST(SmallContainerFiles, SmalAndCineAreNamedAndRefused) {
  Identified smal(fixtures::BuildSmal(9, 640, 480, 0x200, 5000, 5000));
  EXPECT_STREQ(smal.s.shot.make, "SMaL");
  EXPECT_STREQ(smal.s.shot.model, "v9 640x480");
  EXPECT_NE(smal.s.raw.raw_count, 0u);
  EXPECT_FALSE(smal.Extract().result);

  fixtures::CineOptions o;
  o.rotation = static_cast<uint32_t>(-90);
  Identified cine(fixtures::BuildCine(o));
  EXPECT_STREQ(cine.s.shot.make, "CINE");
  EXPECT_STREQ(cine.s.shot.model, "12345");
  EXPECT_EQ(cine.s.shot.orientation, 4);
  EXPECT_FALSE(cine.Extract().result);
}
