#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/engine_test_support.h"
#include "engine/parsers.h"
#include "tests/fixtures/fuji_minolta_builder.h"
#include "tests/fixtures/jpeg.h"
#include "tests/fixtures/tiff_builder.h"

using namespace engine;
using namespace engine_test;
using fixtures::Bytes;
using fixtures::ByteWriter;
using fixtures::TiffBuilder;

namespace {

std::unique_ptr<Parsed> ParseAt(Bytes bytes, int64_t base = 0) {
  auto p = std::make_unique<Parsed>(std::move(bytes));
  ParseTiff(p->s, base);
  return p;
}

// The header of a lossless JPEG as Canon stores its raw data: SOF3 with four
// components, then the start of scan. The probe needs nothing more.
Bytes LosslessJpegHeader(int width, int height, int components, int precision = 14) {
  ByteWriter w(false);
  w.u8(0xFF).u8(0xD8);
  w.u8(0xFF).u8(0xC3).u16(static_cast<uint16_t>(8 + 3 * components));
  w.u8(static_cast<uint8_t>(precision))
      .u16(static_cast<uint16_t>(height))
      .u16(static_cast<uint16_t>(width));
  w.u8(static_cast<uint8_t>(components));
  for (int c = 0; c < components; ++c) w.u8(static_cast<uint8_t>(c + 1)).u8(0x11).u8(0);
  w.u8(0xFF).u8(0xDA).u16(8).u8(1).u8(1).u8(0).u8(1).u8(0).u8(0);
  w.fill(64, 0x55);
  return w.take();
}

// An uncompressed 12-bit raw directory; ordinary enough to be kept as raw.
void AddRawImage(fixtures::Ifd& ifd, fixtures::BlobId data, uint32_t width, uint32_t height,
                 uint16_t compression = 1, uint16_t bits = 12) {
  ifd.Long(256, width).Long(257, height).Short(258, bits).Short(259, compression).Short(262, 32803);
  ifd.OffsetOf(273, data).Long(277, 1).Long(279, 4096);
}

// A 160x120 8-bit RGB thumbnail, uncompressed, as NEF and DNG keep in IFD0.
fixtures::Ifd& AddRgbThumbnail(fixtures::Ifd& ifd, fixtures::BlobId pixels) {
  ifd.Long(256, 160).Long(257, 120).Short(258, {8, 8, 8}).Short(259, 1).Short(262, 2);
  return ifd.OffsetOf(273, pixels).Short(277, 3).Long(279, 160 * 120 * 3);
}

}  // namespace

// --- Preview choice ------------------------------------------------------

TEST(TiffPreviewChoice, NefStyleTakesSubIfdJpegAndLastSubIfdRaw) {
  for (bool little : {true, false}) {
    for (size_t base : {size_t{0}, size_t{12}}) {
      SCOPED_TRACE(std::string(little ? "II" : "MM") + " base " + std::to_string(base));
      TiffBuilder t(little);
      const auto ifd0 = t.NewIfd(), jpeg_ifd = t.NewIfd(), raw_ifd = t.NewIfd();
      const Bytes jpeg = Jpeg(300, 200);
      const auto thumb = t.AddBlob(Bytes(160 * 120 * 3, 0x80));
      const auto preview = t.AddBlob(jpeg);
      const auto raw = t.AddBlob(Bytes(4096, 0x11));
      t.ifd(ifd0).Long(254, 1).Long(256, 160).Long(257, 120).Short(258, {8, 8, 8}).Short(259, 1);
      t.ifd(ifd0).Short(262, 2).Ascii(271, "NIKON CORPORATION").Ascii(272, "NIKON D70");
      t.ifd(ifd0).OffsetOf(273, thumb).Short(277, 3).Long(279, 160 * 120 * 3);
      t.ifd(ifd0).PointersTo(330, {jpeg_ifd, raw_ifd});
      t.ifd(jpeg_ifd).OffsetOf(513, preview).Long(514, static_cast<uint32_t>(jpeg.size()));
      AddRawImage(t.ifd(raw_ifd), raw, 3008, 2000, 34713);
      t.Chain({ifd0});
      const Bytes tiff = t.Build();
      auto p = ParseAt(AtOffset(base, tiff, 0xEE), static_cast<int64_t>(base));
      const ParseState& s = p->s;

      EXPECT_EQ(s.ifd_count, 3u);
      EXPECT_EQ(s.raw.raw_width, 3008);
      EXPECT_EQ(s.raw.raw_height, 2000);
      EXPECT_EQ(s.raw.compression, 34713u);
      EXPECT_EQ(s.raw.raw_data_offset, base + t.BlobOffset(raw));
      EXPECT_EQ(s.raw.raw_decoder, RawDecoder::None);  // the Nikon decoders come later
      EXPECT_EQ(s.raw.raw_count, 1u);
      EXPECT_EQ(RulesChoice(s).offset, base + t.BlobOffset(preview));
      EXPECT_EQ(RulesChoice(s).length, jpeg.size());
      EXPECT_EQ(RulesChoice(s).kind, PreviewKind::Jpeg);
      EXPECT_EQ(RulesChoice(s).width, 300);
      EXPECT_EQ(RulesChoice(s).height, 200);
      EXPECT_STREQ(s.shot.make, "NIKON CORPORATION");
      EXPECT_EQ(s.byte_order, little ? 0x4949 : 0x4D4D);
    }
  }
}

