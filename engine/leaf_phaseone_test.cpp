#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_test_support.h"
#include "engine/extract.h"
#include "engine/parsers.h"
#include "tests/fixtures/jpeg.h"
#include "tests/fixtures/leaf_phaseone_builder.h"

using namespace engine;
using namespace engine_test;
using fixtures::Bytes;
using fixtures::MosPacket;
using fixtures::PhaseOneBuilder;

namespace {

MosPacket Packet(const std::string& name, const Bytes& data) {
  MosPacket p;
  p.name = name;
  p.data = data;
  return p;
}

MosPacket Nest(const std::string& name, std::vector<MosPacket> chain) {
  MosPacket p;
  p.name = name;
  p.nested = std::move(chain);
  return p;
}

// Parses the chain placed at offset 16 of an otherwise empty buffer.
std::unique_ptr<Parsed> ParseChain(const std::vector<MosPacket>& chain, bool little,
                                   std::vector<uint32_t>* data_offsets = nullptr) {
  auto p =
      std::make_unique<Parsed>(AtOffset(16, fixtures::BuildMosChain(chain, little, data_offsets)));
  p->s.byte_order = little ? 0x4949 : 0x4D4D;
  ParseMosPackets(p->s, 16);
  return p;
}

}  // namespace

TEST(MosPackets, PreviewPacketIsRecordedAndALaterOneReplacesIt) {
  for (bool little : {false, true}) {
    const Bytes first(100, 0xD8), second(40, 0xD9);
    std::vector<uint32_t> data;
    auto p = ParseChain({Packet("JPEG_preview_data", first), MosPacket::Text("Other", "1"),
                         Packet("JPEG_preview_data", second)},
                        little, &data);
    EXPECT_EQ(RulesChoice(p->s).offset, 16 + data[2]) << little;
    EXPECT_EQ(RulesChoice(p->s).length, 40u);
    EXPECT_EQ(RulesChoice(p->s).kind, PreviewKind::Jpeg);
  }
}

TEST(MosPackets, ChainInTheOtherByteOrderIsNotAChain) {
  auto p = std::make_unique<Parsed>(
      AtOffset(16, fixtures::BuildMosChain({Packet("JPEG_preview_data", Bytes(8, 1))}, true)));
  p->s.byte_order = 0x4D4D;
  ParseMosPackets(p->s, 16);
  EXPECT_EQ(RulesChoice(p->s).offset, 0u);
}

TEST(MosPackets, BackNamePastAColourProfile) {
  auto p = ParseChain(
      {Packet("icc_camera_profile", Bytes(30, 7)), MosPacket::Text("ShootObj_back_type", "13")},
      false);
  EXPECT_STREQ(p->s.shot.model, "Aptus 75");

  // Numbers outside the table name no back.
  for (const char* text : {"18", "-1", "abc"}) {
    auto q = ParseChain({MosPacket::Text("ShootObj_back_type", text)}, false);
    EXPECT_STREQ(q->s.shot.model, "") << text;
  }
}

TEST(MosPackets, RotationPair) {
  auto p = ParseChain({MosPacket::Text("CaptProf_raw_data_rotation", "90"),
                       MosPacket::Text("ImgProf_rotation_angle", "270")},
                      true);
  EXPECT_EQ(p->s.shot.orientation, 180);

  // An image angle with no raw rotation before it is taken as it stands: an
  // unset orientation (-1) must not turn 0 degrees into a mirror code.
  auto q = ParseChain({MosPacket::Text("ImgProf_rotation_angle", "0")}, true);
  EXPECT_EQ(q->s.shot.orientation, 0);
  auto r = ParseChain({MosPacket::Text("ImgProf_rotation_angle", "90")}, true);
  EXPECT_EQ(r->s.shot.orientation, 90);
}

TEST(MosPackets, NumbersStopAtThePacketEnd) {
  // "9" followed directly by the next packet: the number is 9, not a number
  // made of the following bytes.
  MosPacket rotation = Packet("CaptProf_raw_data_rotation", {'9'});
  auto p = ParseChain({rotation, MosPacket::Text("X", "0")}, false);
  EXPECT_EQ(p->s.shot.orientation, 9);
}

