// The complete Exif segment: which directories the TIFF walk records, what
// the segment copies from them (both byte orders, and directories of
// different orders), and hostile directories, each of whose segments must
// pass the strict reader.
#include "engine/exif_copy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine_test_support.h"
#include "tests/fixtures/byte_writer.h"
#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/cr3_builder.h"
#include "tests/fixtures/exif_reader.h"
#include "tests/fixtures/fuji_minolta_builder.h"
#include "tests/fixtures/tiff_builder.h"

using namespace engine;
using namespace engine_test;
using namespace fixtures;

namespace {

constexpr uint16_t kLittle = 0x4949;
constexpr uint16_t kBig = 0x4D4D;
constexpr size_t kMaxPayload = 65533;  // a segment's bytes after its length field

enum : uint16_t {
  kImageDescription = 270,
  kMake = 271,
  kModel = 272,
  kOrientation = 274,
  kXResolution = 282,
  kYResolution = 283,
  kResolutionUnit = 296,
  kSoftwareTag = 305,
  kDateTime = 306,
  kArtist = 315,
  kCopyright = 33432,
  kExifPointer = 34665,
  kGpsPointer = 34853,
  kDateTimeOriginal = 36867,
  kUserComment = 37510,
  kMakerNote = 37500,
  kPixelX = 40962,
  kPixelY = 40963,
  kInterop = 40965,
  kLensModel = 42036,
  kPrivateArray = 0xC000,
};

// The complete segment built for a whole file (orientation 1, a 4x4
// preview), read back by the strict reader; false (with the reader's
// complaint reported) when it does not parse.
::testing::AssertionResult StrictlyReadSegmentOf(const Bytes& file, ExifStructure* read) {
  const auto s = Identify(file);
  const Bytes segment = BuildCompleteExifSegment(MemorySource(file), s->found.metadata_directories,
                                                 1, 4, 4, kSoftware);
  std::string error;
  if (ReadExifSegment(segment.data(), segment.size(), read, &error))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << error;
}

Bytes Encoded32(std::vector<uint32_t> values, bool little) {
  ByteWriter w(little);
  for (uint32_t v : values) w.u32(v);
  return w.take();
}

Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// A NEF-shaped file whose IFD0, Exif and GPS directories carry a full shot
// description, with the things that must not be copied among them (a maker
// note, the interoperability pointer, the raw image's own layout tags).
struct DescribedFile {
  bool little = true;
  bool resolution = true;
  bool gps = true;
  std::string user_comment = "ASCII\0\0\0harbour";

  Bytes Build() const {
    TiffBuilder t(little);
    const IfdId ifd0 = t.NewIfd(), exif = t.NewIfd(), gps_ifd = t.NewIfd(), interop = t.NewIfd();
    const BlobId raw = t.AddBlob(Bytes(512, 0x5A));
    Ifd& i0 = t.ifd(ifd0);
    i0.Long(254, 0).Long(256, 3008).Long(257, 2000).Short(258, 12).Short(259, 34713);
    i0.Ascii(kImageDescription, "harbour at dawn").Ascii(kMake, "NIKON CORPORATION");
    i0.Ascii(kModel, "NIKON D850").OffsetOf(273, raw).Short(kOrientation, 8).Long(279, 512);
    if (resolution) i0.Rational(kXResolution, 72, 1).Rational(kYResolution, 72, 1);
    if (resolution) i0.Short(kResolutionUnit, 3);
    i0.Ascii(kSoftwareTag, "Ver.1.10").Ascii(kDateTime, "2024:05:17 14:32:10");
    i0.Ascii(kArtist, "A. Photographer").Ascii(kCopyright, "(c) 2024 A. Photographer");
    i0.PointerTo(kExifPointer, exif);
    if (gps) i0.PointerTo(kGpsPointer, gps_ifd);
    i0.SortEntries();

    Ifd& e = t.ifd(exif);
    e.Rational(33434, 1, 250).Rational(33437, 56, 10).Short(34850, 3).Short(34855, 400);
    e.Undefined(36864, Text("0231")).Ascii(kDateTimeOriginal, "2024:05:17 14:32:10");
    e.Ascii(36868, "2024:05:17 14:32:10").Ascii(36880, "+02:00").Ascii(36881, "+02:00");
    e.SRational(37377, 8, 1).SRational(37380, -2, 3).Short(37385, 16).Rational(37386, 50, 1);
    e.Undefined(kMakerNote, Bytes(64, 0x4E));
    e.Undefined(kUserComment, Bytes(user_comment.begin(), user_comment.end()));
    e.Ascii(37520, "42").Ascii(37521, "42").Short(40961, 1);
    e.Long(kPixelX, 8256).Long(kPixelY, 5504).PointerTo(kInterop, interop);
    e.Undefined(41729, {1}).Undefined(41730, {0, 2, 0, 2, 0, 1, 1, 2}).Short(41987, 0);
    e.Ascii(42033, "3012345");
    e.Raw(42034, 5, 4, Encoded32({24, 1, 70, 1, 28, 10, 28, 10}, little));
    e.Ascii(42035, "NIKON").Ascii(kLensModel, "24-70mm f/2.8").Ascii(42037, "20012345");
    e.Raw(kPrivateArray, 4, 3, Encoded32({7, 8, 9}, little));
    e.SortEntries();
    t.ifd(interop).Ascii(1, "R98");

    Ifd& g = t.ifd(gps_ifd);
    g.Raw(0, 1, 4, {2, 3, 0, 0}).Ascii(1, "N");
    g.Raw(2, 5, 3, Encoded32({60, 1, 23, 1, 4512, 100}, little)).Ascii(3, "E");
    g.Raw(4, 5, 3, Encoded32({5, 1, 19, 1, 1234, 100}, little)).Raw(5, 1, 1, {0});
    g.Rational(6, 12345, 10).Raw(7, 5, 3, Encoded32({12, 1, 32, 1, 10, 1}, little));
    g.Undefined(27, Text("ASCII\0\0\0GPS")).Ascii(29, "2024:05:17");
    g.SortEntries();
    t.Chain({ifd0});
    return t.Build();
  }
};

// A file identified by the engine, and the segment built from what the walk
// recorded.
struct Copied {
  explicit Copied(Bytes bytes, uint32_t width = 1620, uint32_t height = 1080,
                  const char* software = kSoftware)
      : file(std::move(bytes)) {
    const auto state = Identify(file);
    directories = state->found.metadata_directories;
    segment = BuildCompleteExifSegment(MemorySource(file), directories, 6, width, height, software);
    read = !segment.empty() && ReadExifSegment(segment.data(), segment.size(), &exif, &error);
  }

