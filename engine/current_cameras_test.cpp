// Files of later cameras: each yields its largest complete JPEG, and the
// files the original rules decided keep their outcome.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine_test_support.h"
#include "engine/parsers.h"
#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/fuji_minolta_builder.h"
#include "tests/fixtures/jpeg.h"
#include "tests/fixtures/tiff_builder.h"

using namespace engine;
using namespace engine_test;
using namespace fixtures;

namespace {

constexpr size_t kMakeAt = 12 + 892;   // make text in a synthesized header
constexpr size_t kModelAt = 12 + 956;  // model text

ShotInfo Shot(const std::string& make, const std::string& model, uint16_t orientation = 1) {
  ShotInfo shot{make, model};
  shot.orientation = orientation;
  return shot;
}

// The preview as stored, after a synthesized Exif segment.
void ExpectPreviewWithSynthesizedExif(const Extraction& e, const Bytes& jpeg,
                                      const std::string& make) {
  ASSERT_TRUE(e.result) << NoPreviewReasonText(e.reason);
  ASSERT_EQ(e.jpeg.size(), jpeg.size() + kExifSegmentSize);
  EXPECT_TRUE(std::equal(jpeg.begin() + 2, jpeg.end(), e.jpeg.begin() + 2 + kExifSegmentSize));
  EXPECT_EQ(TextAt(e.jpeg, kMakeAt), make);
}

// The Exif orientation value written into a synthesized header (II or MM).
int SynthesizedOrientation(const Bytes& jpeg) {
  const bool little = jpeg[12] == 'I';
  const size_t entry = 12 + 10 + 2 + 3 * 12 + 8;  // IFD0's fourth entry, its value
  return little ? jpeg[entry] | (jpeg[entry + 1] << 8) : (jpeg[entry] << 8) | jpeg[entry + 1];
}

}  // namespace

// --- Raw compressions of later cameras -------------------------------------

TEST(LaterRawCompressions, SonyArwGivesItsPreviewWithTheCameraInTheHeader) {
  for (uint16_t compression : {32767, 7, 1}) {
    SCOPED_TRACE(compression);
    const Bytes preview = Jpeg(1616, 1080, 4);
    PreviewPlacement at;
    const Bytes file = MakeArwLike(Shot("SONY", "SLT-A55V", 6), preview, compression, nullptr, &at);
    const Identified id(file);
    EXPECT_NE(id.s.raw.raw_count, 0u);
    EXPECT_EQ(RulesChoice(id.s).offset, at.offset);
    const Extraction e = id.Extract();
    ExpectPreviewWithSynthesizedExif(e, preview, "SONY");
    EXPECT_EQ(TextAt(e.jpeg, kModelAt), "SLT-A55V");
    EXPECT_EQ(SynthesizedOrientation(e.jpeg), 6);
  }
}

TEST(LaterRawCompressions, ArwWithAFullSizeJpegDirectoryGivesThatJpeg) {
  const Bytes preview = Jpeg(1616, 1080, 4);
  const Bytes full = Jpeg(3504, 2336, 5);
  PreviewPlacement at;
  const Bytes file = MakeArwLike(Shot("SONY", "ILCE-7M4"), preview, 7, &full, &at);
  EXPECT_EQ(RulesChoice(*Identify(file)).offset, at.offset);
  ExpectPreviewWithSynthesizedExif(Extract(file), full, "SONY");
}