TEST(MosPackets, FilterPatternFromPlanesMosaicAndRotation) {
  struct Case {
    const char* planes;
    const char* mosaic;
    const char* rotation;
    uint32_t pattern;
  } cases[] = {
      {"1", "1 0 0 0", "0", 0x94949494},  {"1", "0 1 0 0", "0", 0x61616161},
      {"1", "0 0 1 0", "0", 0x49494949},  // c = 2 gives rotation 3
      {"1", "0 1 0 0", "90", 0x16161616}, {"3", "0 1 0 0", "0", 0},
  };
  for (const Case& c : cases) {
    auto p = ParseChain({MosPacket::Text("CaptProf_raw_data_rotation", c.rotation),
                         MosPacket::Text("CaptProf_mosaic_pattern", c.mosaic),
                         MosPacket::Text("CaptProf_number_of_planes", c.planes)},
                        false);
    EXPECT_EQ(p->s.raw.filter_pattern, c.pattern)
        << c.planes << " " << c.mosaic << " " << c.rotation;
  }
  auto none = ParseChain({MosPacket::Text("CaptProf_mosaic_pattern", "0 1 0 0")}, false);
  EXPECT_EQ(none->s.raw.filter_pattern, 0xFFFFFFFFu);
}

TEST(MosPackets, NeutralsOnlyWithoutEarlierMultipliers) {
  auto p = ParseChain({MosPacket::Text("NeutObj_neutrals", "100 50 25 200")}, false);
  EXPECT_FLOAT_EQ(p->s.raw.first_camera_multiplier, 2);  // the reference over red
}

TEST(MosPackets, NestedChains) {
  // A preview inside a nested chain is found.
  auto p = ParseChain(
      {Nest("Outer", {MosPacket::Text("X", "1"), Packet("JPEG_preview_data", Bytes(24, 0xD8))})},
      false);
  EXPECT_EQ(RulesChoice(p->s).length, 24u);

  // Eight levels are walked, a ninth is not.
  auto nest_levels = [](int levels) {
    MosPacket inner = Packet("JPEG_preview_data", Bytes(12, 0xD8));
    for (int i = 1; i < levels; ++i) inner = Nest("Level", {inner});
    return inner;
  };
  EXPECT_EQ(RulesChoice(ParseChain({nest_levels(8)}, false)->s).length, 12u);
  EXPECT_EQ(RulesChoice(ParseChain({nest_levels(9)}, false)->s).length, 0u);
}

TEST(MosPackets, NestedChainEndsWithItsPacket) {
  // A nested chain that runs on past its packet's data would walk the
  // following packets twice; a relative angle applied twice cancels out.
  auto p = ParseChain(
      {Nest("Outer", {MosPacket::Text("X", "1")}), MosPacket::Text("ImgProf_rotation_angle", "90")},
      true);
  EXPECT_EQ(p->s.shot.orientation, 90);
}

TEST(MosPackets, ZeroLengthAndRunawayLengthsEndTheChain) {
  MosPacket empty = Packet("JPEG_preview_data", {});
  auto p = ParseChain({empty, MosPacket::Text("ShootObj_back_type", "1")}, false);
  EXPECT_STREQ(p->s.shot.model, "");  // the packet after the empty one is not walked
  EXPECT_EQ(RulesChoice(p->s).offset, 0u);

  // A length that would wrap a 32-bit position back into the chain.
  MosPacket runaway = Packet("Runaway", Bytes(8, 0));
  runaway.stored_length = 0xFFFFFFF0;
  auto q = ParseChain({MosPacket::Text("CaptProf_raw_data_rotation", "90"), runaway,
                       MosPacket::Text("ImgProf_rotation_angle", "270")},
                      false);
  EXPECT_EQ(q->s.shot.orientation, 90);
}

