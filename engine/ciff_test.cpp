// CIFF heaps and the JPEG segment walk, read directly over a parse state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine_test_support.h"
#include "engine/extract.h"
#include "engine/parsers.h"
#include "tests/fixtures/ciff_builder.h"
#include "tests/fixtures/jpeg.h"

using namespace engine;
using namespace engine_test;
using namespace fixtures;

namespace {

struct CiffFile : Parsed {
  using Parsed::Parsed;
  // The root heap of a CRW, as identification calls it.
  void ParseRoot() {
    ParseCiffHeap(s, kCrwHeaderLength, static_cast<uint32_t>(bytes.size()) - kCrwHeaderLength);
  }
};

constexpr uint16_t kImageProps = 0x300a;
constexpr uint16_t kExifInfo = 0x300b;

}  // namespace

TEST(CiffHeap, PreviewAndDescriptionFromSubHeaps) {
  const Bytes jpeg = MakeJpeg({});
  CiffHeap exif;
  exif.Data(0x080a, CiffMakeModel("Canon", "Canon EOS D30"))
      .Data(0x102a, CiffShotInfo(true, 160, 128, -32))
      .Data(0x1810, CiffImageInfo(true, 90))
      .Value(0x5029, 0x00230000)
      .Value(0x5817, 4242)
      .Value(0x5834, 0x1234abcd);
  CiffHeap props;
  props.Data(0x0810, Bytes{'A', 'n', 'n', 'e', 0}).SubHeap(kExifInfo, exif).Value(0x580e, 1e9);
  CiffHeap images;
  images.Data(0x2007, jpeg);
  CiffHeap root;
  root.SubHeap(kImageProps, props).SubHeap(0x2804, images);
  CiffFile f(MakeCrwFile(root));
  f.ParseRoot();

  EXPECT_EQ(RulesChoice(f.s).offset, root.DataPosition(1) + images.DataPosition(0));
  EXPECT_EQ(RulesChoice(f.s).length, jpeg.size());
  EXPECT_EQ(RulesChoice(f.s).kind, PreviewKind::Jpeg);
  EXPECT_EQ(0, std::memcmp(f.bytes.data() + RulesChoice(f.s).offset, jpeg.data(), jpeg.size()));
  EXPECT_STREQ(f.s.shot.make, "Canon");
  EXPECT_STREQ(f.s.shot.model, "Canon EOS D30");
  EXPECT_STREQ(f.s.shot.artist, "Anne");
  EXPECT_EQ(f.s.shot.orientation, 90);  // degrees, as stored
  EXPECT_EQ(f.s.shot.timestamp, 1000000000);
  EXPECT_FLOAT_EQ(f.s.shot.focal_length, 35);
  EXPECT_EQ(f.s.shot.shot_order, 4242u);
  EXPECT_EQ(f.s.shot.unique_id, 0x1234abcdu);
  EXPECT_FLOAT_EQ(f.s.shot.iso_speed, 100);
  EXPECT_FLOAT_EQ(f.s.shot.aperture, 4);
  EXPECT_FLOAT_EQ(f.s.shot.shutter, 2);
}

TEST(CiffHeap, ShotInfoAndExposureArithmetic) {
  struct Case {
    uint16_t iso;
    int16_t aperture, shutter;
    uint16_t alternative;
    float want_iso, want_aperture, want_shutter;
  };
  const Case cases[] = {
      {160, 128, -32, 0, 100, 4, 2},
      {224, 192, 256, 0, 400, 8, 1.0f / 256},
      {128, 64, 0, 0, 50, 2, 1},
      // A shutter code that overflows the exponent falls back to tenths of a second.
      {160, 0, -1000, 300, 100, 1, 30},
  };
  for (const Case& c : cases) {
    CiffHeap root;
    root.Data(0x102a, CiffShotInfo(true, c.iso, c.aperture, c.shutter, c.alternative));
    CiffFile f(MakeCrwFile(root));
    f.ParseRoot();
    EXPECT_FLOAT_EQ(f.s.shot.iso_speed, c.want_iso) << c.iso;
    EXPECT_FLOAT_EQ(f.s.shot.aperture, c.want_aperture) << c.aperture;
    EXPECT_FLOAT_EQ(f.s.shot.shutter, c.want_shutter) << c.shutter;
  }
  // Exposure info: APEX values as IEEE singles.
  CiffHeap root;
  root.Data(0x1818, CiffExposureInfo(true, 7.0f, 5.0f));
  CiffFile f(MakeCrwFile(root));
  f.ParseRoot();
  EXPECT_FLOAT_EQ(f.s.shot.shutter, 1.0f / 128);
  EXPECT_FLOAT_EQ(f.s.shot.aperture, static_cast<float>(std::pow(2.0, 2.5)));
}