TEST(LaterRawCompressions, SamsungNikonAndLossyDngRawDataCountAsRaw) {
  const Bytes jpeg = Jpeg(1200, 800, 6);
  for (uint16_t compression : {32769, 32770, 32772, 32773}) {
    SCOPED_TRACE(compression);
    ExpectPreviewWithSynthesizedExif(
        Extract(MakeSrwLike(Shot("SAMSUNG", "NX1"), jpeg, compression)), jpeg, "SAMSUNG");
  }
  // Nikon Z bodies (34713) and High Efficiency raw data, whose TIFF
  // compression no rule lists: a NIKON file with its JPEG is never refused.
  for (uint16_t compression : {34713, 34892, 13}) {
    SCOPED_TRACE(compression);
    ExpectPreviewWithSynthesizedExif(
        Extract(
            MakeNefWithRawCompression(Shot("NIKON CORPORATION", "NIKON Z 9"), jpeg, compression)),
        jpeg, "NIKON");
  }
  const Bytes thumbnail = Jpeg(1024, 683, 7);
  ExpectPreviewWithSynthesizedExif(
      Extract(MakeJpegXlDngLike(Shot("Leica Camera AG", "LEICA M11"), 34892, &thumbnail)),
      thumbnail, "Leica Camera AG");
}

TEST(LaterRawCompressions, AnUnknownCompressionOfAnotherMakerIsStillNoRaw) {
  const Bytes jpeg = Jpeg(1200, 800, 6);
  const Extraction e = Extract(MakeSrwLike(Shot("SAMSUNG", "NX1"), jpeg, 32771));
  EXPECT_FALSE(e.result);
  EXPECT_EQ(e.reason, NoPreviewReason::kNoRawImage);
}

TEST(LaterRawCompressions, GoProRawHasNoJpegAndSaysSo) {
  const Bytes file = MakeGprLike(Shot("GoPro", "HERO7 Black"));
  EXPECT_NE(Identify(file)->raw.raw_count, 0u);
  const Extraction e = Extract(file);
  EXPECT_FALSE(e.result);
  EXPECT_EQ(e.reason, NoPreviewReason::kNoPreview);
}

// --- Panasonic RW2 / Leica RWL --------------------------------------------

TEST(PanasonicRaw, JpgFromRawIsReturnedAsStoredWhateverTheSensorSize) {
  JpegOptions o;
  o.width = 1920;
  o.height = 1440;
  o.app = JpegApp::Exif;
  o.exif_make = "Panasonic";
  const Bytes jpeg = MakeJpeg(o);
  // 3724 is in no list of known widths, 5776 is a current sensor.
  for (uint16_t width : {3724, 5776}) {
    for (const char* make : {"Panasonic", "LEICA"}) {
      SCOPED_TRACE(std::string(make) + " " + std::to_string(width));
      PreviewPlacement at;
      const Bytes file = MakeRw2Like(Shot(make, "DC-S5"), jpeg, &at, width, 2754);
      const Identified id(file);
      EXPECT_NE(id.s.raw.raw_count, 0u);
      EXPECT_EQ(RulesChoice(id.s).offset, at.offset);
      EXPECT_EQ(RulesChoice(id.s).length, at.length);
      EXPECT_EQ(RulesChoice(id.s).width, 1920);
      const Extraction e = id.Extract();
      ASSERT_TRUE(e.result);
      EXPECT_EQ(e.jpeg, jpeg);  // its own Exif carries the orientation
    }
  }
}

TEST(PanasonicRaw, JpgFromRawTagOnlyCountsInPanasonicsVariant) {
  // Tag 0x2E in an ordinary TIFF raw file is nobody's preview.
  TiffBuilder t(true);
  const IfdId ifd0 = t.NewIfd();
  const Bytes jpeg = Jpeg(640, 480, 8);
  const BlobId blob = t.AddBlob(jpeg);
  t.ifd(ifd0)
      .Ascii(271, "NIKON CORPORATION")
      .Ascii(272, "NIKON D200")
      .BlobValue(0x002E, 7, static_cast<uint32_t>(jpeg.size()), blob);
  t.Chain({ifd0});
  const Bytes file = t.Build();
  EXPECT_EQ(RulesChoice(*Identify(file)).offset, 0u);
  EXPECT_FALSE(Extract(file).result);
}