TEST(MosPackets, ChainCutByEndOfFile) {
  Bytes chain = fixtures::BuildMosChain({MosPacket::Text("CaptProf_raw_data_rotation", "90"),
                                         MosPacket::Text("ImgProf_rotation_angle", "270")},
                                        false);
  chain.resize(chain.size() - 30);  // the second header is cut
  auto p = std::make_unique<Parsed>(AtOffset(16, chain));
  p->s.byte_order = 0x4D4D;
  ParseMosPackets(p->s, 16);
  EXPECT_EQ(p->s.shot.orientation, 90);
}

TEST(PhaseOneHeader, DirectoryFillsTheDescription) {
  const Bytes header = PhaseOneBuilder()
                           .Value(0x100, 1)
                           .Value(0x108, 7372)
                           .Value(0x109, 5536)
                           .Value(0x10a, 36)
                           .Value(0x10b, 6)
                           .Value(0x10c, 7320)
                           .Value(0x10d, 5484)
                           .Value(0x10f, 0x1000)
                           .Value(0x110, 0x2000, 512)
                           .Text(0x301, "P 25 camera, Firmware 1.2")
                           .Build();
  for (uint32_t base : {0u, 8u}) {
    Parsed p(AtOffset(base, header));
    ParsePhaseOneHeader(p.s, base);
    const ParseState& s = p.s;
    EXPECT_EQ(s.byte_order, 0x4949);
    EXPECT_EQ(s.shot.orientation, 6);
    EXPECT_EQ(s.raw.raw_width, 7372);
    EXPECT_EQ(s.raw.raw_height, 5536);
    EXPECT_EQ(s.raw.image_width, 7320);
    EXPECT_EQ(s.raw.image_height, 5484);
    EXPECT_EQ(s.raw.raw_data_offset, base + 0x1000);
    EXPECT_STREQ(s.shot.model, "P 25");
    EXPECT_STREQ(s.shot.make, "Phase One");
    EXPECT_EQ(s.raw.raw_decoder, RawDecoder::Phaseone);
  }
}

TEST(PhaseOneHeader, OrientationDigitsAndBigEndian) {
  const int expected[4] = {0, 6, 5, 3};
  for (uint32_t code = 0; code < 8; ++code) {
    Parsed p(PhaseOneBuilder(false).Value(0x100, code).Build());
    ParsePhaseOneHeader(p.s, 0);
    EXPECT_EQ(p.s.byte_order, 0x4D4D);
    EXPECT_EQ(p.s.shot.orientation, expected[code & 3]) << code;
  }
}

TEST(PhaseOneHeader, ModelByRawHeightWhenNoneIsNamed) {
  const struct {
    uint32_t height;
    const char* model;
  } cases[] = {{2060, "LightPhase"}, {2682, "H 10"}, {4128, "H 20"}, {5488, "H 25"}, {3000, ""}};
  for (const auto& c : cases) {
    Parsed p(PhaseOneBuilder().Value(0x109, c.height).Build());
    ParsePhaseOneHeader(p.s, 0);
    EXPECT_STREQ(p.s.shot.model, c.model) << c.height;
  }
  // A named model is kept whatever the height.
  Parsed named(PhaseOneBuilder().Value(0x109, 5488).Text(0x301, "IQ180").Build());
  ParsePhaseOneHeader(named.s, 0);
  EXPECT_STREQ(named.s.shot.model, "IQ180");
}

TEST(PhaseOneHeader, LongModelTextIsCutTo63Bytes) {
  Parsed p(PhaseOneBuilder().Text(0x301, std::string(100, 'M')).Build());
  ParsePhaseOneHeader(p.s, 0);
  EXPECT_EQ(std::strlen(p.s.shot.model), 63u);
}

TEST(PhaseOneHeader, WithoutTheRawMarkOnlyTheByteOrderIsTaken) {
  Parsed p(PhaseOneBuilder(false).Value(0x109, 5488).BreakMark().Build());
  p.s.byte_order = 0x4949;
  ParsePhaseOneHeader(p.s, 0);
  EXPECT_EQ(p.s.byte_order, 0x4D4D);
  EXPECT_STREQ(p.s.shot.make, "");
  EXPECT_EQ(p.s.raw.raw_height, 0);
  EXPECT_EQ(p.s.raw.raw_decoder, RawDecoder::None);
}