TEST(CiffHeap, ValueRecordsAndLaterRecordsWin) {
  CiffHeap root;
  ByteWriter ts(true);
  ts.u32(1200000000);
  ByteWriter sensor(true);
  sensor.u16(0).u16(2176).u16(1448);
  root.Value(0x5029, 0x00230002)
      .Value(0x580e, 5)
      .Data(0x180e, ts.take())
      .Data(0x1031, sensor.take())
      .Data(0x2007, Bytes(10, 0xAA))
      .Data(0x2007, Bytes(20, 0xBB));
  CiffFile f(MakeCrwFile(root));
  f.ParseRoot();
  EXPECT_FLOAT_EQ(f.s.shot.focal_length, 35.0f / 32);
  EXPECT_EQ(f.s.shot.timestamp, 1200000000);
  EXPECT_EQ(f.s.raw.raw_width, 2176);
  EXPECT_EQ(f.s.raw.raw_height, 1448);
  EXPECT_EQ(RulesChoice(f.s).offset, root.DataPosition(5));
  EXPECT_EQ(RulesChoice(f.s).length, 20u);
}

TEST(CiffHeap, BigEndianHeap) {
  CiffHeap root(false);
  root.Data(0x080a, CiffMakeModel("Canon", "PowerShot Pro70")).Value(0x5817, 77);
  CiffFile f(MakeCrwFile(root));
  f.s.byte_order = 0x4D4D;
  f.ParseRoot();
  EXPECT_STREQ(f.s.shot.model, "PowerShot Pro70");
  EXPECT_EQ(f.s.shot.shot_order, 77u);
}

TEST(CiffHeap, RecordCountLimitAppliesPerHeap) {
  for (int records : {100, 101}) {
    CiffHeap root;
    for (int i = 0; i < records - 1; ++i) root.Value(0x5817, 1);
    root.Value(0x5834, 99);
    CiffFile f(MakeCrwFile(root));
    f.ParseRoot();
    EXPECT_EQ(f.s.shot.unique_id, records == 100 ? 99u : 0u) << records;
    EXPECT_EQ(f.s.shot.shot_order, records == 100 ? 1u : 0u) << records;
  }
  // An oversized sub-heap contributes nothing, its siblings still do.
  CiffHeap big;
  for (int i = 0; i < 101; ++i) big.Value(0x5817, 1);
  CiffHeap root;
  root.SubHeap(kImageProps, big).Value(0x5834, 7);
  CiffFile f(MakeCrwFile(root));
  f.ParseRoot();
  EXPECT_EQ(f.s.shot.shot_order, 0u);
  EXPECT_EQ(f.s.shot.unique_id, 7u);
}