TEST(TiffPreviewChoice, FourComponentLosslessRawDoesNotHideColourPreviews) {
  // CR2 layout: IFD0 a full-size JPEG described by its tags, IFD1 a small
  // JPEG thumbnail, IFD2 an RGB bitmap, IFD3 the raw data as a lossless JPEG
  // of four components that only its own header describes.
  TiffBuilder t(true);
  const auto ifd0 = t.NewIfd(), ifd1 = t.NewIfd(), ifd2 = t.NewIfd(), ifd3 = t.NewIfd();
  const Bytes big = Jpeg(320, 240, 2), small = Jpeg(80, 60, 3);
  const auto big_blob = t.AddBlob(big), small_blob = t.AddBlob(small);
  const auto rgb = t.AddBlob(Bytes(40 * 30 * 3, 0x40));
  const Bytes lossless = LosslessJpegHeader(1400, 1900, 4);
  const auto raw = t.AddBlob(lossless);
  t.ifd(ifd0).Long(256, 320).Long(257, 240).Short(258, {8, 8, 8}).Short(259, 6);
  t.ifd(ifd0)
      .Ascii(271, "Canon")
      .OffsetOf(273, big_blob)
      .Long(279, static_cast<uint32_t>(big.size()));
  t.ifd(ifd1).OffsetOf(513, small_blob).Long(514, static_cast<uint32_t>(small.size()));
  t.ifd(ifd2).Long(256, 40).Long(257, 30).Short(258, {8, 8, 8}).Short(259, 1).Short(262, 2);
  t.ifd(ifd2).OffsetOf(273, rgb).Short(277, 3).Long(279, 40 * 30 * 3);
  t.ifd(ifd3).Short(259, 6).OffsetOf(273, raw).Long(279, static_cast<uint32_t>(lossless.size()));
  t.Chain({ifd0, ifd1, ifd2, ifd3});
  auto p = ParseAt(t.Build());
  const ParseState& s = p->s;

  EXPECT_EQ(s.ifd_table[3].samples, 4);
  EXPECT_EQ(s.raw.raw_width, 1400);
  EXPECT_EQ(s.raw.raw_height, 1900);
  EXPECT_EQ(s.raw.bits_per_sample, 14u);
  EXPECT_EQ(s.raw.raw_decoder, RawDecoder::LosslessJpeg);
  EXPECT_EQ(s.raw.raw_count, 1u);
  EXPECT_EQ(RulesChoice(s).offset, t.BlobOffset(big_blob));
  EXPECT_EQ(RulesChoice(s).length, big.size());
  EXPECT_EQ(RulesChoice(s).kind, PreviewKind::Jpeg);
  EXPECT_EQ(RulesChoice(s).width, 320);
}

TEST(TiffPreviewChoice, RgbThumbnailAloneIsPackedRgbAndEqualScoresKeepTheFirst) {
  {
    TiffBuilder t(false);
    const auto ifd0 = t.NewIfd(), raw_ifd = t.NewIfd();
    const auto thumb = t.AddBlob(Bytes(160 * 120 * 3, 0x80)), raw = t.AddBlob(Bytes(4096, 1));
    AddRgbThumbnail(t.ifd(ifd0), thumb).PointersTo(330, {raw_ifd});
    AddRawImage(t.ifd(raw_ifd), raw, 2000, 1500);
    t.Chain({ifd0});
    auto p = ParseAt(t.Build());
    EXPECT_EQ(RulesChoice(p->s).offset, t.BlobOffset(thumb));
    EXPECT_EQ(RulesChoice(p->s).kind, PreviewKind::PackedRgb);
    EXPECT_EQ(p->s.raw.raw_width, 2000);
    EXPECT_EQ(p->s.raw.raw_decoder, RawDecoder::Packed12);
  }
  {
    TiffBuilder t(true);
    const auto ifd0 = t.NewIfd(), a = t.NewIfd(), b = t.NewIfd();
    const Bytes first = Jpeg(96, 64, 4), second = Jpeg(96, 64, 5);
    const auto first_blob = t.AddBlob(first), second_blob = t.AddBlob(second);
    const auto raw = t.AddBlob(Bytes(4096, 1));
    AddRawImage(t.ifd(ifd0), raw, 1000, 800);
    t.ifd(ifd0).PointersTo(330, {a, b});
    t.ifd(a).OffsetOf(513, first_blob).Long(514, static_cast<uint32_t>(first.size()));
    t.ifd(b).OffsetOf(513, second_blob).Long(514, static_cast<uint32_t>(second.size()));
    t.Chain({ifd0});
    auto p = ParseAt(t.Build());
    EXPECT_EQ(RulesChoice(p->s).offset, t.BlobOffset(first_blob));
  }
}

