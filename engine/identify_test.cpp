// Format identification over whole files: signatures, headerless sizes, the
// maker and model normalisation, the raw decision and the camera rules that
// move the preview or the orientation.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/engine_test_support.h"
#include "engine/extract.h"
#include "engine/parsers.h"
#include "tests/fixtures/jpeg.h"
#include "tests/fixtures/tiff_builder.h"

using namespace engine;
using namespace engine_test;
using namespace fixtures;

namespace {

// A minimal TIFF-based camera file: IFD0 names the camera and holds the raw
// image; a sub-directory holds a JPEG through JPEGInterchangeFormat.
struct CameraTiff {
  std::string make = "NIKON CORPORATION";
  std::string model = "NIKON D200";
  uint32_t raw_width = 300;
  uint32_t raw_height = 200;
  uint16_t bits = 12;
  uint16_t compression = 1;
  int orientation = -1;           // TIFF Orientation; -1 writes none
  bool phase_one_marker = false;  // "IIII" as the value of IFD0's first entry
  Bytes raw_data = Bytes(64, 0);
  Bytes jpeg;
};

Bytes MakeCameraTiff(const CameraTiff& c) {
  TiffBuilder t(true);
  const IfdId ifd0 = t.NewIfd(), sub = t.NewIfd();
  Ifd& d = t.ifd(ifd0);
  if (c.phase_one_marker) d.Undefined(0xC6F0, Bytes{'I', 'I', 'I', 'I'});
  d.Ascii(271, c.make).Ascii(272, c.model);
  if (c.orientation >= 0) d.Short(274, static_cast<uint16_t>(c.orientation));
  const BlobId raw = t.AddBlob(c.raw_data);
  d.Long(256, c.raw_width)
      .Long(257, c.raw_height)
      .Short(258, c.bits)
      .Short(259, c.compression)
      .Short(262, 32803)
      .OffsetOf(273, raw)
      .Short(277, 1)
      .Long(279, static_cast<uint32_t>(c.raw_data.size()));
  if (!c.jpeg.empty()) {
    const BlobId jpeg = t.AddBlob(c.jpeg);
    t.ifd(sub).OffsetOf(513, jpeg).Long(514, static_cast<uint32_t>(c.jpeg.size()));
    d.PointersTo(330, {sub});
  }
  t.Chain({ifd0});
  return t.Build();
}

Bytes Headerless(size_t size) {
  return Bytes(size, 0);
}

std::string MakeOf(const Bytes& file) {
  return Identify(file)->shot.make;
}

}  // namespace

// --- Signatures -------------------------------------------------------------

TEST(IdentifySignature, TiffWrapperAroundPhaseOneMarker) {
  CameraTiff c;
  c.phase_one_marker = true;
  const Bytes wrapped = MakeCameraTiff(c);
  ASSERT_EQ(std::memcmp(&wrapped[18], "IIII", 4), 0);
  // Behind a TIFF wrapper the TIFF structure is read as well.
  EXPECT_EQ(MakeOf(wrapped), "NIKON");

  // At position 0 the marker is the Phase One header itself: the bytes are
  // not read as TIFF, even though a directory offset follows.
  Bytes bare = MakeCameraTiff(CameraTiff());
  std::memcpy(&bare[0], "IIII", 4);
  EXPECT_NE(MakeOf(bare), "NIKON");
}

TEST(IdentifySignature, CameraJpegIsNeverItsOwnPreview) {
  JpegOptions o;
  o.app = JpegApp::Exif;
  o.exif_make = "Canon";
  o.exif_model = "Canon PowerShot G9";
  const Bytes jpeg = MakeJpeg(o);
  auto s = Identify(jpeg);
  EXPECT_STREQ(s->shot.make, "Canon");
  EXPECT_STREQ(s->shot.model, "PowerShot G9");
  EXPECT_EQ(RulesChoice(*s).offset, 0u);
  EXPECT_EQ(s->raw.raw_count, 0u);
  EXPECT_FALSE(Extract(jpeg).result);

  // Raw data right after the Exif segment: the Exif block is read at 12, and
  // still no preview.
  Bytes with_data = InsertSegmentAfterSoi({0xFF, 0xD8}, 0xE1, MakeExifApp1Body("Canon", "X1"));
  with_data.resize(with_data.size() + 64, 0x11);
  s = Identify(with_data);
  EXPECT_STREQ(s->shot.make, "Canon");
  EXPECT_EQ(RulesChoice(*s).offset, 0u);

  s = Identify(Jpeg(32, 32));
  EXPECT_EQ(s->raw.raw_count, 0u);
  EXPECT_STREQ(s->shot.make, "");
}