TEST(CiffHeapHostile, SelfContainingAndAncestorHeapsEndThere) {
  // A sub-heap spanning its own heap, then an ordinary record after it.
  CiffHeap root;
  root.SelfReference(kImageProps).Value(0x5817, 3);
  CiffFile self(MakeCrwFile(root));
  self.ParseRoot();
  EXPECT_EQ(self.s.shot.shot_order, 3u);

  // A grandchild spanning its parent (and beyond), and one equal to it: the
  // first contains an ancestor, the second re-reads the parent's table.
  for (uint32_t extra : {4u, 0u}) {
    CiffHeap child;
    child.Value(0x5834, 11).Value(0x5817, 5);
    CiffHeap outer;
    outer.SubHeap(kImageProps, child).Value(0x0032, 0);
    Bytes bytes = MakeCrwFile(outer);
    const uint32_t child_start = outer.DataPosition(0);
    const uint32_t child_length = static_cast<uint32_t>(child.Build().size());
    // Rewrite the child's first record into a sub-heap over the child itself.
    const size_t record = child_start + 2;
    PutU16(bytes, record, kExifInfo, true);
    PutU32(bytes, record + 2, child_length + extra, true);
    PutU32(bytes, record + 6, 0, true);
    CiffFile f(bytes);
    f.ParseRoot();
    EXPECT_EQ(f.s.shot.shot_order, 5u) << extra;
    EXPECT_EQ(f.s.shot.unique_id, 0u) << extra;
  }
}

TEST(CiffHeapHostile, NestingDeeperThanEightIsIgnored) {
  for (int depth : {8, 9}) {
    CiffHeap heap;
    heap.Value(0x5834, static_cast<uint32_t>(depth));
    for (int level = 0; level < depth; ++level) {
      CiffHeap parent;
      parent.SubHeap(level % 2 ? 0x2804 : kImageProps, heap);
      heap = parent;
    }
    CiffFile f(MakeCrwFile(heap));
    f.ParseRoot();
    EXPECT_EQ(f.s.shot.unique_id, depth == 8 ? 8u : 0u) << depth;
  }
}

TEST(CiffHeapHostile, TruncatedAndOutOfRangeHeaps) {
  CiffHeap root;
  root.Data(0x080a, CiffMakeModel("Canon", "Canon EOS 10D")).Data(0x2007, Bytes(64, 0xCC));
  const Bytes whole = MakeCrwFile(root);
  for (size_t cut : {size_t{0}, size_t{10}, size_t{30}, whole.size() / 2, whole.size() - 1}) {
    CiffFile f(Bytes(whole.begin(), whole.begin() + static_cast<long>(cut)));
    // The declared heap runs past the truncated end.
    ParseCiffHeap(f.s, kCrwHeaderLength, static_cast<uint32_t>(whole.size()) - kCrwHeaderLength);
    EXPECT_EQ(RulesChoice(f.s).offset, 0u) << cut;
    EXPECT_STREQ(f.s.shot.make, "") << cut;
  }
  CiffFile tiny(whole);
  ParseCiffHeap(tiny.s, 0xFFFFFFF0u, 0xFFFFFFFFu);
  ParseCiffHeap(tiny.s, kCrwHeaderLength, 3);
  EXPECT_EQ(RulesChoice(tiny.s).offset, 0u);
}

namespace {

Bytes Segment(uint8_t marker, const Bytes& body) {
  ByteWriter w(false);
  w.u8(0xFF).u8(marker).u16be(static_cast<uint16_t>(body.size() + 2)).raw(body);
  return w.take();
}

}  // namespace

TEST(JpegSegmentWalk, RequiresStartOfImage) {
  CiffFile f(Bytes{0xFF, 0xD9, 0xFF, 0xC0, 0, 17, 8, 0, 100, 0, 200});
  f.s.byte_order = 0x4949;
  EXPECT_EQ(WalkJpegSegments(f.s, 0), 0);
  EXPECT_EQ(f.s.byte_order, 0x4949);
  EXPECT_EQ(f.s.raw.raw_width, 0);
}

TEST(JpegSegmentWalk, FrameSizeAndHeapSegments) {
  CiffHeap heap(false);
  heap.Data(0x080a, CiffMakeModel("Canon", "PowerShot S30")).Value(0x5817, 9);
  ByteWriter app(false);
  app.text("MM").u32be(14).text("HEAPJPGM");
  app.raw(heap.Build());
  ByteWriter file(false);
  file.u8(0xFF).u8(0xD8);
  file.raw(Segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0}));
  file.raw(Segment(0xE2, app.bytes()));
  file.raw(Segment(0xC0, {8, 0x01, 0x20, 0x02, 0x40, 3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1}));
  file.raw(Segment(0xDA, {0, 0, 0})).fill(16, 0x55);
  CiffFile f(file.take());
  EXPECT_EQ(WalkJpegSegments(f.s, 0), 1);
  EXPECT_EQ(f.s.raw.raw_height, 0x120);
  EXPECT_EQ(f.s.raw.raw_width, 0x240);
  EXPECT_STREQ(f.s.shot.model, "PowerShot S30");
  EXPECT_EQ(f.s.shot.shot_order, 9u);
}