TEST(TiffPreviewChoice, JpegWithBitsPerSampleBeforeItsOffsetIsNotProbed) {
  const Bytes jpeg = Jpeg(64, 48);
  for (bool bits_first : {true, false}) {
    TiffBuilder t(true);
    const auto ifd0 = t.NewIfd();
    const auto blob = t.AddBlob(jpeg);
    if (bits_first) t.ifd(ifd0).Short(258, {8, 8, 8});
    t.ifd(ifd0).Long(256, 100).Long(257, 80).OffsetOf(513, blob);
    if (!bits_first) t.ifd(ifd0).Short(258, {8, 8, 8});
    t.ifd(ifd0).Long(514, static_cast<uint32_t>(jpeg.size()));
    t.Chain({ifd0});
    auto p = ParseAt(t.Build());
    const IfdRecord& r = p->s.ifd_table[0];
    if (bits_first) {
      EXPECT_EQ(r.compression, 0);
      EXPECT_EQ(r.width, 100);
      EXPECT_EQ(r.height, 80);
    } else {
      // Probed: the JPEG's own header replaces the size of the earlier tags.
      EXPECT_EQ(r.compression, 6);
      EXPECT_EQ(r.width, 64);
      EXPECT_EQ(r.height, 48);
      EXPECT_EQ(r.samples, 3);
    }
    EXPECT_EQ(r.bits_per_sample, 8);
  }
}

TEST(TiffPreviewChoice, EarlierPreviewIsProbedAndCompetes) {
  // A preview located before the TIFF parse (as a maker note does) is measured
  // from its own JPEG header and beats a smaller thumbnail.
  TiffBuilder t(true);
  const auto ifd0 = t.NewIfd(), raw_ifd = t.NewIfd();
  const Bytes jpeg = Jpeg(400, 300);
  const auto preview = t.AddBlob(jpeg), thumb = t.AddBlob(Bytes(160 * 120 * 3, 1));
  const auto raw = t.AddBlob(Bytes(4096, 1));
  AddRgbThumbnail(t.ifd(ifd0), thumb).PointersTo(330, {raw_ifd});
  AddRawImage(t.ifd(raw_ifd), raw, 2000, 1500);
  t.Chain({ifd0});
  Parsed p(t.Build());
  ClaimPreview(p.s,
               PreviewClaim().Place(t.BlobOffset(preview), static_cast<uint32_t>(jpeg.size())));
  ParseTiff(p.s, 0);
  EXPECT_EQ(RulesChoice(p.s).offset, t.BlobOffset(preview));
  EXPECT_EQ(RulesChoice(p.s).width, 400);
  EXPECT_EQ(RulesChoice(p.s).kind, PreviewKind::Jpeg);
}

// --- Raw decision ----------------------------------------------------------

TEST(TiffRawDecision, ConverterSoftwareMarksFileNotRaw) {
  const char kPrefixConverter[] = {0x64, 0x63, 0x72, 0x61, 0x77, ' ', 'v', '9', 0};
  const struct {
    std::string software;
    uint32_t raw_count;
  } cases[] = {
      {"Adobe Photoshop CS3", 0},
      {"Adobe Photoshop Lightroom", 0},
      {"adobe photoshop", 1},
      {"Digital Photo Professional", 0},
      {"Digital Photo Professional 3.2", 1},
      {"Bibble 5 Pro", 0},
      {"Nikon Scan 4.0", 0},
      {kPrefixConverter, 0},
      {"Ver.1.00", 1},
  };
  for (const auto& c : cases) {
    TiffBuilder t(false);
    const auto ifd0 = t.NewIfd();
    const auto raw = t.AddBlob(Bytes(4096, 1));
    AddRawImage(t.ifd(ifd0), raw, 1000, 800);
    t.ifd(ifd0).Ascii(305, c.software);
    t.Chain({ifd0});
    auto p = ParseAt(t.Build());
    EXPECT_EQ(p->s.raw.raw_count, c.raw_count) << c.software;
  }
}

