// Canon CR3: the box walk, the choice among the three JPEGs, the metadata
// boxes and what reaches the synthesized Exif header.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "engine/engine_test_support.h"
#include "engine/parsers.h"
#include "tests/fixtures/cr3_builder.h"
#include "tests/fixtures/jpeg.h"

using namespace engine;
using namespace engine_test;
using namespace fixtures;

namespace {

constexpr size_t kBlock = 12;  // the synthesized TIFF block starts after the APP1 header

// The three JPEGs at the sizes an EOS R6 states for them; the payloads
// themselves are small real JPEGs without an Exif segment.
Cr3Options ThreeJpegs() {
  Cr3Options o;
  o.track_jpeg = {Jpeg(64, 48, 1, JpegApp::None), 6000, 4000};
  o.preview = {Jpeg(48, 32, 2, JpegApp::None), 1620, 1080};
  o.thumbnail = {Jpeg(16, 12, 3, JpegApp::None), 160, 120};
  return o;
}

// The file parsed by the CR3 walk alone, as identification hands it over.
struct Cr3 : Parsed {
  explicit Cr3(Bytes b) : Parsed(std::move(b)) { ParseCr3File(s); }
};

std::unique_ptr<Cr3> ParseCr3(const Cr3Options& o, Cr3Layout* layout = nullptr) {
  return std::make_unique<Cr3>(MakeCr3File(o, layout));
}

uint32_t HostU32(const Bytes& b, size_t at) {
  uint32_t v = 0;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

uint16_t HostU16(const Bytes& b, size_t at) {
  uint16_t v = 0;
  std::memcpy(&v, b.data() + at, 2);
  return v;
}

}  // namespace

// --- The preview choice ---

TEST(Cr3Preview, LargestStatedSizeWinsAndTiesGoToTheEarlierCandidate) {
  Cr3Options o = ThreeJpegs();
  Cr3Layout l;
  auto p = ParseCr3(o, &l);
  EXPECT_EQ(RulesChoice(p->s).offset, l.track_jpeg_offset);
  EXPECT_EQ(RulesChoice(p->s).length, o.track_jpeg.jpeg.size());
  EXPECT_EQ(RulesChoice(p->s).width, 6000);
  EXPECT_EQ(RulesChoice(p->s).height, 4000);
  EXPECT_EQ(RulesChoice(p->s).kind, PreviewKind::Jpeg);
  EXPECT_TRUE(std::equal(o.track_jpeg.jpeg.begin(), o.track_jpeg.jpeg.end(),
                         p->bytes.begin() + RulesChoice(p->s).offset));

  // The sizes the container states decide, not the JPEGs' own; PRVW's length
  // is its length field, not the padded box.
  o.preview.width = 7000;
  o.preview.height = 5000;
  p = ParseCr3(o, &l);
  EXPECT_EQ(RulesChoice(p->s).offset, l.preview_offset);
  EXPECT_EQ(RulesChoice(p->s).length, o.preview.jpeg.size());
  EXPECT_EQ(RulesChoice(p->s).width, 7000);

  // Equal areas: the track JPEG before PRVW, PRVW before THMB.
  o.preview.width = 4000;
  o.preview.height = 6000;
  p = ParseCr3(o, &l);
  EXPECT_EQ(RulesChoice(p->s).offset, l.track_jpeg_offset);
  o.track_jpeg.jpeg.clear();
  o.thumbnail.width = 6000;
  o.thumbnail.height = 4000;
  p = ParseCr3(o, &l);
  EXPECT_EQ(RulesChoice(p->s).offset, l.preview_offset);
  o.preview.jpeg.clear();
  p = ParseCr3(o, &l);
  EXPECT_EQ(RulesChoice(p->s).offset, l.thumbnail_offset);
  EXPECT_EQ(RulesChoice(p->s).length, o.thumbnail.jpeg.size());
}

TEST(Cr3Preview, OnlyCandidatesWhollyInTheFileCount) {
  const Cr3Options o = ThreeJpegs();
  Cr3Layout l;
  const Bytes whole = MakeCr3File(o, &l);
  // The track JPEG one byte short (mdat cut): PRVW is the largest left.
  const size_t track_end = l.track_jpeg_offset + o.track_jpeg.jpeg.size();
  Cr3 cut_track(Bytes(whole.begin(), whole.begin() + static_cast<long>(track_end - 1)));
  EXPECT_EQ(RulesChoice(cut_track.s).offset, l.preview_offset);
  Cr3 whole_track(Bytes(whole.begin(), whole.begin() + static_cast<long>(track_end)));
  EXPECT_EQ(RulesChoice(whole_track.s).offset, l.track_jpeg_offset);
  // Cut inside the preview box: the box runs past the file and is not read.
  Cr3 cut_preview(Bytes(whole.begin(), whole.begin() + l.preview_offset + 10));
  EXPECT_EQ(RulesChoice(cut_preview.s).offset, l.thumbnail_offset);

  // None at all: no preview, but still a raw file of its size.
  Cr3Options none = o;
  none.track_jpeg.jpeg.clear();
  none.preview.jpeg.clear();
  none.thumbnail.jpeg.clear();
  auto p = ParseCr3(none);
  EXPECT_EQ(RulesChoice(p->s).offset, 0u);
  EXPECT_EQ(RulesChoice(p->s).length, 0u);
  EXPECT_TRUE(p->s.raw.raw_by_container);
  EXPECT_FALSE(Extract(p->bytes).result);
}

TEST(Cr3Preview, JpegTrackIsKnownByItsJpegChildAndRawSizeByTheLargestRawTrack) {
  Cr3Options o = ThreeJpegs();
  o.jpeg_track_last = true;  // the raw tracks come first
  o.small_raw_width = 7000;  // wider, but the smaller area
  o.small_raw_height = 100;
  Cr3Layout l;
  auto p = ParseCr3(o, &l);
  EXPECT_EQ(RulesChoice(p->s).offset, l.track_jpeg_offset);
  EXPECT_EQ(RulesChoice(p->s).width, 6000);
  EXPECT_TRUE(p->s.raw.raw_by_container);
  EXPECT_EQ(p->s.raw.raw_width, 6000);
  EXPECT_EQ(p->s.raw.raw_height, 4000);
  EXPECT_EQ(p->s.raw.image_width, 6000);
  EXPECT_EQ(p->s.raw.image_height, 4000);

  // A track whose CRAW entry has no JPEG child is raw, whatever its size.
  Bytes file = MakeCr3File(o, &l);
  const uint32_t jpeg_child = l.boxes["trak3/CRAW"] + 90;
  ASSERT_EQ(TextAt(file, jpeg_child + 4).substr(0, 4), "JPEG");
  std::memcpy(&file[jpeg_child + 4], "CMP1", 4);
  Cr3 renamed(file);
  EXPECT_EQ(RulesChoice(renamed.s).offset, l.preview_offset);
  EXPECT_EQ(renamed.s.raw.raw_width, 6000);
}

// --- Box forms ---

TEST(Cr3Boxes, OffsetTableAndSizeFormsFindTheSameJpeg) {
  struct Form {
    const char* what;
    void (*apply)(Cr3Options&);
  };
  const Form forms[] = {
      {"co64 and a sample size table", [](Cr3Options&) {}},
      {"stco", [](Cr3Options& o) { o.stco = true; }},
      {"uniform sample size", [](Cr3Options& o) { o.uniform_sample_size = true; }},
      {"64-bit box sizes", [](Cr3Options& o) { o.large_sizes = true; }},
      {"mdat of size 0", [](Cr3Options& o) { o.mdat_size_zero = true; }},
      {"stco, uniform, 64-bit sizes",
       [](Cr3Options& o) { o.stco = o.uniform_sample_size = o.large_sizes = true; }},
  };
  for (const Form& form : forms) {
    SCOPED_TRACE(form.what);
    Cr3Options o = ThreeJpegs();
    form.apply(o);
    Cr3Layout l;
    auto p = ParseCr3(o, &l);
    EXPECT_EQ(RulesChoice(p->s).offset, l.track_jpeg_offset);
    EXPECT_EQ(RulesChoice(p->s).length, o.track_jpeg.jpeg.size());
    EXPECT_STREQ(p->s.shot.make, "Canon");
    EXPECT_EQ(p->s.raw.raw_width, 6000);
  }
}

TEST(Cr3Boxes, SizeZeroRunsToTheEndOfItsParentOnly) {
  // A size-0 box first in moov takes the rest of moov: the metadata box and
  // the tracks are inside it, but the preview uuid after moov is still met.
  Cr3Options o = ThreeJpegs();
  o.moov_prefix = {0, 0, 0, 0, 'f', 'r', 'e', 'e'};
  Cr3Layout l;
  auto p = ParseCr3(o, &l);
  EXPECT_STREQ(p->s.shot.make, "");
  EXPECT_EQ(p->s.raw.raw_width, 0);
  EXPECT_EQ(RulesChoice(p->s).offset, l.preview_offset);
}

TEST(Cr3Boxes, UuidBoxesAreKnownByTheirUserTypeAndPlace) {
  const Cr3Options o = ThreeJpegs();
  Cr3Layout l;
  const Bytes file = MakeCr3File(o, &l);

  // Another user type on the metadata box: no camera, no THMB.
  Bytes other_metadata = file;
  other_metadata[l.boxes["canon"] + 8] ^= 0xFF;
  Cr3 a(other_metadata);
  EXPECT_STREQ(a.s.shot.make, "");
  EXPECT_FALSE(a.s.found.metadata_directories.ifd0.present());
  EXPECT_EQ(RulesChoice(a.s).offset, l.track_jpeg_offset);

  // Another user type on the preview box: PRVW is not looked for.
  Cr3Options no_track = o;
  no_track.track_jpeg.jpeg.clear();
  Bytes other_preview = MakeCr3File(no_track, &l);
  other_preview[l.boxes["preview"] + 23] ^= 0xFF;
  Cr3 b(other_preview);
  EXPECT_EQ(RulesChoice(b.s).offset, l.thumbnail_offset);

  // The preview box inside moov instead of at the top is not the preview box.
  Cr3Options moved = no_track;
  const Bytes with_preview = MakeCr3File(no_track, &l);
  moved.moov_prefix.assign(with_preview.begin() + l.boxes["preview"],
                           with_preview.begin() + l.boxes["mdat"]);
  moved.preview.jpeg.clear();
  Cr3 c(MakeCr3File(moved, &l));
  EXPECT_EQ(RulesChoice(c.s).offset, l.thumbnail_offset);
}

// --- Metadata ---

TEST(Cr3Metadata, ShotDescriptionReachesTheSynthesizedHeader) {
  LocalZone zone("UTC0");
  for (bool big_endian : {false, true}) {
    SCOPED_TRACE(big_endian ? "MM" : "II");
    Cr3Options o = ThreeJpegs();
    o.big_endian_metadata = big_endian;
    o.shot.orientation = 8;  // rotate 270 clockwise
    o.artist = "A. Photographer";
    o.shot.fnumber_numerator = 8;  // f/4: exact in a float
    o.shot.fnumber_denominator = 2;
    const Bytes file = MakeCr3File(o);

    Identified f(file);
    ASSERT_TRUE(f.identified);
    EXPECT_NE(f.s.raw.raw_count, 0u);
    EXPECT_STREQ(f.s.shot.model, "EOS R6");
    EXPECT_EQ(f.s.shot.orientation, 5);  // the code of TIFF value 8

    const Extraction e = f.Extract();
    ASSERT_TRUE(e.result);
    const Bytes& out = e.jpeg;
    ASSERT_EQ(out.size(), o.track_jpeg.jpeg.size() + kExifSegmentSize);
    EXPECT_EQ(TextAt(out, 6), "Exif");
    EXPECT_EQ(TextAt(out, kBlock + 892), "Canon");
    EXPECT_EQ(TextAt(out, kBlock + 956), "EOS R6");
    EXPECT_EQ(TextAt(out, kBlock + 1052), "2024:05:17 14:32:10");
    EXPECT_EQ(TextAt(out, kBlock + 1072), "A. Photographer");
    EXPECT_EQ(HostU16(out, kBlock + 12 + 3 * 12 + 8), 8);         // IFD0 Orientation value
    EXPECT_EQ(HostU32(out, kBlock + 340), 4000u);                 // 1/250 s
    EXPECT_EQ(HostU32(out, kBlock + 348), 4000000u);              // f/4
    EXPECT_EQ(HostU16(out, kBlock + 282 + 2 + 2 * 12 + 8), 200);  // ISO
    EXPECT_EQ(HostU32(out, kBlock + 356), 50000000u);             // 50 mm
    EXPECT_TRUE(std::equal(o.track_jpeg.jpeg.begin() + 2, o.track_jpeg.jpeg.end(),
                           out.begin() + 2 + kExifSegmentSize));
  }
}

TEST(Cr3Metadata, DirectoryLocationsAndByteOrder) {
  for (bool big_endian : {false, true}) {
    SCOPED_TRACE(big_endian ? "MM" : "II");
    Cr3Options o = ThreeJpegs();
    o.big_endian_metadata = big_endian;
    Cr3Layout l;
    Parsed p(MakeCr3File(o, &l));
    const uint16_t order_before = p.s.byte_order;
    ParseCr3File(p.s);
    EXPECT_EQ(p.s.byte_order, order_before);
    const uint16_t mark = big_endian ? 0x4D4D : 0x4949;
    const MetadataDirectories& d = p.s.found.metadata_directories;
    EXPECT_EQ(d.ifd0.base, l.cmt1);
    EXPECT_EQ(d.ifd0.offset, l.ifd0);
    EXPECT_EQ(d.ifd0.byte_order, mark);
    EXPECT_EQ(d.exif.base, l.cmt2);
    EXPECT_EQ(d.exif.offset, l.exif);
    EXPECT_EQ(d.exif.byte_order, mark);
    EXPECT_EQ(d.gps.base, l.cmt4);
    EXPECT_EQ(d.gps.offset, l.gps);
    EXPECT_EQ(d.gps.byte_order, mark);
  }

  // No CMT4: no GPS directory. An IFD0 offset past the end of CMT1: no IFD0,
  // and nothing read from it.
  Cr3Options o = ThreeJpegs();
  o.gps = false;
  Cr3Layout l;
  Bytes file = MakeCr3File(o, &l);
  PutU32(file, l.cmt1 + 4, 0x10000, true);
  Cr3 p(file);
  EXPECT_FALSE(p.s.found.metadata_directories.gps.present());
  EXPECT_FALSE(p.s.found.metadata_directories.ifd0.present());
  EXPECT_STREQ(p.s.shot.make, "");
  EXPECT_TRUE(p.s.found.metadata_directories.exif.present());
}

// --- Real files ---

TEST(Cr3Samples, ChosenJpegsCarryTheCameraDescription) {
  const Bytes r6 = ReadSample("cr3/Canon-R6-pruned.CR3");
  const Bytes eos_r = ReadSample("cr3/fixture.cr3");
  if (r6.empty() || eos_r.empty()) GTEST_SKIP() << "samples absent";
  LocalZone zone("UTC0");

  // The track JPEG lies past the end of this pruned file: PRVW is taken.
  Identified f(r6);
  ASSERT_TRUE(f.identified);
  EXPECT_EQ(RulesChoice(f.s).offset, 102176u);
  EXPECT_EQ(RulesChoice(f.s).length, 389450u);
  EXPECT_EQ(f.s.raw.raw_width, 3408);
  EXPECT_EQ(f.s.found.metadata_directories.ifd0.offset, 312 + 8 + 8);
  Extraction e = f.Extract();
  ASSERT_TRUE(e.result);
  ASSERT_EQ(e.jpeg.size(), 389450u + kExifSegmentSize);
  EXPECT_EQ(TextAt(e.jpeg, kBlock + 956), "EOS R6");
  EXPECT_EQ(TextAt(e.jpeg, kBlock + 1052), "2021:05:12 12:21:21");
  EXPECT_EQ(TextAt(e.jpeg, kBlock + 1072), "Johannes Kimmel");
  EXPECT_EQ(HostU32(e.jpeg, kBlock + 340), 250000u);  // 1/4 s
  EXPECT_TRUE(
      std::equal(e.jpeg.begin() + 2 + kExifSegmentSize, e.jpeg.end(), r6.begin() + 102176 + 2));

  // Cut at 128 KiB: only THMB is whole. The camera was held upright.
  Identified g(eos_r);
  EXPECT_EQ(RulesChoice(g.s).offset, 12824u);
  EXPECT_EQ(RulesChoice(g.s).length, 16199u);
  e = g.Extract();
  ASSERT_TRUE(e.result);
  EXPECT_EQ(TextAt(e.jpeg, kBlock + 956), "EOS R");
  EXPECT_EQ(HostU16(e.jpeg, kBlock + 12 + 3 * 12 + 8), 6);
}