TEST(JpegSegmentWalk, EndsOnStalledOrTruncatedSegments) {
  // A segment length of 0 would step back into its own length field, and a
  // heap header longer than its segment is not a heap.
  ByteWriter stalled(false);
  stalled.u8(0xFF).u8(0xD8).u8(0xFF).u8(0xE1).u16be(0).u8(0xFF).u8(0xE1).u16be(1);
  CiffFile a(stalled.take());
  EXPECT_EQ(WalkJpegSegments(a.s, 0), 1);

  ByteWriter overlong(false);
  overlong.u8(0xFF).u8(0xD8).u8(0xFF).u8(0xE2).u16be(12).text("MM").u32be(0xFFFFFFF0).text("HEAP");
  overlong.u8(0xFF).u8(0xC0).u16be(0xFFFF).u8(8).u16be(7).u16be(9);  // runs past the end
  CiffFile b(overlong.take());
  EXPECT_EQ(WalkJpegSegments(b.s, 0), 1);
  EXPECT_EQ(b.s.raw.raw_height, 7);
  EXPECT_EQ(b.s.raw.raw_width, 9);
}

TEST(JpegSegmentWalk, ExifInALaterSegmentGivesTheDescription) {
  JpegOptions o;
  o.app = JpegApp::Jfif;
  Bytes jfif = MakeJpeg(o);
  // JFIF first, the Exif block in the APP1 that follows it.
  const size_t after_jfif = 4 + ((jfif[4] << 8) | jfif[5]);
  ByteWriter exif(false);
  exif.u8(0xFF).u8(0xE1);
  const Bytes body = MakeExifApp1Body("NIKON CORPORATION", "COOLPIX P7000", false);
  exif.u16be(static_cast<uint16_t>(body.size() + 2)).raw(body);
  jfif.insert(jfif.begin() + static_cast<long>(after_jfif), exif.bytes().begin(),
              exif.bytes().end());
  CiffFile f(jfif);
  EXPECT_EQ(WalkJpegSegments(f.s, 0), 1);
  EXPECT_STREQ(f.s.shot.make, "NIKON CORPORATION");
  EXPECT_STREQ(f.s.shot.model, "COOLPIX P7000");
  EXPECT_EQ(f.s.raw.raw_width, 64);  // from the frame header
  EXPECT_EQ(f.s.raw.raw_height, 48);
}

// --- Through identification and extraction ---

namespace {

constexpr size_t kBlock = 12;  // the synthesized TIFF block starts after the APP1 header

}  // namespace