TEST(TiffRawDecision, OrdinaryImagesAreNotRaw) {
  struct Image {
    const char* name;
    uint16_t samples;
    uint16_t bits;
    uint16_t photometric;
    uint32_t dng_version;
    uint32_t raw_count;
  };
  const Image images[] = {
      {"8-bit RGB", 3, 8, 2, 0, 0},
      {"8-bit greyscale", 1, 8, 1, 0, 0},
      {"16-bit RGB", 3, 16, 2, 0, 0},
      {"8-bit RGB DNG", 3, 8, 2, 0x01010000, 1},
      {"12-bit one-sample", 1, 12, 32803, 0, 1},
  };
  for (const Image& image : images) {
    TiffBuilder t(true);
    const auto ifd0 = t.NewIfd();
    const auto data = t.AddBlob(Bytes(2048, 7));
    std::vector<uint16_t> bits(image.samples, image.bits);
    t.ifd(ifd0).Long(256, 40).Long(257, 30).Short(258, bits).Short(259, 1).Short(262,
                                                                                 image.photometric);
    t.ifd(ifd0).OffsetOf(273, data).Short(277, image.samples).Long(279, 2048);
    if (image.dng_version) t.ifd(ifd0).Raw(50706, 1, 4, Bytes{1, 1, 0, 0});
    t.Chain({ifd0});
    auto p = ParseAt(t.Build());
    EXPECT_EQ(p->s.raw.raw_count, image.raw_count) << image.name;
  }
}

TEST(TiffRawDecision, DecoderByCompression) {
  const struct {
    uint16_t compression;
    uint16_t bits;
    uint16_t photometric;
    const char* make;
    RawDecoder decoder;
    uint32_t raw_count;
  } cases[] = {
      {1, 12, 32803, "", RawDecoder::Packed12, 1},
      {1, 12, 32803, "PENTAX Corporation", RawDecoder::Unpacked, 1},
      {1, 16, 32803, "", RawDecoder::Unpacked, 1},
      {1, 12, 2, "", RawDecoder::Rgb12Layout, 1},
      {7, 12, 32803, "", RawDecoder::LosslessJpeg, 1},
      {32773, 12, 32803, "", RawDecoder::Packed12, 1},
      {65000, 12, 32803, "", RawDecoder::Kodak65000, 1},
      {34713, 12, 32803, "", RawDecoder::None, 1},
      {5, 12, 32803, "", RawDecoder::None, 0},
  };
  for (const auto& c : cases) {
    TiffBuilder t(true);
    const auto ifd0 = t.NewIfd();
    const auto raw = t.AddBlob(Bytes(4096, 1));
    AddRawImage(t.ifd(ifd0), raw, 1000, 800, c.compression, c.bits);
    t.ifd(ifd0).Short(262, c.photometric);  // the later entry wins
    if (*c.make) t.ifd(ifd0).Ascii(271, c.make);
    t.Chain({ifd0});
    auto p = ParseAt(t.Build());
    EXPECT_EQ(p->s.raw.raw_decoder, c.decoder) << c.compression << " " << c.make;
    EXPECT_EQ(p->s.raw.raw_count, c.raw_count) << c.compression;
  }
}

// --- Walk limits -------------------------------------------------------------

TEST(TiffWalk, DirectoryAndTableLimits) {
  {
    // 512 entries are read; 513 are not, and the chain stops there.
    for (uint32_t entries : {512u, 513u}) {
      TiffBuilder t(true);
      const auto ifd0 = t.NewIfd(), big = t.NewIfd(), after = t.NewIfd();
      t.ifd(ifd0).Long(256, 10);
      for (uint32_t i = 0; i + 1 < entries; ++i) t.ifd(big).Short(60000, 0);
      t.ifd(big).Long(256, 20);
      t.ifd(after).Long(256, 30);
      t.Chain({ifd0, big, after});
      auto p = ParseAt(t.Build());
      if (entries == 512) {
        EXPECT_EQ(p->s.ifd_count, 3u);
        EXPECT_EQ(p->s.ifd_table[1].width, 20);
      } else {
        EXPECT_EQ(p->s.ifd_count, 2u);
        EXPECT_EQ(p->s.ifd_table[1].width, 0);
        EXPECT_EQ(p->s.ifd_table[2].width, 0);
      }
    }
  }
  {
    TiffBuilder t(false);
    std::vector<fixtures::IfdId> chain;
    for (int i = 0; i < 11; ++i) {
      chain.push_back(t.NewIfd());
      t.ifd(chain.back()).Long(256, static_cast<uint32_t>(i + 1));
    }
    t.Chain(chain);
    auto p = ParseAt(t.Build());
    EXPECT_EQ(p->s.ifd_count, 10u);
    EXPECT_EQ(p->s.ifd_table[9].width, 10);
  }
}