TEST(PanasonicRaw, JpgFromRawCountPastTheFileGivesNothing) {
  // Guards against reading or allocating by a length the file does not have.
  const Bytes jpeg = Jpeg(320, 240, 9, JpegApp::Exif);
  PreviewPlacement at;
  Bytes file = MakeRw2Like(Shot("Panasonic", "DC-G9"), jpeg, &at);
  // Find the 0x2E entry of IFD0 and give it a count of 0xFFFFFFF0.
  const size_t ifd0 = file[4] | (file[5] << 8);
  bool found = false;
  for (size_t i = ifd0 + 2; i + 12 <= file.size() && !found; i += 12) {
    if (file[i] == 0x2E && file[i + 1] == 0) {
      PutU32(file, i + 4, 0xFFFFFFF0u, true);
      found = true;
    }
  }
  ASSERT_TRUE(found);
  const Extraction e = Extract(file);
  EXPECT_FALSE(e.result);
  EXPECT_EQ(e.reason, NoPreviewReason::kPreviewOutsideFile);
}

// --- DNG of phones and later converters ------------------------------------

TEST(LaterDng, ProRawFullSizePreviewInIfd0IsThePreviewNotTheRaw) {
  const Bytes jpeg = Jpeg(1008, 756, 10, JpegApp::Exif);
  PreviewPlacement at;
  const Bytes file = MakeProRawDngLike(Shot("Apple", "iPhone 12 Pro", 6), jpeg, &at);
  const Identified id(file);
  EXPECT_NE(id.s.raw.raw_count, 0u);
  EXPECT_EQ(id.s.raw.raw_width, 1008);  // the tiled linear raw of the same size
  EXPECT_EQ(id.s.raw.compression, 7u);
  EXPECT_EQ(RulesChoice(id.s).offset, at.offset);
  const Extraction e = id.Extract();
  ASSERT_TRUE(e.result);
  EXPECT_EQ(e.jpeg, jpeg);
}

TEST(LaterDng, LeicaSubIfdPreviewsGiveTheLargest) {
  const Bytes large = Jpeg(1488, 992, 11), medium = Jpeg(720, 480, 12), small = Jpeg(160, 120, 13);
  PreviewPlacement at;
  const Bytes file =
      MakeLeicaDngLike(Shot("Leica Camera AG", "LEICA M10"), large, medium, small, &at);
  EXPECT_EQ(RulesChoice(*Identify(file)).offset, at.offset);
  ExpectPreviewWithSynthesizedExif(Extract(file), large, "Leica Camera AG");
}

TEST(LaterDng, JpegXlPreviewIsPassedOverForTheLargestJpegOrGivesNothing) {
  const Bytes jpeg = Jpeg(1024, 683, 14);
  PreviewPlacement at;
  const Bytes with_jpeg =
      MakeJpegXlDngLike(Shot("Leica Camera AG", "LEICA M11"), 52546, &jpeg, &at);
  const Identified id(with_jpeg);
  EXPECT_NE(id.s.raw.raw_count, 0u);
  EXPECT_EQ(RulesChoice(id.s).offset, at.offset);
  ExpectPreviewWithSynthesizedExif(id.Extract(), jpeg, "Leica Camera AG");

  const Extraction none =
      Extract(MakeJpegXlDngLike(Shot("Leica Camera AG", "LEICA M11"), 52546, nullptr));
  EXPECT_FALSE(none.result);
  EXPECT_EQ(none.reason, NoPreviewReason::kJpegXlPreviewOnly);
}

TEST(LaterDng, ConvertedFilesStayConverted) {
  ShotInfo shot = Shot("Apple", "iPhone 12 Pro");
  shot.software = "Adobe Lightroom 13.0";
  const Extraction e = Extract(MakeProRawDngLike(shot, Jpeg(640, 480, 15)));
  EXPECT_FALSE(e.result);
  EXPECT_EQ(e.reason, NoPreviewReason::kConvertedFile);
}

// --- Maker notes recognised by their header --------------------------------