TEST(CrwExtraction, PreviewGainsAHeaderWithTheShotDescription) {
  JpegOptions o;
  o.app = JpegApp::None;
  const Bytes jpeg = MakeJpeg(o);
  ByteWriter sensor(true), when(true);
  sensor.u16(0).u16(3152).u16(2068);
  when.u32(1068485966);  // 2003-11-10 17:39:26 UTC
  CiffHeap exif;
  exif.Data(0x080a, CiffMakeModel("Canon", "Canon EOS 10D"))
      .Data(0x102a, CiffShotInfo(true, 160, 128, 192))
      .Data(0x1031, sensor.take())
      .Data(0x180e, when.take())
      .Value(0x5029, 0x00180000);
  CiffHeap props;
  props.SubHeap(kExifInfo, exif);
  CiffHeap images;
  images.Data(0x2007, jpeg);
  CiffHeap root;
  root.SubHeap(kImageProps, props).SubHeap(0x2804, images);
  const Bytes file = MakeCrwFile(root);

  Identified f(file);
  ASSERT_TRUE(f.identified);
  const ParseState& s = f.s;
  EXPECT_NE(s.raw.raw_count, 0u);
  EXPECT_STREQ(s.shot.model, "EOS 10D");

  const Extraction e = Extract(file);
  ASSERT_TRUE(e.result);
  ASSERT_EQ(e.jpeg.size(), jpeg.size() + kExifSegmentSize);
  EXPECT_EQ(e.jpeg[2], 0xFF);
  EXPECT_EQ(e.jpeg[3], 0xE1);
  EXPECT_EQ(TextAt(e.jpeg, 6), "Exif");
  EXPECT_EQ(TextAt(e.jpeg, kBlock + 892), "Canon");
  EXPECT_EQ(TextAt(e.jpeg, kBlock + 956), "EOS 10D");
  EXPECT_EQ(TextAt(e.jpeg, kBlock + 1052), "2003:11:10 17:39:26");
  // Exposure time and f-number rationals over 1000000, in the host's order.
  uint32_t exposure = 0, f_number = 0;
  std::memcpy(&exposure, e.jpeg.data() + kBlock + 340, 4);
  std::memcpy(&f_number, e.jpeg.data() + kBlock + 348, 4);
  EXPECT_EQ(exposure, 15625u);  // shutter code 192: 1/64 s
  EXPECT_EQ(f_number, 4000000u);
  EXPECT_TRUE(std::equal(jpeg.begin() + 2, jpeg.end(), e.jpeg.begin() + 1148));
}

TEST(CrwExtraction, JpegWithoutSignatureReachesTheSegmentWalk) {
  JpegOptions o;
  o.app = JpegApp::Jfif;
  Bytes file = MakeJpeg(o);
  const size_t after_jfif = 4 + ((file[4] << 8) | file[5]);
  const Bytes body = MakeExifApp1Body("Canon", "Canon PowerShot S30", true);
  ByteWriter app1(false);
  app1.u8(0xFF).u8(0xE1).u16be(static_cast<uint16_t>(body.size() + 2)).raw(body);
  file.insert(file.begin() + static_cast<long>(after_jfif), app1.bytes().begin(),
              app1.bytes().end());
  Identified f(file);
  ASSERT_TRUE(f.identified);
  const ParseState& s = f.s;
  EXPECT_STREQ(s.shot.make, "Canon");
  EXPECT_STREQ(s.shot.model, "PowerShot S30");
  EXPECT_EQ(s.raw.raw_count, 0u);
  EXPECT_FALSE(Extract(file).result);
}

TEST(CrwSamples, RealFilesGiveExiftoolsLargestJpeg) {
  struct Sample {
    const char* path;
    uint32_t offset, length;
    const char* model;
  };
  // Offsets and lengths as exiftool reports the JpgFromRaw of each file.
  const Sample samples[] = {
      {"crw/CRW.CRW", 3305054, 281610, "EOS D30"},
      {"crw/CRW_0304.CRW", 2712878, 27980, "PowerShot G2"},
      {"crw/CanonRaw.crw", 48, 29, "EOS DIGITAL REBEL"},
  };
  for (const Sample& sample : samples) {
    const Bytes file = ReadSample(sample.path);
    if (file.empty()) GTEST_SKIP() << "samples absent";
    Identified f(file);
    ASSERT_TRUE(f.identified);
    const ParseState& s = f.s;
    EXPECT_EQ(RulesChoice(s).offset, sample.offset) << sample.path;
    EXPECT_EQ(RulesChoice(s).length, sample.length) << sample.path;
    EXPECT_STREQ(s.shot.make, "Canon") << sample.path;
    EXPECT_STREQ(s.shot.model, sample.model) << sample.path;
  }
  const Extraction full = Extract(ReadSample("crw/CRW.CRW"));
  ASSERT_TRUE(full.result);
  EXPECT_EQ(full.jpeg.size(), 281610 + kExifSegmentSize);

  // A fuzzed file whose one heap-like record (0x2c00) is of no heap family:
  // nothing is found and nothing is extracted.
  const Bytes poc = ReadSample("malformed/issue_1097_poc.crw");
  ASSERT_FALSE(poc.empty());
  EXPECT_FALSE(Extract(poc).result);
}