TEST(TiffWalk, DirectoriesThatPointBackAreNotReentered) {
  {
    // A chain whose next offset is the directory itself.
    TiffBuilder t(true);
    const auto ifd0 = t.NewIfd();
    t.ifd(ifd0).Long(256, 10).NextOffsetOverride(8);
    t.Chain({ifd0});
    auto p = ParseAt(t.Build());
    EXPECT_EQ(p->s.ifd_count, 1u);
  }
  {
    // A sub-directory list naming its own ancestor, and a sub-directory that
    // names itself.
    TiffBuilder t(false);
    const auto ifd0 = t.NewIfd(), sub = t.NewIfd();
    t.ifd(ifd0).Long(256, 10).PointersTo(330, {sub, ifd0});
    t.ifd(sub).Long(256, 20).PointersTo(330, {sub});
    t.Chain({ifd0});
    auto p = ParseAt(t.Build());
    EXPECT_EQ(p->s.ifd_count, 2u);
    EXPECT_EQ(p->s.ifd_table[1].width, 20);
  }
}

TEST(TiffWalk, HostileCountsAndOffsetsEnd) {
  {
    // An Exif directory that claims 65535 entries in a few bytes.
    TiffBuilder t(true);
    const auto ifd0 = t.NewIfd(), exif = t.NewIfd();
    t.ifd(ifd0).PointerTo(34665, exif);
    t.ifd(exif).Rational(33434, 1, 100).DeclaredCount(65535);
    t.Chain({ifd0});
    auto p = ParseAt(t.Build());
    EXPECT_FLOAT_EQ(p->s.shot.shutter, 0.01f);
  }
  {
    // Sub-directory offsets past the end of the file read as all ones.
    TiffBuilder t(true);
    const auto ifd0 = t.NewIfd();
    t.ifd(ifd0).Long(256, 10).Verbatim(330, 4, 3, 0xFFFFFFF0);
    t.Chain({ifd0});
    auto p = ParseAt(t.Build());
    EXPECT_LE(p->s.ifd_count, 10u);
  }
  {
    // Offsets are added to the base in 64 bits: no wrap back into the file.
    ByteWriter w(true);
    w.u16(256).u16(4).u32(2).u32(0xFFFFFFF8);
    Parsed p(w.take());
    p.s.byte_order = 0x4949;
    p.s.input.Seek(0);
    ReadTiffEntry(p.s, 16);
    EXPECT_EQ(p.s.input.Tell(), int64_t{16} + 0xFFFFFFF8);
  }
  {
    // A count whose size in bytes wraps to 4 in 32 bits (0x40000001 LONGs):
    // the value lies out of line, at the offset the entry holds, not inline.
    ByteWriter w(true);
    w.u16(273).u16(4).u32(0x40000001).u32(12).u32(0xCAFE);
    Parsed p(w.take());
    p.s.byte_order = 0x4949;
    p.s.input.Seek(0);
    const TiffEntry e = ReadTiffEntry(p.s, 0);
    EXPECT_EQ(e.resume, 12);
    EXPECT_EQ(read_u32(p.s), 0xCAFEu);
  }
}

TEST(TiffWalk, SonyA100RestOfDirectoryStaysInsideTheTable) {
  for (int position : {0, 9}) {
    SCOPED_TRACE(position);
    TiffBuilder t(true);
    std::vector<fixtures::IfdId> chain;
    for (int i = 0; i <= position; ++i) chain.push_back(t.NewIfd());
    t.ifd(chain[0]).Ascii(272, "DSLR-A100");
    for (int i = 1; i < position; ++i) t.ifd(chain[static_cast<size_t>(i)]).Long(256, 10);
    // The entries after the SubIFDs tag describe the next record.
    t.ifd(chain.back()).Long(256, 3872).Long(330, 5000).Long(257, 1234);
    t.Chain(chain);
    auto p = ParseAt(t.Build());
    EXPECT_EQ(p->s.ifd_count, static_cast<uint32_t>(position + 1));
    if (position + 1 < kIfdTableSize) {
      // The next record is not counted, so it takes no part in the choices.
      EXPECT_EQ(p->s.raw.raw_data_offset, 5000u);
      EXPECT_EQ(p->s.ifd_table[position + 1].height, 1234);
    } else {
      // In the last record there is no next one: the rest stays in it.
      EXPECT_EQ(p->s.ifd_table[position].height, 1234);
    }
  }
}