TEST(LaterMakerNotes, PentaxNotePreviewWhenTheFullJpegIsMissing) {
  const Bytes note_preview = Jpeg(720, 480, 16);
  for (bool little : {false, true}) {
    SCOPED_TRACE(little);
    PreviewPlacement note_at;
    const Bytes file = MakeRicohPefLike(Shot("RICOH IMAGING COMPANY, LTD.", "PENTAX K-3 II"),
                                        nullptr, note_preview, little, nullptr, &note_at);
    const Identified id(file);
    EXPECT_EQ(RulesChoice(id.s).offset, note_at.offset);
    EXPECT_EQ(RulesChoice(id.s).length, note_at.length);
    ExpectPreviewWithSynthesizedExif(id.Extract(), note_preview, "RICOH IMAGING COMPANY, LTD.");
  }
}

TEST(LaterMakerNotes, PentaxFullJpegStillBeatsTheNotePreview) {
  const Bytes full = Jpeg(3008, 2000, 17), note_preview = Jpeg(720, 480, 16);
  PreviewPlacement full_at;
  const Bytes file = MakeRicohPefLike(Shot("RICOH IMAGING COMPANY, LTD.", "PENTAX K-1"), &full,
                                      note_preview, false, &full_at, nullptr);
  EXPECT_EQ(RulesChoice(*Identify(file)).offset, full_at.offset);
  ExpectPreviewWithSynthesizedExif(Extract(file), full, "RICOH IMAGING COMPANY, LTD.");
}

TEST(LaterMakerNotes, PentaxNoteWithoutAnOrderMarkIsNotReadAsOne) {
  // Guards against taking a garbled header's directory as a preview source.
  const Bytes note_preview = Jpeg(720, 480, 16);
  PreviewPlacement note_at;
  Bytes file = MakeRicohPefLike(Shot("RICOH IMAGING COMPANY, LTD.", "PENTAX K-3 II"), nullptr,
                                note_preview, false, nullptr, &note_at);
  const size_t mark = note_at.offset - (10 + 2 + 4 * 12 + 4) + 8;
  ASSERT_EQ(file[mark], 'M');
  file[mark] = 'X';
  EXPECT_NE(RulesChoice(*Identify(file)).offset, note_at.offset);
}

TEST(LaterMakerNotes, OmSystemNoteGivesThePreview) {
  const Bytes jpeg = Jpeg(1600, 1200, 18);
  PreviewPlacement at;
  const Bytes file = MakeOmSystemOrfLike(Shot("OM Digital Solutions", "OM-1", 8), jpeg, &at);
  const Identified id(file);
  EXPECT_EQ(RulesChoice(id.s).offset, at.offset);
  const Extraction e = id.Extract();
  ExpectPreviewWithSynthesizedExif(e, jpeg, "OM Digital Solutions");
  EXPECT_EQ(SynthesizedOrientation(e.jpeg), 8);
}

TEST(LaterMakerNotes, OmSystemNoteCutShortEndsWithNothing) {
  // Guards against walking a maker-note directory past the end of the file.
  const Bytes jpeg = Jpeg(1600, 1200, 18);
  PreviewPlacement at;
  const Bytes file = MakeOmSystemOrfLike(Shot("OM Digital Solutions", "OM-5"), jpeg, &at);
  for (size_t cut : {at.offset - 40, at.offset - 20, at.offset + 100}) {
    const Extraction e = Extract(Bytes(file.begin(), file.begin() + cut));
    EXPECT_FALSE(e.result) << cut;
  }
}

// --- RAF of X and GFX bodies ------------------------------------------------