TEST(IdentifySignature, FixedNamesFromHeaders) {
  Bytes contax(128, 0);
  std::memcpy(&contax[25], "ARECOYK", 7);
  auto s = Identify(contax);
  EXPECT_STREQ(s->shot.make, "Contax");
  EXPECT_STREQ(s->shot.model, "N Digital");

  Bytes quicktake(4096, 0);
  std::memcpy(&quicktake[0], "qktn", 4);
  s = Identify(quicktake);
  EXPECT_STREQ(s->shot.make, "Apple");
  EXPECT_STREQ(s->shot.model, "QuickTake 150");
  // The head is compared as text: "qktk" with more text after it is not one.
  std::memcpy(&quicktake[0], "qktkX", 5);
  EXPECT_STREQ(Identify(quicktake)->shot.make, "");

  Bytes logitech(512, 0);
  std::memcpy(&logitech[0], "PXN", 3);
  s = Identify(logitech);
  EXPECT_STREQ(s->shot.make, "Logitech");
  EXPECT_STREQ(s->shot.model, "Fotoman Pixtura");
}

TEST(IdentifySignature, CiffHeapStartBeyondTheFile) {
  Bytes crw(64, 0);
  std::memcpy(&crw[0], "II", 2);
  PutU32(crw, 2, 0x7FFFFFF0u, true);  // heap start far past the end
  std::memcpy(&crw[6], "HEAPCCDR", 8);
  auto s = Identify(crw);
  EXPECT_EQ(s->raw.raw_data_offset, 0x7FFFFFF0u);
  EXPECT_EQ(RulesChoice(*s).offset, 0u);
  EXPECT_EQ(s->raw.raw_count, 0u);
}

TEST(IdentifySignature, ShortFiles) {
  for (size_t size : {0, 1, 2, 5, 31}) {
    Bytes file(size, 'I');
    auto s = Identify(file);
    EXPECT_EQ(s->raw.raw_count, 0u) << size;
    EXPECT_EQ(RulesChoice(*s).offset, 0u) << size;
  }
}

// --- Headerless files -------------------------------------------------------

TEST(IdentifyHeaderless, KnownSizes) {
  auto s = Identify(Headerless(5939200));
  EXPECT_STREQ(s->shot.make, "OLYMPUS");
  EXPECT_STREQ(s->shot.model, "C770UZ");

  s = Identify(Headerless(311696));
  EXPECT_STREQ(s->shot.make, "ST Micro");
  EXPECT_STREQ(s->shot.model, "STV680 VGA");
  EXPECT_EQ(s->shot.orientation, 2);

  // The table is consulted only when no header was recognised.
  Bytes tiff = MakeCameraTiff(CameraTiff());
  tiff.resize(5939200, 0);
  s = Identify(tiff);
  EXPECT_STREQ(s->shot.make, "NIKON");
  EXPECT_STREQ(s->shot.model, "D200");

  EXPECT_STREQ(Identify(Headerless(5939201))->shot.make, "");
}

TEST(IdentifyHeaderless, KodakDcs200ThumbnailIsNoJpeg) {
  auto s = Identify(Headerless(1652736));
  EXPECT_STREQ(s->shot.make, "Kodak");
  EXPECT_STREQ(s->shot.model, "DCS200");
  EXPECT_EQ(RulesChoice(*s).offset, 6144u);
  EXPECT_EQ(RulesChoice(*s).kind, PreviewKind::Layered);
}

TEST(IdentifyHeaderless, DataTellsSameSizedCamerasApart) {
  Bytes a610 = Headerless(6573120);
  EXPECT_STREQ(Identify(a610)->shot.model, "PowerShot A610");
  a610[3284 + 3340 * 7] = 16;
  EXPECT_STREQ(Identify(a610)->shot.model, "PowerShot S2 IS");

  Bytes e990 = Headerless(4771840);
  EXPECT_STREQ(Identify(e990)->shot.model, "E990");
  for (size_t i = 0; i < 2000; ++i)
    e990[e990.size() - 2000 + i] = static_cast<uint8_t>((i % 4) * 0x55);
  EXPECT_STREQ(Identify(e990)->shot.model, "E995");

  Bytes e2100 = Headerless(2940928);
  EXPECT_STREQ(Identify(e2100)->shot.model, "E2500");
  for (size_t g = 0; g < 1024; ++g) {
    uint8_t* b = &e2100[g * 12];
    b[1] = b[6] = b[8] = b[11] = 0x03;
    b[2] = b[4] = b[7] = b[9] = 0x30;
  }
  EXPECT_STREQ(Identify(e2100)->shot.model, "E2100");

  Bytes shared = Headerless(4775936);
  auto s = Identify(shared);  // code 0
  EXPECT_STREQ(s->shot.make, "PENTAX");
  EXPECT_STREQ(s->shot.model, "Optio 33WR");
  EXPECT_EQ(s->shot.orientation, 1);
  shared[3072 + 8] = 3;
  shared[3072 + 20] = 3;  // code 51
  s = Identify(shared);
  EXPECT_STREQ(s->shot.make, "OLYMPUS");
  EXPECT_STREQ(s->shot.model, "C740UZ");
  EXPECT_EQ(s->shot.orientation, 0);
  shared[3072 + 20] = 2;  // code 50
  EXPECT_STREQ(Identify(shared)->shot.model, "E3700");
  shared[3072 + 8] = 1;  // code 18: no camera of that code
  EXPECT_STREQ(Identify(shared)->shot.model, "E3700");

  Bytes z2 = Headerless(5869568);
  EXPECT_STREQ(Identify(z2)->shot.model, "E4300");
  z2[z2.size() - 100] = 1;
  s = Identify(z2);
  EXPECT_STREQ(s->shot.make, "Minolta");
  EXPECT_STREQ(s->shot.model, "DiMAGE Z2");
}