TEST(TiffWalk, NestedTiffStructuresAreBounded) {
  // A non-DNG file whose private data holds a Minolta block list whose TIFF
  // block holds the same again, six levels deep.
  Bytes tiff;
  for (int level = 6; level >= 1; --level) {
    TiffBuilder t(false);
    const auto ifd0 = t.NewIfd();
    t.ifd(ifd0).Ascii(272, "level " + std::to_string(level));
    if (!tiff.empty()) {
      fixtures::MrwOptions mrw;
      // A padding block first, so that the directory read at the list's own
      // position does not line up with the entries of the nested TIFF.
      mrw.blocks.push_back({"PAD", Bytes(1, 0)});
      mrw.blocks.push_back(fixtures::MrwTiffBlock(tiff));
      const auto blocks = t.AddBlob(fixtures::MakeMrwFile(mrw));
      t.ifd(ifd0).OffsetOf(50740, blocks);
    }
    t.Chain({ifd0});
    tiff = t.Build();
  }
  auto p = ParseAt(tiff);
  EXPECT_STREQ(p->s.shot.model, "level 4");
  EXPECT_EQ(p->s.tiff_nesting, 0u);
}

TEST(TiffWalk, NestedHeaderRestoresOrderAndCount) {
  // A big-endian TIFF header and directory inside a little-endian file.
  ByteWriter nested(false);
  nested.text("MM").u16(42).u32(8).u16(1).u16(256).u16(4).u32(1).u32(777).u32(0);
  TiffBuilder t(true);
  const auto ifd0 = t.NewIfd();
  const Bytes value = nested.take();
  t.ifd(ifd0).Long(256, 10).Undefined(50459, value).Long(257, 555);
  t.Chain({ifd0});
  auto p = ParseAt(t.Build());
  EXPECT_EQ(p->s.ifd_count, 1u);
  EXPECT_EQ(p->s.ifd_table[1].width, 777);   // read, then forgotten as a record
  EXPECT_EQ(p->s.ifd_table[0].height, 555);  // the outer order again
  EXPECT_EQ(p->s.byte_order, 0x4949);
}

TEST(TiffWalk, TypeSizes) {
  // Type 13 (IFD) is a 4-byte offset, as in TIFF.
  const uint32_t expected[] = {1, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4, 1, 1};
  for (uint32_t type = 0; type < 16; ++type) EXPECT_EQ(TiffTypeSize(type), expected[type]) << type;
  EXPECT_EQ(TiffTypeSize(0xFFFF), 1u);
}

TEST(TiffWalk, BadOrderMarkChangesNothing) {
  TiffBuilder t(true);
  const auto ifd0 = t.NewIfd();
  t.ifd(ifd0).Ascii(271, "Maker");
  t.Chain({ifd0});
  t.SetOrderMark("XX");
  Parsed p(t.Build());
  p.s.ifd_count = 3;
  ParseTiff(p.s, 0);
  EXPECT_EQ(p.s.shot.make[0], 0);
  EXPECT_EQ(p.s.ifd_count, 3u);
}

// --- Description -----------------------------------------------------------

namespace {

Bytes TimestampFile(bool little, const std::string& datetime, const std::string& original) {
  TiffBuilder t(little);
  const auto ifd0 = t.NewIfd(), exif = t.NewIfd();
  if (!datetime.empty()) t.ifd(ifd0).Ascii(306, datetime);
  t.ifd(ifd0).PointerTo(34665, exif);
  if (!original.empty()) t.ifd(exif).Ascii(36867, original);
  t.Chain({ifd0});
  return t.Build();
}

}  // namespace