TEST(PhaseOneHeader, EntryCountIsBoundedByTheFile) {
  // A count of four billion entries reads the entries the file holds, and
  // the last bytes beyond them are not taken for a model name.
  Parsed p(
      PhaseOneBuilder().Value(0x109, 4128).Value(0x108, 5472).DeclaredCount(0xFFFFFFFF).Build());
  ParsePhaseOneHeader(p.s, 0);
  EXPECT_EQ(p.s.raw.raw_height, 4128);
  EXPECT_EQ(p.s.raw.raw_width, 5472);
  EXPECT_STREQ(p.s.shot.model, "H 20");
}

// --- Through identification and extraction ----------------------------------

namespace {

bool EndsWith(const Bytes& whole, const Bytes& tail) {
  return whole.size() >= tail.size() &&
         std::equal(tail.begin(), tail.end(),
                    whole.end() - static_cast<std::ptrdiff_t>(tail.size()));
}

}  // namespace

TEST(LeafFile, PreviewPacketIsExtracted) {
  fixtures::JpegOptions o;
  o.width = 96;
  o.height = 64;
  const Bytes jpeg = fixtures::MakeJpeg(o);
  for (bool little : {false, true}) {
    uint32_t chain = 0;
    Identified f(fixtures::BuildLeafTiff(
        {MosPacket::Text("ShootObj_back_type", "12"),
         MosPacket::Text("CaptProf_raw_data_rotation", "0"), Packet("JPEG_preview_data", jpeg)},
        little, &chain));
    EXPECT_STREQ(f.s.shot.make, "Leaf");
    EXPECT_STREQ(f.s.shot.model, "Aptus 22");
    EXPECT_NE(f.s.raw.raw_count, 0u);
    EXPECT_EQ(RulesChoice(f.s).length, jpeg.size());
    const Bytes out = f.Extract().jpeg;
    fixtures::JpegFrame frame;
    ASSERT_TRUE(fixtures::ReadJpegFrame(out, &frame)) << little;
    EXPECT_EQ(frame.width, 96);
    EXPECT_EQ(frame.height, 64);
    EXPECT_TRUE(EndsWith(out, Bytes(jpeg.end() - 200, jpeg.end())));
  }
}

TEST(PhaseOneFile, HeaderAloneNamesTheCameraAndHasNoPreview) {
  Identified f(PhaseOneBuilder()
                   .Value(0x108, 5472)
                   .Value(0x109, 4128)
                   .Value(0x10c, 5412)
                   .Value(0x10d, 4080)
                   .Text(0x301, "P 25 camera, firmware 2.0")
                   .Build());
  EXPECT_STREQ(f.s.shot.make, "Phase One");
  EXPECT_STREQ(f.s.shot.model, "P 25");
  EXPECT_TRUE(f.Extract().jpeg.empty());
}

TEST(PhaseOneFile, BehindATiffWrapperTheTiffIsParsedAfterTheHeader) {
  const Bytes header =
      PhaseOneBuilder().Value(0x108, 7320).Value(0x109, 5488).Value(0x100, 1).Build();
  Identified f(fixtures::WrapPhaseOneInTiff(header, "Leaf", "Credo 40"));
  EXPECT_STREQ(f.s.shot.make, "Leaf");  // the TIFF's names replace the header's
  EXPECT_STREQ(f.s.shot.model, "Credo 40");
  EXPECT_EQ(f.s.raw.raw_height, 5488);
  EXPECT_EQ(f.s.shot.orientation, 6);
  EXPECT_TRUE(f.Extract().jpeg.empty());
}

TEST(PhaseOneFile, RealSampleIsIdentifiedAndHasNoJpeg) {
  const Bytes bytes = ReadSample("iiq/PhaseOne.iiq");
  if (bytes.empty()) GTEST_SKIP() << "samples not available";
  Identified f(bytes);
  EXPECT_STREQ(f.s.shot.make, "Leaf");
  EXPECT_STREQ(f.s.shot.model, "Credo 40");
  EXPECT_TRUE(f.Extract().jpeg.empty());  // only a 1 x 1 RGB strip: no JPEG
}