TEST(IdentifyHeaderless, ByteOrderOfUnmarkedSamples) {
  // Smoothly rising 16-bit samples at 0x300000 in one order or the other.
  Bytes file = Headerless(6291456);
  for (size_t i = 0; i < 4096; i += 2) {
    const uint16_t v = static_cast<uint16_t>(1000 + i);
    file[0x300000 + i] = static_cast<uint8_t>(v);
    file[0x300000 + i + 1] = static_cast<uint8_t>(v >> 8);
  }
  EXPECT_STREQ(Identify(file)->shot.make, "RoverShot");
  for (size_t i = 0; i < 4096; i += 2) std::swap(file[0x300000 + i], file[0x300000 + i + 1]);
  auto s = Identify(file);
  EXPECT_STREQ(s->shot.make, "ISG");
  EXPECT_EQ(s->byte_order, 0x4D4D);
}

// --- Make and model ---------------------------------------------------------

TEST(IdentifyNames, MakeAndModelNormalisation) {
  struct Case {
    const char *make, *model, *want_make, *want_model;
  } cases[] = {
      {"NIKON CORPORATION", "NIKON D200", "NIKON", "D200"},
      {"KONICA MINOLTA", "DYNAX 7D", "MINOLTA", "DYNAX 7D"},
      {"Eastman Kodak Company", "DCS Pro 14N", "Kodak", "DCS Pro 14N"},
      {"Canon", "Canon EOS 350D DIGITAL", "Canon", "EOS 350D DIGITAL"},
      {"KONICA", "Digital Camera KD-400Z", "KONICA", "KD-400Z"},
      {"OLYMPUS OPTICAL CO.,LTD", "E-500   ", "OLYMPUS", "E-500"},
      {"SONY ", "sony DSLR-A100", "SONY", "DSLR-A100"},  // prefix compared without case
      {"Canon", "CanonEOS", "Canon", "CanonEOS"},        // no blank after the make
      // KODAK names are cut at 16 characters before the make is removed.
      {"EASTMAN KODAK COMPANY", "KODAK DCS560C 123456789", "KODAK", "DCS560C 12"},
  };
  for (const Case& c : cases) {
    CameraTiff tiff;
    tiff.make = c.make;
    tiff.model = c.model;
    auto s = Identify(MakeCameraTiff(tiff));
    EXPECT_STREQ(s->shot.make, c.want_make) << c.make;
    EXPECT_STREQ(s->shot.model, c.want_model) << c.model;
  }
}

// --- The raw decision -------------------------------------------------------

TEST(IdentifyRaw, ImageHeightAndDecoderDecide) {
  CameraTiff c;
  c.jpeg = Jpeg(96, 64);
  c.raw_height = 22;
  EXPECT_EQ(Identify(MakeCameraTiff(c))->raw.raw_count, 1u);
  EXPECT_TRUE(Extract(MakeCameraTiff(c)).result);
  c.raw_height = 21;
  auto s = Identify(MakeCameraTiff(c));
  EXPECT_EQ(s->raw.raw_count, 0u);
  EXPECT_NE(RulesChoice(*s).offset, 0u);  // located, but the file is not raw
  EXPECT_FALSE(Extract(MakeCameraTiff(c)).result);

  // Nikon's compressed code names no decoder for other makers.
  c.raw_height = 200;
  c.make = "FooCam";
  c.compression = 34713;
  s = Identify(MakeCameraTiff(c));
  EXPECT_EQ(s->raw.raw_decoder, RawDecoder::None);
  EXPECT_EQ(s->raw.raw_count, 0u);
  EXPECT_FALSE(Extract(MakeCameraTiff(c)).result);
}