TEST(TiffDescription, TimestampsAreLocalTime) {
  LocalZone zone("UTC-2");  // two hours east of UTC, no daylight saving
  for (bool little : {true, false}) {
    auto p = ParseAt(TimestampFile(little, "2008:01:01 12:00:00", ""));
    EXPECT_EQ(p->s.shot.timestamp, 1199181600);  // 2008-01-01 10:00:00 UTC

    // DateTimeOriginal overrides DateTime; month 13 rolls into the next year.
    p = ParseAt(TimestampFile(little, "2008:01:01 12:00:00", "2008:13:01 10:00:00"));
    EXPECT_EQ(p->s.shot.timestamp, 1230796800);  // 2009-01-01 08:00:00 UTC

    // A zero date does not parse into a time after 1970: no change.
    p = ParseAt(TimestampFile(little, "2008:01:01 12:00:00", "0000:00:00 00:00:00"));
    EXPECT_EQ(p->s.shot.timestamp, 1199181600);
    p = ParseAt(TimestampFile(little, "", "    :  :     :  :  "));
    EXPECT_EQ(p->s.shot.timestamp, 0);
  }
}

TEST(TiffDescription, ReversedTimestampReadsLastCharacterFirst) {
  LocalZone zone("UTC-2");
  const std::string text = "2008:01:01 12:00:00";
  Parsed p(Bytes(text.rbegin(), text.rend()));
  p.s.input.Seek(0);
  ReadExifTimestamp(p.s, true);
  EXPECT_EQ(p.s.shot.timestamp, 1199181600);
}

TEST(TiffDescription, ExposureValues) {
  for (bool little : {true, false}) {
    TiffBuilder t(little);
    const auto ifd0 = t.NewIfd(), exif = t.NewIfd();
    t.ifd(ifd0)
        .Ascii(271, "Maker\nrest")
        .Ascii(272, "Model")
        .Ascii(315, "Owner")
        .PointerTo(34665, exif);
    t.ifd(exif).Rational(33434, 1, 250).SRational(37377, 8, 1);
    t.ifd(exif).Rational(33437, 28, 10).SRational(37378, 6, 1);  // ApertureValue 6: f/8
    t.ifd(exif).Short(34855, 400).Rational(37386, 50, 1);
    t.Chain({ifd0});
    auto p = ParseAt(t.Build());
    const ParseState& s = p->s;
    EXPECT_DOUBLE_EQ(s.shot.shutter, 0.00390625);
    EXPECT_FLOAT_EQ(s.shot.aperture, 8.0f);
    EXPECT_FLOAT_EQ(s.shot.iso_speed, 400.0f);
    EXPECT_FLOAT_EQ(s.shot.focal_length, 50.0f);
    EXPECT_STREQ(s.shot.make, "Maker\n");  // a line keeps its newline and ends there
    EXPECT_STREQ(s.shot.model, "Model");
    EXPECT_STREQ(s.shot.artist, "Owner");
  }
}

TEST(TiffDescription, OrientationFromFirstDirectory) {
  TiffBuilder t(true);
  const auto ifd0 = t.NewIfd(), raw_ifd = t.NewIfd();
  const auto raw = t.AddBlob(Bytes(4096, 1));
  t.ifd(ifd0).Short(274, 6).PointersTo(330, {raw_ifd});
  AddRawImage(t.ifd(raw_ifd), raw, 1000, 800);
  t.ifd(raw_ifd).Short(274, 3);
  t.Chain({ifd0});
  auto p = ParseAt(t.Build());
  EXPECT_EQ(p->s.ifd_table[1].orientation, 3);
  EXPECT_EQ(p->s.tiff_orientation, 6);  // the first directory's wins
}

// --- JPEG header probe and linearization ----------------------------------------

TEST(JpegProbe, ReadsFrameAndEndsOnBadInput) {
  const Bytes jpeg = Jpeg(120, 90);
  {
    Parsed p(jpeg);
    p.s.input.Seek(0);
    JpegFrameHeader info;
    ASSERT_TRUE(probe_jpeg_header(p.s, &info));
    EXPECT_EQ(info.precision, 8);
    EXPECT_EQ(info.width, 120);
    EXPECT_EQ(info.height, 90);
    EXPECT_EQ(info.components, 3);
  }
  const auto probe = [](Bytes bytes) {
    Parsed p(std::move(bytes));
    p.s.input.Seek(0);
    JpegFrameHeader info;
    return probe_jpeg_header(p.s, &info);
  };
  // Cut before the start of scan: the walk meets the end of the file.
  EXPECT_FALSE(probe(Bytes(jpeg.begin(), jpeg.begin() + 30)));
  EXPECT_FALSE(probe(Bytes{0xFF, 0xD8}));
  // A segment whose length runs past the end.
  EXPECT_FALSE(probe(Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x40, 0x00, 1, 2, 3}));
  // A length below 2, a marker that is no marker, and no start of image.
  EXPECT_FALSE(probe(Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01, 0xFF, 0xDA, 0, 2}));
  EXPECT_FALSE(probe(Bytes{0xFF, 0xD8, 0x12, 0x34, 0x00, 0x02, 0xFF, 0xDA, 0, 2}));
  EXPECT_FALSE(probe(Bytes{0xFF, 0xD9, 0xFF, 0xDA, 0x00, 0x02}));
  {
    // A progressive frame is no frame this probe reads: success, 0 x 0.
    Parsed p(
        Bytes{0xFF, 0xD8, 0xFF, 0xC2, 0, 11, 8, 0, 10, 0, 20, 1, 1, 0x11, 0, 0xFF, 0xDA, 0, 2});
    p.s.input.Seek(0);
    JpegFrameHeader info;
    ASSERT_TRUE(probe_jpeg_header(p.s, &info));
    EXPECT_EQ(info.width, 0);
    EXPECT_EQ(info.height, 0);
  }
}

