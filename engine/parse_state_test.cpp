#include "engine/parse_state.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/engine_test_support.h"

using namespace engine;
using namespace engine_test;

namespace {

// Bytes as the input of a state that no reset has touched, in this order.
struct Harness : MemoryInput {
  explicit Harness(std::vector<uint8_t> b, uint16_t order = 0x4D4D) : MemoryInput(std::move(b)) {
    s.byte_order = order;
  }
};

}  // namespace

TEST(ByteReaders, MissingBytesReadAsAllOnes) {
  Harness big({0x12});
  EXPECT_EQ(read_u16(big.s), 0x12FF);
  Harness little({0x12}, 0x4949);
  EXPECT_EQ(read_u16(little.s), 0xFF12);
  Harness empty({});
  EXPECT_EQ(read_u32(empty.s), 0xFFFFFFFFu);
  EXPECT_EQ(read_u16(empty.s), 0xFFFF);
  // The big-endian reader ignores the state's order.
  Harness tag({0x01, 0x02, 0x03}, 0x4949);
  EXPECT_EQ(read_big_endian_u32(tag.s), 0x010203FFu);
}

TEST(ByteReaders, OrderMarkOtherThanIIReadsBigEndian) {
  for (uint16_t order : {0x4D4D, 0x0000, 0x1234}) {
    Harness h({0x01, 0x02}, order);
    EXPECT_EQ(read_u16(h.s), 0x0102) << order;
  }
  Harness h({0x01, 0x02}, 0x4949);
  EXPECT_EQ(read_u16(h.s), 0x0201);
}

TEST(ByteReaders, RealsByType) {
  Harness inf({0, 0, 0, 1, 0, 0, 0, 0});
  EXPECT_TRUE(std::isinf(read_real(inf.s, 5)));
  Harness half({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 2});
  EXPECT_DOUBLE_EQ(read_real(half.s, 10), -0.5);
  Harness other({7, 8});
  EXPECT_DOUBLE_EQ(read_real(other.s, 7), 7);
  EXPECT_EQ(other.s.input.Tell(), 1);
  EXPECT_DOUBLE_EQ(read_real(other.s, 7), 8);
  EXPECT_DOUBLE_EQ(read_real(other.s, 7), -1);  // end of file
  Harness sshort({0xFF, 0xFE});
  EXPECT_DOUBLE_EQ(read_real(sshort.s, 8), -2);
}

TEST(Orientation, TablesAreInverse) {
  EXPECT_EQ(OrientationCodeFromTiff(6), 6);
  EXPECT_EQ(ExifOrientationFromCode(6), 6);
  EXPECT_EQ(OrientationCodeFromTiff(8), 5);
  EXPECT_EQ(ExifOrientationFromCode(5), 8);
  EXPECT_EQ(OrientationCodeFromTiff(0), 5);
  for (unsigned v = 1; v <= 8; ++v)
    EXPECT_EQ(ExifOrientationFromCode(OrientationCodeFromTiff(v)), static_cast<int>(v));
}

TEST(Reset, HeadReadAndDefaults) {
  std::vector<uint8_t> file = {'I', 'I', 0x1A, 0, 0, 0, 'H', 'E', 'A', 'P'};
  file.resize(40, 0xAB);
  Harness h(file, 0);
  h.s.raw.raw_count = 0;
  SetText(h.s.shot.make, "Old");
  ClaimPreview(h.s, PreviewClaim().Kind(PreviewKind::Rollei));
  h.s.raw.first_camera_multiplier = 5;
  ResetParseState(h.s);
  EXPECT_EQ(h.s.byte_order, 0x4949);
  EXPECT_EQ(h.s.header_length, 0x1Au);
  EXPECT_EQ(h.s.file_size, 40);
  EXPECT_EQ(h.s.head[6], 'H');
  EXPECT_EQ(h.s.raw.raw_count, 1u);
  EXPECT_EQ(h.s.shot.make[0], 0);
  EXPECT_EQ(h.s.shot.orientation, -1);
  EXPECT_EQ(RulesChoice(h.s).kind, PreviewKind::Jpeg);
  EXPECT_EQ(h.s.raw.first_camera_multiplier, 0.0f);
  EXPECT_EQ(h.s.raw.bits_per_sample, 12u);
}

// The rules' choice is read from the claims in the order they were made: each
// field from the last claim that states it, whatever later claims leave out.
TEST(PreviewClaims, LastClaimOfEachFieldWins) {
  struct Case {
    const char* what;
    std::vector<PreviewClaim> claims;
    uint32_t offset, length;
    uint16_t width, height;
    PreviewKind kind;
  };
  const Case cases[] = {
      {"none", {}, 0, 0, 0, 0, PreviewKind::Jpeg},
      {"whole", {PreviewClaim().Place(100, 50).Size(4, 3)}, 100, 50, 4, 3, PreviewKind::Jpeg},
      {"later place keeps the earlier size",
       {PreviewClaim().Place(100, 50).Size(4, 3), PreviewClaim().Place(900, 70)},
       900,
       70,
       4,
       3,
       PreviewKind::Jpeg},
      {"offset and length from separate entries",
       {PreviewClaim().Length(70), PreviewClaim().Offset(900)},
       900,
       70,
       0,
       0,
       PreviewKind::Jpeg},
      {"withdrawn: offset 0, the rest stays",
       {PreviewClaim().Place(100, 50).Kind(PreviewKind::PackedRgb), PreviewClaim().Offset(0)},
       0,
       50,
       0,
       0,
       PreviewKind::PackedRgb},
      {"kind alone",
       {PreviewClaim().Offset(8), PreviewClaim().Kind(PreviewKind::Rollei)},
       8,
       0,
       0,
       0,
       PreviewKind::Rollei},
  };
  for (const Case& c : cases) {
    const RulesPreview p = PreviewOfClaims(c.claims);
    EXPECT_EQ(p.offset, c.offset) << c.what;
    EXPECT_EQ(p.length, c.length) << c.what;
    EXPECT_EQ(p.width, c.width) << c.what;
    EXPECT_EQ(p.height, c.height) << c.what;
    EXPECT_EQ(p.kind, c.kind) << c.what;
  }
}

// Guards: a file whose entries claim the preview thousands of times keeps a
// bounded list, and merging the early claims changes nothing of the choice.
TEST(PreviewClaims, ManyClaimsStayBoundedAndKeepTheChoice) {
  Harness h({});
  for (uint32_t i = 1; i <= 1000; ++i) {
    ClaimPreview(h.s, PreviewClaim().Offset(i));
    if (i == 3) ClaimPreview(h.s, PreviewClaim().Size(7, 5).Kind(PreviewKind::Layered));
  }
  ClaimPreview(h.s, PreviewClaim().Length(42));
  EXPECT_LE(h.s.found.preview_claims.size(), kMaxPreviewClaims);
  const RulesPreview p = RulesChoice(h.s);
  EXPECT_EQ(p.offset, 1000u);
  EXPECT_EQ(p.length, 42u);
  EXPECT_EQ(p.width, 7);
  EXPECT_EQ(p.kind, PreviewKind::Layered);
}