TEST(IdentifyRaw, MakerDecoders) {
  CameraTiff c;
  c.make = "Canon";
  c.model = "Canon EOS 20D";
  EXPECT_EQ(Identify(MakeCameraTiff(c))->raw.raw_decoder, RawDecoder::LosslessJpeg);

  // The D100 marks uncompressed data with the compressed code; its data
  // tells: zero bytes at the end of every 16-byte group.
  c.make = "NIKON";
  c.model = "D100";
  c.compression = 34713;
  c.raw_data = Bytes(256, 0x40);
  for (size_t i = 15; i < 256; i += 16) c.raw_data[i] = 0;
  EXPECT_EQ(Identify(MakeCameraTiff(c))->raw.raw_decoder, RawDecoder::NikonUncompressed);
  c.raw_data[255] = 1;
  EXPECT_EQ(Identify(MakeCameraTiff(c))->raw.raw_decoder, RawDecoder::NikonCompressed);
  c.model = "D200";
  c.raw_data = Bytes(256, 0);
  EXPECT_EQ(Identify(MakeCameraTiff(c))->raw.raw_decoder, RawDecoder::NikonCompressed);
  c.compression = 1;
  EXPECT_EQ(Identify(MakeCameraTiff(c))->raw.raw_decoder, RawDecoder::NikonUncompressed);
}

TEST(IdentifyRaw, KodakJpegCompressedDataIsNotRaw) {
  CameraTiff c;
  c.make = "EASTMAN KODAK COMPANY";
  c.model = "KODAK DC120 ZOOM DIGITAL CAMERA";
  c.bits = 8;
  c.jpeg = Jpeg(96, 64);
  c.compression = 7;
  auto s = Identify(MakeCameraTiff(c));
  EXPECT_EQ(s->raw.raw_decoder, RawDecoder::KodakJpegCompressed);
  EXPECT_EQ(s->raw.raw_count, 0u);
  EXPECT_FALSE(Extract(MakeCameraTiff(c)).result);
  c.compression = 1;
  EXPECT_TRUE(Extract(MakeCameraTiff(c)).result);
}

// --- Preview and orientation rules -------------------------------------------

TEST(IdentifyRules, Sp550uzPreviewAtFixedOffset) {
  CameraTiff c;
  c.make = "OLYMPUS IMAGING CORP.";
  c.model = "SP550UZ";
  c.jpeg = Jpeg(96, 64);
  Bytes file = MakeCameraTiff(c);
  // Shorter than the fixed offset: no preview at all, not the TIFF one.
  auto s = Identify(file);
  EXPECT_EQ(RulesChoice(*s).offset, 0u);
  EXPECT_FALSE(Extract(file).result);
  file.resize(10721280, 0);
  EXPECT_FALSE(Extract(file).result);  // ends exactly at the offset

  const Bytes preview = Jpeg(64, 48, 1, JpegApp::Exif);
  file.insert(file.end(), preview.begin(), preview.end());
  s = Identify(file);
  EXPECT_EQ(RulesChoice(*s).offset, 10721280u);
  EXPECT_EQ(RulesChoice(*s).length, preview.size());
  EXPECT_EQ(RulesChoice(*s).width, 640);
  EXPECT_EQ(RulesChoice(*s).height, 480);
  EXPECT_TRUE(Extract(file).result);
}

TEST(IdentifyRules, OrientationDefaultsAndCameraRules) {
  CameraTiff c;
  EXPECT_EQ(Identify(MakeCameraTiff(c))->shot.orientation, 0);
  c.orientation = 6;
  EXPECT_EQ(Identify(MakeCameraTiff(c))->shot.orientation, 6);
  c.orientation = 8;
  EXPECT_EQ(Identify(MakeCameraTiff(c))->shot.orientation, 5);

  // Not raw: the default still applies.
  c.raw_height = 10;
  EXPECT_EQ(Identify(MakeCameraTiff(c))->shot.orientation, 5);

  // The S2 Pro's model text gains its blank, and its frame is turned.
  c = CameraTiff();
  c.make = "FUJIFILM";
  c.model = "FinePixS2Pro";
  auto s = Identify(MakeCameraTiff(c));
  EXPECT_STREQ(s->shot.model, "FinePix S2Pro");
  EXPECT_EQ(s->shot.orientation, 6);
  c.model = "FinePix S3Pro";
  EXPECT_EQ(Identify(MakeCameraTiff(c))->shot.orientation, 0);
}

TEST(IdentifyRules, PreviewSizeProbedWhenUnknown) {
  CameraTiff c;
  c.jpeg = Jpeg(120, 90);
  auto s = Identify(MakeCameraTiff(c));
  EXPECT_EQ(RulesChoice(*s).width, 120);
  EXPECT_EQ(RulesChoice(*s).height, 90);
  EXPECT_EQ(RulesChoice(*s).kind, PreviewKind::Jpeg);
}