TEST(Linearization, ATableCutShortByTheEndIsReportedOnce) {
  {
    Parsed p(Bytes{0, 10, 0, 20, 0x0F, 0xA0});
    p.s.input.Seek(0);
    SkipLinearizationTable(p.s, 3);
    EXPECT_FALSE(p.s.data_error_seen);
    EXPECT_EQ(p.s.input.Tell(), 6);
  }
  {
    // A count beyond the table's size is read that far only: guards a
    // hostile count walking the whole file.
    Parsed p(Bytes(10000, 0));
    p.s.input.Seek(0);
    SkipLinearizationTable(p.s, 0xFFFFFFFF);
    EXPECT_FALSE(p.s.data_error_seen);
    EXPECT_EQ(p.s.input.Tell(), 8192);
  }
  {
    // Three bytes for two entries, twice: one message.
    std::string messages;
    Parsed p(Bytes{1, 2, 3});
    p.s.diagnostics = [&messages](const std::string& line) { messages += line; };
    p.s.input.Seek(0);
    SkipLinearizationTable(p.s, 2);
    SkipLinearizationTable(p.s, 2);
    EXPECT_TRUE(p.s.data_error_seen);
    EXPECT_EQ(messages, "(input): Unexpected end of file\n");
  }
}

// --- Real camera files ------------------------------------------------------------

TEST(TiffSamples, PreviewsWhereTheMetadataReadersFindThem) {
  // Locations as the peer metadata readers report them for these files.
  const struct {
    const char* file;
    int64_t base;
    uint32_t width, height, offset, length;
    PreviewKind kind;
  } samples[] = {
      {"cr2/CR2.exif", 0, 2784, 1856, 42308, 296899, PreviewKind::Jpeg},
      {"jpeg/DSC_0003.JPG", 12, 570, 375, 10192, 27803, PreviewKind::Jpeg},  // Nikon preview IFD
      {"dng/canon_eos_6d.dng", 0, 1024, 683, 145584, 57901, PreviewKind::Jpeg},
      {"nef/sample.nef", 0, 160, 120, 1280, 57600, PreviewKind::PackedRgb},
      {"kdc/P003908.KDC", 0, 80, 60, 1280, 14400, PreviewKind::PackedRgb},
  };
  int found = 0;
  for (const auto& sample : samples) {
    Bytes bytes = ReadSample(sample.file);
    if (bytes.empty()) continue;
    ++found;
    auto p = ParseAt(std::move(bytes), sample.base);
    EXPECT_EQ(RulesChoice(p->s).width, sample.width) << sample.file;
    EXPECT_EQ(RulesChoice(p->s).height, sample.height) << sample.file;
    EXPECT_EQ(RulesChoice(p->s).offset, sample.offset) << sample.file;
    EXPECT_EQ(RulesChoice(p->s).length, sample.length) << sample.file;
    EXPECT_EQ(RulesChoice(p->s).kind, sample.kind) << sample.file;
  }
  if (found == 0) GTEST_SKIP() << "no samples folder";
}

TEST(TiffSamples, RawImageAndShotDescription) {
  Bytes bytes = ReadSample("nef/sample.nef");
  if (bytes.empty()) GTEST_SKIP() << "no samples folder";
  auto p = ParseAt(std::move(bytes));
  EXPECT_STREQ(p->s.shot.make, "NIKON CORPORATION");
  EXPECT_EQ(p->s.raw.raw_width, 2012);
  EXPECT_EQ(p->s.raw.raw_height, 1324);
  EXPECT_EQ(p->s.raw.bits_per_sample, 12u);
  EXPECT_EQ(p->s.raw.raw_count, 1u);
  EXPECT_FLOAT_EQ(p->s.shot.iso_speed, 200);
  EXPECT_FLOAT_EQ(p->s.shot.focal_length, 20);
}