namespace {

// A JPEG whose own Exif names the camera and holds a 160x120 thumbnail in
// IFD1, as a RAF's header JPEG does.
Bytes HeaderJpeg(int width, int height, const std::string& model) {
  const Bytes thumbnail = Jpeg(160, 120, 19);
  TiffBuilder t(false);
  const IfdId ifd0 = t.NewIfd(), ifd1 = t.NewIfd();
  const BlobId blob = t.AddBlob(thumbnail);
  t.ifd(ifd0).Ascii(271, "FUJIFILM").Ascii(272, model).Short(274, 1);
  t.ifd(ifd1).Short(259, 6).OffsetOf(513, blob).Long(514, static_cast<uint32_t>(thumbnail.size()));
  t.Chain({ifd0, ifd1});
  Bytes body{'E', 'x', 'i', 'f', 0, 0};
  const Bytes tiff = t.Build();
  body.insert(body.end(), tiff.begin(), tiff.end());
  return InsertSegmentAfterSoi(StripAppSegments(Jpeg(width, height, 20)), 0xE1, body);
}

RafOptions Raf(const std::string& model, int width, int height) {
  RafOptions o;
  o.jpeg = HeaderJpeg(width, height, model);
  o.directory = {RafSize(0x100, 3296, 4992), RafSize(0x121, 3264, 4896)};
  return o;
}

}  // namespace

TEST(LaterRaf, XAndGfxBodiesAreRawAndGiveTheHeaderJpeg) {
  for (const char* model : {"X-T1", "X100V", "GFX 100S"}) {
    SCOPED_TRACE(model);
    const RafOptions o = Raf(model, 1920, 1280);
    const Bytes file = MakeRafFile(o);
    const Identified id(file);
    EXPECT_STREQ(id.s.shot.model, model);
    EXPECT_NE(id.s.raw.raw_count, 0u);
    const Extraction e = id.Extract();
    ASSERT_TRUE(e.result) << NoPreviewReasonText(e.reason);
    EXPECT_EQ(e.jpeg, o.jpeg);
  }
}

TEST(LaterRaf, HeaderJpegWinsOverItsOwnThumbnailOnlyForLaterBodies) {
  // A header JPEG smaller than its Exif thumbnail: a FinePix keeps the
  // original choice (the thumbnail), an X body gives the header JPEG.
  const RafOptions finepix = Raf("FinePix S5Pro", 8, 8);
  const Extraction old_rule = Extract(MakeRafFile(finepix));
  ASSERT_TRUE(old_rule.result);
  EXPECT_NE(old_rule.jpeg, finepix.jpeg);
  const RafOptions x = Raf("X-E2", 8, 8);
  const Extraction later = Extract(MakeRafFile(x));
  ASSERT_TRUE(later.result);
  EXPECT_EQ(later.jpeg, x.jpeg);
}

TEST(LaterRaf, HeaderOffsetsPastTheFileGiveNothing) {
  // Guards against reading a preview the header places beyond the end.
  RafOptions o = Raf("X-T3", 640, 480);
  o.preview_length = 0x7FFFFFFF;
  EXPECT_FALSE(Extract(MakeRafFile(o)).result);
  o = Raf("X-T3", 640, 480);
  o.preview_offset = 0xFFFFFF00;
  EXPECT_FALSE(Extract(MakeRafFile(o)).result);
}

// --- Other containers of later cameras --------------------------------------

TEST(LaterContainers, NrwSr2OriAndIiqGiveTheirLargestJpeg) {
  const Bytes jpeg = Jpeg(1280, 960, 21);
  ExpectPreviewWithSynthesizedExif(
      Extract(MakeNefLike(Shot("NIKON CORPORATION", "COOLPIX P7800"), jpeg)), jpeg, "NIKON");
  ExpectPreviewWithSynthesizedExif(Extract(MakeArwLike(Shot("SONY", "DSC-R1"), jpeg, 32767)), jpeg,
                                   "SONY");
  ExpectPreviewWithSynthesizedExif(
      Extract(MakeOrfLike(Shot("OLYMPUS CORPORATION", "E-M1MarkIII"), jpeg)), jpeg, "OLYMPUS");
  PreviewPlacement at;
  const Bytes iiq = MakeIiqLike(Shot("Phase One", "IQ4 150MP"), jpeg, &at);
  EXPECT_EQ(RulesChoice(*Identify(iiq)).offset, at.offset);
  ExpectPreviewWithSynthesizedExif(Extract(iiq), jpeg, "Phase One");
}