  // A directory of the source file as it is stored.
  ExifDirectory Source(const DirectoryLocation& at) const {
    ExifDirectory d;
    ReadFileDirectory(file, at.base, at.offset, at.byte_order == kLittle, &d);
    return d;
  }

  Bytes file;
  MetadataDirectories directories;
  Bytes segment;
  ExifStructure exif;
  bool read = false;
  std::string error;
};

// The entry of the copy carries the source's type, count and values.
void ExpectSameValue(const ExifDirectory& copy, const ExifDirectory& source, uint16_t tag) {
  const ExifEntry* c = copy.Find(tag);
  const ExifEntry* s = source.Find(tag);
  ASSERT_NE(s, nullptr) << "tag " << tag << " missing from the source";
  ASSERT_NE(c, nullptr) << "tag " << tag << " missing from the copy";
  EXPECT_EQ(c->type, s->type) << "tag " << tag;
  EXPECT_EQ(c->count, s->count) << "tag " << tag;
  EXPECT_EQ(c->Numbers(), s->Numbers()) << "tag " << tag;
}

uint32_t Number(const ExifDirectory& d, uint16_t tag) {
  const ExifEntry* e = d.Find(tag);
  return e && !e->Numbers().empty() ? static_cast<uint32_t>(e->Numbers()[0]) : 0xFFFFFFFF;
}

std::string TextOf(const ExifDirectory& d, uint16_t tag) {
  const ExifEntry* e = d.Find(tag);
  return e ? e->Text() : "(missing)";
}

// --- What the walk records -------------------------------------------------

TEST(DescriptionDirectories, TheWalkRecordsIfd0AndItsExifAndGpsPointersInBothOrders) {
  for (const bool little : {true, false}) {
    DescribedFile described;
    described.little = little;
    const Bytes file = described.Build();
    const auto s = Identify(file);
    const MetadataDirectories& d = s->found.metadata_directories;
    ASSERT_TRUE(d.ifd0.present() && d.exif.present() && d.gps.present()) << little;
    EXPECT_EQ(d.ifd0.offset, 8);
    EXPECT_EQ(d.ifd0.byte_order, little ? kLittle : kBig);
    EXPECT_EQ(d.exif.base, 0);
    ExifDirectory exif;
    ASSERT_TRUE(ReadFileDirectory(file, 0, d.exif.offset, little, &exif));
    EXPECT_NE(exif.Find(kDateTimeOriginal), nullptr) << "the Exif location is its directory";
    ExifDirectory gps;
    ASSERT_TRUE(ReadFileDirectory(file, 0, d.gps.offset, little, &gps));
    EXPECT_EQ(TextOf(gps, 1), "N");
  }
}

TEST(DescriptionDirectories, CameraShapesRecordTheirOwnStructureOnly) {
  ShotInfo shot;
  shot.make = "NIKON CORPORATION";
  shot.model = "NIKON D200";
  const Bytes jpeg = Jpeg(64, 48);
  for (const Bytes& file :
       {MakeNefLike(shot, jpeg), MakeCr2Like(shot, jpeg), MakeDngLike(shot, jpeg),
        MakeOrfLike(shot, jpeg), MakePefLike(shot, jpeg)}) {
    const auto s = Identify(file);
    EXPECT_TRUE(s->found.metadata_directories.ifd0.present());
    EXPECT_TRUE(s->found.metadata_directories.exif.present());
    EXPECT_FALSE(s->found.metadata_directories.gps.present());
  }

  // A RAF's only TIFF structure is its preview's Exif block, which the
  // preview keeps: nothing is recorded (guards copying the preview's own
  // description into itself).
  RafOptions raf;
  JpegOptions exif_jpeg;
  exif_jpeg.app = JpegApp::Exif;
  raf.jpeg = MakeJpeg(exif_jpeg);
  const auto fuji = Identify(MakeRafFile(raf));
  EXPECT_STREQ(fuji->shot.make, "FixtureMake");
  EXPECT_FALSE(fuji->found.metadata_directories.ifd0.present());
  EXPECT_FALSE(fuji->found.metadata_directories.exif.present());
}

TEST(DescriptionDirectories, OnlyIfd0sOwnPointersCountAndTheFirstOfEachWins) {
  // An Exif pointer in a sub-directory, and a second GPS pointer in IFD1:
  // neither is the file's description (guards recording a directory of
  // another image, or a later one replacing the first).
  TiffBuilder t(true);
  const IfdId ifd0 = t.NewIfd(), sub = t.NewIfd(), ifd1 = t.NewIfd();
  const IfdId exif = t.NewIfd(), other_exif = t.NewIfd(), gps = t.NewIfd(), other_gps = t.NewIfd();
  t.ifd(ifd0).Ascii(kMake, "NIKON").PointersTo(330, {sub}).PointerTo(kExifPointer, exif);
  t.ifd(ifd0).PointerTo(kGpsPointer, gps);
  t.ifd(sub).Long(256, 16).PointerTo(kExifPointer, other_exif);
  t.ifd(ifd1).PointerTo(kGpsPointer, other_gps).PointerTo(kExifPointer, other_exif);
  t.ifd(exif).Ascii(kDateTimeOriginal, "2024:01:01 00:00:00");
  t.ifd(other_exif).Ascii(kDateTimeOriginal, "1999:01:01 00:00:00");
  t.ifd(gps).Ascii(1, "N");
  t.ifd(other_gps).Ascii(1, "S");
  t.Chain({ifd0, ifd1});
  const Bytes file = t.Build();
  const auto s = Identify(file);
  EXPECT_EQ(s->found.metadata_directories.ifd0.offset, t.IfdOffset(ifd0));
  EXPECT_EQ(s->found.metadata_directories.exif.offset, t.IfdOffset(exif));
  EXPECT_EQ(s->found.metadata_directories.gps.offset, t.IfdOffset(gps));

  // Without pointers of its own, IFD0 is recorded alone.
  TiffBuilder bare(false);
  const IfdId only = bare.NewIfd(), nested = bare.NewIfd(), nested_exif = bare.NewIfd();
  bare.ifd(only).Ascii(kMake, "NIKON").PointersTo(330, {nested});
  bare.ifd(nested).PointerTo(kExifPointer, nested_exif);
  bare.ifd(nested_exif).Short(34855, 100);
  bare.Chain({only});
  const auto b = Identify(bare.Build());
  EXPECT_TRUE(b->found.metadata_directories.ifd0.present());
  EXPECT_FALSE(b->found.metadata_directories.exif.present());
}

TEST(DescriptionDirectories, AnMrwRecordsItsTiffBlockWithTheBlocksBase) {
  // The TTW block is the only description an MRW has; its offsets count
  // from the block's TIFF header.
  TiffBuilder t(false);
  const IfdId ifd0 = t.NewIfd(), exif = t.NewIfd();
  t.ifd(ifd0).Ascii(kMake, "Minolta").Ascii(kModel, "DiMAGE A2").PointerTo(kExifPointer, exif);
  t.ifd(exif).Rational(33434, 1, 60);
  t.Chain({ifd0});
  MrwOptions mrw;
  mrw.blocks.push_back(MrwSensorBlock(false, 32, 32));
  mrw.blocks.push_back(MrwTiffBlock(t.Build()));
  const Bytes file = MakeMrwFile(mrw);
  const auto s = Identify(file);
  const MetadataDirectories& d = s->found.metadata_directories;
  ASSERT_TRUE(d.exif.present());
  EXPECT_GT(d.exif.base, 0);
  EXPECT_EQ(d.exif.base, d.ifd0.base);
  ExifDirectory copy;
  ASSERT_TRUE(ReadFileDirectory(file, d.exif.base, d.exif.offset, false, &copy));
  EXPECT_EQ(copy.Find(33434)->Numbers(), (std::vector<int64_t>{1, 60}));
}

// --- The copy ----------------------------------------------------------------

TEST(CompleteExif, CopiesTheDescriptionInTheFilesOwnOrder) {
  for (const bool little : {true, false}) {
    SCOPED_TRACE(little ? "little-endian" : "big-endian");
    DescribedFile described;
    described.little = little;
    const Copied c(described.Build());
    ASSERT_TRUE(c.read) << c.error;
    EXPECT_EQ(c.exif.little, little);
    EXPECT_FALSE(c.exif.has_ifd1);
    EXPECT_FALSE(c.exif.has_interop);

    // IFD0: the listed tags only; the raw image's layout stays behind.
    EXPECT_EQ(c.exif.ifd0.Tags(),
              (std::vector<uint16_t>{kImageDescription, kMake, kModel, kOrientation, kXResolution,
                                     kYResolution, kResolutionUnit, kSoftwareTag, kDateTime,
                                     kArtist, kCopyright, kExifPointer, kGpsPointer}));
    const ExifDirectory ifd0 = c.Source(c.directories.ifd0);
    for (uint16_t tag : {kImageDescription, kMake, kModel, kXResolution, kYResolution,
                         kResolutionUnit, kDateTime, kArtist, kCopyright})
      ExpectSameValue(c.exif.ifd0, ifd0, tag);
    EXPECT_EQ(Number(c.exif.ifd0, kOrientation), 6u) << "the value passed in, not the file's 8";
    EXPECT_EQ(TextOf(c.exif.ifd0, kSoftwareTag), kSoftware);

    // Exif: everything but the maker note and the interoperability pointer;
    // the pixel size is the preview's.
    const ExifDirectory exif = c.Source(c.directories.exif);
    std::vector<uint16_t> expected;
    for (const ExifEntry& e : exif.entries) {
      if (e.tag == kMakerNote || e.tag == kInterop) continue;
      expected.push_back(e.tag);
      if (e.tag != kPixelX && e.tag != kPixelY) ExpectSameValue(c.exif.exif, exif, e.tag);
    }
    EXPECT_EQ(c.exif.exif.Tags(), expected);
    EXPECT_EQ(Number(c.exif.exif, kPixelX), 1620u);
    EXPECT_EQ(Number(c.exif.exif, kPixelY), 1080u);
    EXPECT_EQ(c.exif.exif.Find(kPixelX)->type, 4);

    // GPS: whole.
    const ExifDirectory gps = c.Source(c.directories.gps);
    EXPECT_EQ(c.exif.gps.Tags(), gps.Tags());
    for (const ExifEntry& e : gps.entries) ExpectSameValue(c.exif.gps, gps, e.tag);
  }
}

TEST(CompleteExif, DefaultsAndOptionsOfTheBuildersOwnEntries) {
  DescribedFile described;
  described.resolution = false;
  described.gps = false;
  const Copied c(described.Build(), 0, 1080, nullptr);
  ASSERT_TRUE(c.read) << c.error;
  EXPECT_EQ(c.exif.ifd0.Find(kXResolution)->Numbers(), (std::vector<int64_t>{300, 1}));
  EXPECT_EQ(c.exif.ifd0.Find(kYResolution)->Numbers(), (std::vector<int64_t>{300, 1}));
  EXPECT_EQ(Number(c.exif.ifd0, kResolutionUnit), 2u);
  EXPECT_EQ(c.exif.ifd0.Find(kSoftwareTag), nullptr) << "no software text, no Software entry";
  EXPECT_FALSE(c.exif.has_gps);
  EXPECT_EQ(c.exif.ifd0.Find(kGpsPointer), nullptr);
  // An unknown preview size leaves the pixel size out rather than keep the
  // raw image's.
  EXPECT_EQ(c.exif.exif.Find(kPixelX), nullptr);
  EXPECT_EQ(c.exif.exif.Find(kPixelY), nullptr);

  const std::string long_software(100, 's');
  const Copied cut(described.Build(), 10, 10, long_software.c_str());
  ASSERT_TRUE(cut.read) << cut.error;
  EXPECT_EQ(TextOf(cut.exif.ifd0, kSoftwareTag), std::string(63, 's'));
}

TEST(CompleteExif, DirectoriesOfAnotherOrderAreConvertedToIfd0s) {
  // IFD0 little-endian; the Exif and GPS directories each in a big-endian
  // TIFF structure of their own further on, as a CR3's CMT boxes may be (the
  // CR3 builder writes all three in one order).
  TiffBuilder head(true);
  const IfdId ifd0 = head.NewIfd();
  head.ifd(ifd0).Ascii(kMake, "Canon").Ascii(kModel, "Canon EOS R6").Rational(kXResolution, 72, 1);
  head.Chain({ifd0});
  TiffBuilder body(false);
  const IfdId exif = body.NewIfd();
  body.ifd(exif).Rational(33434, 1, 4000).Short(34855, 12800).SRational(37380, -1, 3);
  body.ifd(exif).Raw(41730, 7, 4, {0, 2, 0, 2}).Raw(kPrivateArray, 3, 3, {0, 1, 0, 2, 0, 3});
  body.ifd(exif).Raw(0xC001, 12, 1, {0x3F, 0xF0, 0, 0, 0, 0, 0, 0});  // DOUBLE 1.0
  body.Chain({exif});
  TiffBuilder tail(false);
  const IfdId gps = tail.NewIfd();
  tail.ifd(gps).Raw(2, 5, 3, Encoded32({60, 1, 23, 1, 4512, 100}, false)).Raw(5, 1, 1, {1});
  tail.Chain({gps});

  Bytes file = head.Build();
  const int64_t body_base = static_cast<int64_t>(file.size());
  const Bytes body_bytes = body.Build();
  file.insert(file.end(), body_bytes.begin(), body_bytes.end());
  const int64_t tail_base = static_cast<int64_t>(file.size());
  const Bytes tail_bytes = tail.Build();
  file.insert(file.end(), tail_bytes.begin(), tail_bytes.end());

  MetadataDirectories d;
  d.ifd0 = {0, head.IfdOffset(ifd0), kLittle};
  d.exif = {body_base, body_base + body.IfdOffset(exif), kBig};
  d.gps = {tail_base, tail_base + tail.IfdOffset(gps), kBig};
  const Bytes segment = BuildCompleteExifSegment(MemorySource(file), d, 1, 8, 8, kSoftware);
  ExifStructure read;
  std::string error;
  ASSERT_TRUE(ReadExifSegment(segment.data(), segment.size(), &read, &error)) << error;
  EXPECT_TRUE(read.little);
  ExifDirectory source_exif, source_gps;
  ReadFileDirectory(file, d.exif.base, d.exif.offset, false, &source_exif);
  ReadFileDirectory(file, d.gps.base, d.gps.offset, false, &source_gps);
  for (const ExifEntry& e : source_exif.entries) ExpectSameValue(read.exif, source_exif, e.tag);
  for (const ExifEntry& e : source_gps.entries) ExpectSameValue(read.gps, source_gps, e.tag);
  EXPECT_EQ(read.exif.Find(41730)->value, (Bytes{0, 2, 0, 2})) << "UNDEFINED stays as stored";
  EXPECT_EQ(read.exif.Find(0xC001)->value, (Bytes{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));

  // Without a readable IFD0 the segment takes the Exif directory's order.
  d.ifd0.offset = static_cast<int64_t>(file.size()) + 100;
  const Bytes exif_order = BuildCompleteExifSegment(MemorySource(file), d, 1, 8, 8, kSoftware);
  ASSERT_TRUE(ReadExifSegment(exif_order.data(), exif_order.size(), &read, &error)) << error;
  EXPECT_FALSE(read.little);
  EXPECT_EQ(read.ifd0.Find(kMake), nullptr);
}

TEST(CompleteExif, NoExifDirectoryOfItsOwnGivesNothing) {
  DescribedFile described;
  const Bytes file = described.Build();
  MetadataDirectories d = Identify(file)->found.metadata_directories;
  const MemorySource source(file);
  MetadataDirectories none = d;
  none.exif = DirectoryLocation();
  EXPECT_TRUE(BuildCompleteExifSegment(source, none, 1, 8, 8, kSoftware).empty());
  // A location past the end or with no order mark is no directory (guards
  // reading outside the file and decoding in an unknown order).
  MetadataDirectories outside = d;
  outside.exif.offset = static_cast<int64_t>(file.size()) - 1;
  EXPECT_TRUE(BuildCompleteExifSegment(source, outside, 1, 8, 8, kSoftware).empty());
  MetadataDirectories unordered = d;
  unordered.exif.byte_order = 0x4141;
  EXPECT_TRUE(BuildCompleteExifSegment(source, unordered, 1, 8, 8, kSoftware).empty());
}

// --- Hostile directories -----------------------------------------------------

// The segment of a file whose Exif directory is built by `fill`, read
// strictly; a failure names the fault.
struct HostileCopy {
  template <typename Fill>
  explicit HostileCopy(Fill fill, bool little = true) {
    TiffBuilder t(little);
    const IfdId ifd0 = t.NewIfd(), exif = t.NewIfd();
    t.ifd(ifd0).Ascii(kMake, "NIKON").PointerTo(kExifPointer, exif);
    fill(t, t.ifd(exif));
    t.Chain({ifd0});
    file = t.Build();
    MetadataDirectories d;
    d.ifd0 = {0, t.IfdOffset(ifd0), static_cast<uint16_t>(little ? kLittle : kBig)};
    d.exif = {0, t.IfdOffset(exif), d.ifd0.byte_order};
    segment = BuildCompleteExifSegment(MemorySource(file), d, 1, 640, 480, kSoftware);
    read = !segment.empty() && ReadExifSegment(segment.data(), segment.size(), &exif_read, &error);
  }
  Bytes file, segment;
  ExifStructure exif_read;
  bool read = false;
  std::string error;
};

TEST(CompleteExifHostile, EntriesThatCannotBeCopiedAreLeftOut) {
  const HostileCopy c([](TiffBuilder&, Ifd& exif) {
    exif.Short(34855, 200);
    // Value offset past the end of the file: guards reading beyond it.
    exif.Verbatim(37510, 7, 64, 0x7FFFFFF0);
    // 2^30 + 1 LONGs: the size wraps to 4 in 32 bits and would be read from
    // the entry itself; guards 32-bit size arithmetic.
    exif.Verbatim(42016, 4, 0x40000001, 0x01020304);
    // Types 0, 13 (a directory pointer) and 16 (BigTIFF): guards element
    // sizes read out of a table's range and pointers copied as data.
    exif.Verbatim(42017, 0, 1, 1).Verbatim(42018, 13, 1, 8).Verbatim(42019, 16, 1, 8);
    // A count of 0: nothing to copy, and a zero-size value would be invalid.
    exif.Verbatim(42020, 3, 0, 0);
    // One value larger than a whole segment: guards an allocation sized by
    // the file.
    exif.Verbatim(42021, 7, 0x00FFFFFF, 8);
  });
  ASSERT_TRUE(c.read) << c.error;
  EXPECT_EQ(c.exif_read.exif.Tags(), (std::vector<uint16_t>{34855, kPixelX, kPixelY}));
}

TEST(CompleteExifHostile, UnsortedAndRepeatedTagsAreSortedAndTakenOnce) {
  // Guards a segment whose tags are out of order or repeated, which strict
  // readers reject.
  const HostileCopy c([](TiffBuilder&, Ifd& exif) {
    exif.Short(37385, 1).Short(34855, 800).Short(37385, 2).Ascii(36867, "2024:01:01 00:00:00");
  });
  ASSERT_TRUE(c.read) << c.error;
  EXPECT_EQ(c.exif_read.exif.Tags(),
            (std::vector<uint16_t>{34855, 36867, 37385, kPixelX, kPixelY}));
  EXPECT_EQ(Number(c.exif_read.exif, 37385), 1u) << "the first of a repeated tag";
}

TEST(CompleteExifHostile, CountsPastTheFileAndOversizedDirectories) {
  // A directory count claiming more entries than the file holds, the last
  // one cut by the end: guards reading the table past the end; only whole
  // entries count.
  TiffBuilder t(true);
  const IfdId ifd0 = t.NewIfd(), exif = t.NewIfd();
  t.ifd(ifd0).Ascii(kMake, "NIK").PointerTo(kExifPointer, exif);
  t.ifd(exif).Short(34855, 100).Short(37385, 1).DeclaredCount(400);
  t.Chain({ifd0});
  Bytes file = t.Build();
  file.resize(t.IfdOffset(exif) + 2 + 12 + 5);
  const auto s = Identify(file);
  ASSERT_TRUE(s->found.metadata_directories.exif.present());
  const Bytes segment = BuildCompleteExifSegment(MemorySource(file), s->found.metadata_directories,
                                                 1, 4, 4, kSoftware);
  ExifStructure read;
  std::string error;
  ASSERT_TRUE(ReadExifSegment(segment.data(), segment.size(), &read, &error)) << error;
  EXPECT_EQ(read.exif.Tags(), (std::vector<uint16_t>{34855, kPixelX, kPixelY}));
  EXPECT_EQ(TextOf(read.ifd0, kMake), "NIK");

  // More entries than any directory has: taken as garbage, as the walk does.
  const HostileCopy garbage([](TiffBuilder&, Ifd& exif) {
    for (uint16_t tag = 1; tag <= 513; ++tag) exif.Short(tag, tag);
  });
  EXPECT_TRUE(garbage.segment.empty());
}

TEST(CompleteExifHostile, AnExifPointerBackAtIfd0CopiesIfd0sEntriesAsValues) {
  // IFD0 read again as the Exif directory: guards a walk that follows the
  // pointer into itself; pointers are never copied, so nothing loops.
  TiffBuilder t(true);
  const IfdId ifd0 = t.NewIfd();
  t.ifd(ifd0).Ascii(kMake, "NIKON").PointerTo(kExifPointer, ifd0);
  t.Chain({ifd0});
  const Bytes file = t.Build();
  ExifStructure read;
  ASSERT_TRUE(StrictlyReadSegmentOf(file, &read));
  EXPECT_EQ(read.exif.Tags(), (std::vector<uint16_t>{kMake, kPixelX, kPixelY}));
}

TEST(CompleteExifHostile, WhatDoesNotFitGoesLargestFirstOtherEntriesBeforeListedOnes) {
  // Guards a length field that overflows 16 bits: the unlisted entries go
  // first, largest first (the first of two equal ones first), only until the
  // rest fits; the shot description stays.
  const HostileCopy c([](TiffBuilder&, Ifd& exif) {
    exif.Undefined(kUserComment, Bytes(40000, 'u'));
    exif.Undefined(0xC100, Bytes(20000, 'a')).Undefined(0xC101, Bytes(20000, 'b'));
    exif.Undefined(0xC102, Bytes(100, 'c'));
    exif.Ascii(kLensModel, std::string(30000, 'L'));
    exif.Ascii(kDateTimeOriginal, "2024:01:01 00:00:00");
    exif.SortEntries();
  });
  ASSERT_TRUE(c.read) << c.error;
  EXPECT_LE(c.segment.size() - 2, kMaxPayload + 2);
  EXPECT_EQ(c.exif_read.exif.Tags(), (std::vector<uint16_t>{kDateTimeOriginal, kPixelX, kPixelY,
                                                            kLensModel, 0xC101, 0xC102}));
  EXPECT_EQ(TextOf(c.exif_read.exif, kLensModel).size(), 30000u);
}

TEST(CompleteExifHostile, ListedEntriesTooLargeTogetherStillGiveAValidSegment) {
  // Guards a segment that cannot fit even after every unlisted entry is gone:
  // the largest listed entries follow, the builder's own entries stay.
  const HostileCopy c([](TiffBuilder&, Ifd& exif) {
    exif.Ascii(kLensModel, std::string(40000, 'L')).Ascii(42037, std::string(30000, 'S'));
    exif.Ascii(42033, std::string(20000, 'B')).Short(34855, 100);
  });
  ASSERT_TRUE(c.read) << c.error;
  EXPECT_LE(c.segment.size(), kMaxPayload + 4);
  EXPECT_EQ(c.exif_read.exif.Tags(),
            (std::vector<uint16_t>{34855, kPixelX, kPixelY, 42033, 42037}));
  EXPECT_EQ(Number(c.exif_read.ifd0, kOrientation), 1u);
  EXPECT_EQ(TextOf(c.exif_read.ifd0, kSoftwareTag), kSoftware);
}

TEST(CompleteExifHostile, ManyLargeEntriesInEveryDirectoryStillFitOneSegment) {
  // 3 x 400 entries of 500 bytes each, in both orders: guards the running
  // size, the GPS directory losing all its entries (no pointer left to an
  // empty directory) and the dropping order across directories.
  for (const bool little : {true, false}) {
    TiffBuilder t(little);
    const IfdId ifd0 = t.NewIfd(), exif = t.NewIfd(), gps = t.NewIfd();
    t.ifd(ifd0).PointerTo(kExifPointer, exif).PointerTo(kGpsPointer, gps);
    for (uint16_t i = 0; i < 400; ++i) {
      t.ifd(exif).Undefined(static_cast<uint16_t>(0xC000 + i), Bytes(500, 'e'));
      t.ifd(gps).Undefined(static_cast<uint16_t>(100 + i), Bytes(600, 'g'));
    }
    t.ifd(ifd0).Undefined(kArtist, Bytes(60000, 'a'));
    t.ifd(ifd0).SortEntries();
    t.Chain({ifd0});
    const Bytes file = t.Build();
    ExifStructure read;
    ASSERT_TRUE(StrictlyReadSegmentOf(file, &read));
    EXPECT_EQ(read.ifd0.Find(kArtist), nullptr) << "the largest listed entry goes first";
    EXPECT_EQ(read.exif.Find(0xC000), nullptr) << "unlisted Exif entries before the GPS ones";
    EXPECT_TRUE(read.has_gps);
    EXPECT_GT(read.gps.entries.size(), 50u);
  }
}

}  // namespace

// --- In the extraction -------------------------------------------------------

namespace {

// A NEF-shaped file whose preview sub-directory states its size (640 x 480)
// in tags, with or without an Exif directory.
Bytes SubIfdPreviewFile(const Bytes& jpeg, bool with_exif) {
  TiffBuilder t(true);
  const IfdId ifd0 = t.NewIfd(), raw = t.NewIfd(), preview = t.NewIfd(), exif = t.NewIfd();
  t.ifd(ifd0).Ascii(kMake, "NIKON").Ascii(kModel, "D200").PointersTo(330, {preview, raw});
  if (with_exif) t.ifd(ifd0).PointerTo(kExifPointer, exif);
  t.ifd(exif).Ascii(kDateTimeOriginal, "2024:05:17 14:32:10");
  t.ifd(raw).Long(256, 3008).Long(257, 2000).Short(258, 12).Short(259, 34713).Short(262, 32803);
  t.ifd(raw).OffsetOf(273, t.AddBlob(Bytes(64, 1))).Short(277, 1).Long(279, 64);
  t.ifd(preview).Long(256, 640).Long(257, 480).Short(258, {8, 8, 8}).Short(259, 6);
  t.ifd(preview).OffsetOf(273, t.AddBlob(jpeg)).Short(277, 3);
  t.ifd(preview).Long(279, static_cast<uint32_t>(jpeg.size()));
  t.Chain({ifd0});
  return t.Build();
}

Extraction ExtractComplete(const Bytes& file) {
  return ExtractFrom(MemorySource(file), kSoftware, MetadataMode::kComplete);
}

TEST(CompleteExtraction, ThePreviewGetsTheFilesDescriptionAfterSoiAndIsOtherwiseAsStored) {
  ShotInfo shot;
  shot.make = "NIKON CORPORATION";
  shot.model = "NIKON D200";
  shot.orientation = 6;
  const Bytes jpeg = Jpeg(320, 212, 4);
  using Maker = Bytes (*)(const ShotInfo&, const Bytes&, PreviewPlacement*);
  for (const Maker make : {Maker{MakeNefLike}, Maker{MakeCr2Like}, Maker{MakeDngLike},
                           Maker{MakeOrfLike}, Maker{MakePefLike}}) {
    const Bytes file = make(shot, jpeg, nullptr);
    const Extraction compact = Extract(file);
    const Extraction complete = ExtractComplete(file);
    ASSERT_EQ(complete.result, 1);
    const size_t segment = FirstSegmentSize(complete.jpeg);
    ASSERT_GT(segment, 0u);
    // SOI, the segment, then the stored bytes after their SOI.
    EXPECT_EQ(Bytes(complete.jpeg.begin() + 2 + segment, complete.jpeg.end()),
              Bytes(jpeg.begin() + 2, jpeg.end()));
    ExifStructure exif;
    std::string error;
    ASSERT_TRUE(ReadJpegExif(complete.jpeg, &exif, &error)) << error;
    EXPECT_EQ(TextOf(exif.ifd0, kMake), shot.make) << "the file's own make, not normalised";
    EXPECT_EQ(TextOf(exif.exif, kDateTimeOriginal), shot.date_time);
    EXPECT_EQ(Number(exif.exif, kPixelX), 320u);
    EXPECT_EQ(Number(exif.exif, kPixelY), 212u);
    EXPECT_EQ(TextOf(exif.ifd0, kSoftwareTag), kSoftware);
    // The orientation the compact header carries.
    ExifStructure compact_exif;
    ASSERT_TRUE(ReadJpegExif(compact.jpeg, &compact_exif, &error)) << error;
    EXPECT_EQ(Number(exif.ifd0, kOrientation), Number(compact_exif.ifd0, kOrientation));
  }
}

TEST(CompleteExtraction, ACr3GetsItsCmtBoxesInEitherOrder) {
  for (const bool big_endian : {false, true}) {
    SCOPED_TRACE(big_endian ? "MM" : "II");
    Cr3Options o;
    o.big_endian_metadata = big_endian;
    o.artist = "A. Photographer";
    o.track_jpeg = {Jpeg(320, 212, 5), 6000, 4000};
    o.thumbnail = {Jpeg(160, 120, 6), 160, 120};
    Cr3Layout layout;
    const Bytes file = MakeCr3File(o, &layout);
    const Extraction complete = ExtractComplete(file);
    ASSERT_EQ(complete.result, 1);
    ExifStructure exif;
    std::string error;
    ASSERT_TRUE(ReadJpegExif(complete.jpeg, &exif, &error)) << error;
    EXPECT_EQ(exif.little, !big_endian) << "CMT1's order";
    const bool little = !big_endian;
    ExifDirectory ifd0, source_exif, gps;
    ReadFileDirectory(file, layout.cmt1, layout.ifd0, little, &ifd0);
    ReadFileDirectory(file, layout.cmt2, layout.exif, little, &source_exif);
    ReadFileDirectory(file, layout.cmt4, layout.gps, little, &gps);
    for (uint16_t tag : {kMake, kModel, kXResolution, kYResolution, kResolutionUnit, kDateTime,
                         kArtist, kCopyright})
      ExpectSameValue(exif.ifd0, ifd0, tag);
    for (const ExifEntry& e : source_exif.entries) ExpectSameValue(exif.exif, source_exif, e.tag);
    EXPECT_EQ(exif.exif.entries.size(), source_exif.entries.size() + 2);
    EXPECT_EQ(Number(exif.exif, kPixelX), 320u) << "the JPEG's own size, not the stated 6000";
    for (const ExifEntry& e : gps.entries) ExpectSameValue(exif.gps, gps, e.tag);
    EXPECT_EQ(Bytes(complete.jpeg.end() - static_cast<std::ptrdiff_t>(o.track_jpeg.jpeg.size() - 2),
                    complete.jpeg.end()),
              Bytes(o.track_jpeg.jpeg.begin() + 2, o.track_jpeg.jpeg.end()));
  }
}

TEST(CompleteExtraction, OtherwiseTheCompactResultStands) {
  ShotInfo shot;
  shot.make = "NIKON CORPORATION";
  shot.model = "NIKON D200";
  // A preview with Exif of its own is kept as stored.
  const Bytes own_exif = MakeNefLike(shot, Jpeg(320, 212, 2, JpegApp::Exif));
  EXPECT_EQ(ExtractComplete(own_exif).jpeg, Extract(own_exif).jpeg);
  EXPECT_EQ(ExtractComplete(own_exif).result, 1);

  // A file with no Exif directory of its own gets the compact block.
  const Bytes no_exif = SubIfdPreviewFile(Jpeg(320, 212), false);
  const Extraction compact = Extract(no_exif);
  ASSERT_EQ(compact.result, 1);
  EXPECT_EQ(ExtractComplete(no_exif).jpeg, compact.jpeg);
  EXPECT_EQ(compact.jpeg.size(), Jpeg(320, 212).size() + kExifSegmentSize);

  // Files that give no preview give none in either mode, for the same reason.
  for (const DemoFile& demo : MakeDemoFiles()) {
    const Extraction a = Extract(demo.bytes), b = ExtractComplete(demo.bytes);
    EXPECT_EQ(a.result, b.result) << demo.name;
    EXPECT_EQ(a.reason, b.reason) << demo.name;
    if (demo.preview_has_exif) {
      EXPECT_EQ(a.jpeg, b.jpeg) << demo.name;
    }
  }
}

TEST(CompleteExtraction, AFrameHeaderFarIntoThePreviewIsFoundInTheFile) {
  // A comment of 6000 bytes before the frame header: past the first bytes
  // looked at in memory, so the size comes from walking the file.
  const Bytes jpeg = InsertSegmentAfterSoi(Jpeg(320, 212), 0xFE, Bytes(6000, 'c'));
  const Extraction complete = ExtractComplete(SubIfdPreviewFile(jpeg, true));
  ASSERT_EQ(complete.result, 1);
  ExifStructure exif;
  std::string error;
  ASSERT_TRUE(ReadJpegExif(complete.jpeg, &exif, &error)) << error;
  EXPECT_EQ(Number(exif.exif, kPixelX), 320u);
  EXPECT_EQ(Number(exif.exif, kPixelY), 212u);
  EXPECT_EQ(Bytes(complete.jpeg.end() - static_cast<std::ptrdiff_t>(jpeg.size() - 2),
                  complete.jpeg.end()),
            Bytes(jpeg.begin() + 2, jpeg.end()));
}

TEST(CompleteExtraction, ARepeatedSoiInThePreviewsFirstBytesIsPassedOver) {
  // The first look into the preview forgives a second SOI, as the extracted
  // JPEG's own size does; only when it finds nothing is the whole preview
  // walked strictly. Guards losing the size of such previews.
  const Bytes base = Jpeg(320, 212);
  Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xD8};
  jpeg.insert(jpeg.end(), base.begin() + 2, base.end());
  const Extraction complete = ExtractComplete(SubIfdPreviewFile(jpeg, true));
  ASSERT_EQ(complete.result, 1);
  ExifStructure exif;
  std::string error;
  ASSERT_TRUE(ReadJpegExif(complete.jpeg, &exif, &error)) << error;
  EXPECT_EQ(Number(exif.exif, kPixelX), 320u);
  EXPECT_EQ(Number(exif.exif, kPixelY), 212u);
}

TEST(CompleteExtraction, APreviewWithoutAFrameHeaderGetsNoPixelSize) {
  // Tables only, then the scan (the directory gives the size): guards taking
  // the raw image's size, or any guess, for the preview's.
  Bytes frameless = {0xFF, 0xD8, 0xFF, 0xFE, 0, 6, 'n', 'o', 'n', 'e', 0xFF, 0xDA, 0, 2};
  frameless.resize(64, 0);
  const Extraction complete = ExtractComplete(SubIfdPreviewFile(frameless, true));
  ASSERT_EQ(complete.result, 1);
  ExifStructure exif;
  std::string error;
  ASSERT_TRUE(ReadJpegExif(complete.jpeg, &exif, &error)) << error;
  EXPECT_EQ(exif.exif.Find(kPixelX), nullptr);
  EXPECT_EQ(TextOf(exif.exif, kDateTimeOriginal), "2024:05:17 14:32:10");
}

}  // namespace
