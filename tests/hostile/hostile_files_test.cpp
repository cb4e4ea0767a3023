// Hostile and truncated inputs through identification and extraction: every
// case must end in bounded time and give either a complete preview or none.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/extract.h"
#include "engine/input.h"
#include "engine/limits.h"
#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/ciff_builder.h"
#include "tests/fixtures/cr3_builder.h"
#include "tests/fixtures/foveon_builder.h"
#include "tests/fixtures/fuji_minolta_builder.h"
#include "tests/fixtures/jpeg.h"
#include "tests/fixtures/leaf_phaseone_builder.h"
#include "tests/fixtures/tiff_builder.h"

namespace {

using fixtures::Bytes;

// Every cut in the first bytes, where the headers and directories lie.
constexpr size_t kEveryByteCuts = 4096;
// Beyond that, cuts grow by this factor up to the full size.
constexpr double kGeometricFactor = 1.25;

struct Outcome {
  bool produced = false;
  Bytes jpeg;
};

Outcome Extract(const Bytes& file, const std::string& name) {
  const engine::MemorySource source(file.data(), file.size());
  Outcome outcome;
  // The path names no real file, so no sidecar beside it is ever read.
  const platform::NativePath path =
      platform::ToNativePath(u"/nonexistent-rawlift-hostile/" + platform::Utf8ToUtf16(name));
  engine::ExtractOptions options;
  options.software = "Rawlift v1.00";
  const engine::ExtractedPreview got =
      engine::ExtractEmbeddedPreviewFrom(source, name, path, options);
  outcome.produced = got.extracted();
  if (outcome.produced) outcome.jpeg.assign(got.bytes.get(), got.bytes.get() + got.length);
  return outcome;
}

// The stored bytes behind a result: the result itself, or the result with
// the synthesized Exif segment after SOI taken out.
std::vector<Bytes> StoredCandidates(const Bytes& jpeg) {
  std::vector<Bytes> candidates{jpeg};
  if (jpeg.size() >= 2 + engine::kExifSegmentSize && jpeg[2] == 0xFF && jpeg[3] == 0xE1) {
    Bytes stored(jpeg.begin(), jpeg.begin() + 2);
    stored.insert(stored.end(), jpeg.begin() + 2 + engine::kExifSegmentSize, jpeg.end());
    candidates.push_back(stored);
  }
  return candidates;
}

// A result is complete when its stored bytes are a region of the file. The
// engine writes the SOI marker over the region's first two bytes (some
// cameras store other bytes there), so those two are not compared.
bool IsRegionOf(const Bytes& jpeg, const Bytes& file) {
  for (const Bytes& stored : StoredCandidates(jpeg)) {
    if (stored.size() < 2) continue;
    auto at = file.begin() + std::min<size_t>(2, file.size());
    while (true) {
      at = std::search(at, file.end(), stored.begin() + 2, stored.end());
      if (at == file.end()) break;
      if (at - file.begin() >= 2) return true;
      ++at;
    }
  }
  return false;
}

bool IsRegionAt(const Bytes& jpeg, const Bytes& file, uint32_t offset, uint32_t length) {
  if (static_cast<uint64_t>(offset) + length > file.size()) return false;
  if (length < 2) return false;
  const Bytes region(file.begin() + offset + 2, file.begin() + offset + length);
  for (const Bytes& stored : StoredCandidates(jpeg)) {
    if (stored.size() == length && std::equal(region.begin(), region.end(), stored.begin() + 2)) {
      return true;
    }
  }
  return false;
}

std::vector<size_t> CutPoints(size_t size, const std::vector<size_t>& boundaries, size_t step) {
  std::vector<size_t> cuts;
  for (size_t cut = 0; cut < std::min(size, kEveryByteCuts); cut += step) cuts.push_back(cut);
  for (double cut = kEveryByteCuts; cut < size; cut *= kGeometricFactor) {
    cuts.push_back(static_cast<size_t>(cut));
  }
  for (size_t b : boundaries) {
    for (size_t near : {b - 1, b, b + 1}) {
      if (near < size) cuts.push_back(near);
    }
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  return cuts;
}

// Runs every cut of the file; a preview running past the cut must give nothing.
void ExpectEveryCutCompleteOrNothing(const Bytes& file, const std::string& name,
                                     const fixtures::PreviewPlacement& preview, size_t step) {
  std::vector<size_t> boundaries;
  if (preview.length) boundaries = {preview.offset, size_t{preview.offset} + preview.length};
  for (size_t cut : CutPoints(file.size(), boundaries, step)) {
    const Bytes truncated(file.begin(), file.begin() + cut);
    const Outcome outcome = Extract(truncated, name);
    if (!outcome.produced) continue;
    ASSERT_TRUE(IsRegionOf(outcome.jpeg, truncated))
        << name << " cut at " << cut << ": " << outcome.jpeg.size() << " bytes not in the file";
    if (preview.length && cut < size_t{preview.offset} + preview.length) {
      // Another complete region (a thumbnail) may be chosen, never the cut one.
      ASSERT_FALSE(outcome.jpeg.size() >= preview.length &&
                   IsRegionAt(outcome.jpeg, file, preview.offset, preview.length))
          << name << " cut at " << cut;
    }
  }
}

}  // namespace

// Guards: reading past a cut yields padded bytes passed off as a preview.
TEST(TruncatedFiles, DemoFilesGiveTheWholePreviewOrNothingAtEveryCut) {
  for (const fixtures::DemoFile& f : fixtures::MakeDemoFiles()) {
    SCOPED_TRACE(f.name);
    const Outcome whole = Extract(f.bytes, f.name);
    if (f.extractable && f.preview.length) {
      ASSERT_TRUE(whole.produced);
      EXPECT_TRUE(IsRegionAt(whole.jpeg, f.bytes, f.preview.offset, f.preview.length));
    }
    ExpectEveryCutCompleteOrNothing(f.bytes, f.name, f.preview, 1);
  }
}

// Guards: CIFF and RAF containers cut inside a heap, a directory or the JPEG.
TEST(TruncatedFiles, ContainerFixturesGiveTheWholePreviewOrNothingAtEveryCut) {
  const Bytes jpeg = fixtures::MakeJpeg({64, 48});
  // An EOS 10D heap: image properties with the Exif information (make,
  // model, sensor size), and the JPEG in the image-data heap.
  fixtures::ByteWriter sensor(true);
  sensor.u16(0).u16(3152).u16(2068);
  fixtures::CiffHeap exif;
  exif.Data(0x080a, fixtures::CiffMakeModel("Canon", "Canon EOS 10D"))
      .Data(0x1031, sensor.take())
      .Value(0x5029, 0x00180000);
  fixtures::CiffHeap props;
  props.SubHeap(0x300b, exif);
  fixtures::CiffHeap images;
  images.Data(0x2007, jpeg);
  fixtures::CiffHeap root;
  root.SubHeap(0x300a, props).SubHeap(0x2804, images);
  const Bytes crw = fixtures::MakeCrwFile(root);
  const fixtures::PreviewPlacement crwPreview{
      static_cast<uint32_t>(std::search(crw.begin(), crw.end(), jpeg.begin(), jpeg.end()) -
                            crw.begin()),
      static_cast<uint32_t>(jpeg.size())};
  EXPECT_TRUE(
      IsRegionAt(Extract(crw, "CRW_0001.CRW").jpeg, crw, crwPreview.offset, crwPreview.length));
  ExpectEveryCutCompleteOrNothing(crw, "CRW_0001.CRW", crwPreview, 1);

  fixtures::JpegOptions withExif;
  withExif.width = 64;
  withExif.height = 48;
  withExif.app = fixtures::JpegApp::Exif;
  withExif.exif_make = "FUJIFILM";
  withExif.exif_model = "FinePix S5Pro";
  fixtures::RafOptions raf;
  raf.jpeg = fixtures::MakeJpeg(withExif);
  raf.directory = {fixtures::RafSize(0x100, 1444, 4352), fixtures::RafSize(0x121, 1424, 2128)};
  fixtures::RafLayout layout;
  const Bytes rafFile = fixtures::MakeRafFile(raf, &layout);
  const fixtures::PreviewPlacement rafPreview{layout.jpeg_offset,
                                              static_cast<uint32_t>(raf.jpeg.size())};
  EXPECT_TRUE(IsRegionAt(Extract(rafFile, "DSCF0001.RAF").jpeg, rafFile, rafPreview.offset,
                         rafPreview.length));
  ExpectEveryCutCompleteOrNothing(rafFile, "DSCF0001.RAF", rafPreview, 1);
}

// Guards: files of later cameras cut inside a maker note, Panasonic's
// JpgFromRaw, a DNG's reduced-resolution directory or the JPEG passing a
// partial preview off as a whole one.
TEST(TruncatedFiles, LaterCameraFixturesGiveTheWholePreviewOrNothingAtEveryCut) {
  // Larger than the 160x120 thumbnails beside it, so that it is the preview.
  const Bytes jpeg = fixtures::MakeJpeg({240, 160});
  fixtures::JpegOptions exif_options;
  exif_options.width = 240;
  exif_options.height = 160;
  exif_options.app = fixtures::JpegApp::Exif;
  const Bytes exif_jpeg = fixtures::MakeJpeg(exif_options);
  const fixtures::ShotInfo shot{"SONY", "ILCE-7M4"};
  struct Case {
    const char* name;
    Bytes file;
    fixtures::PreviewPlacement at;
  };
  std::vector<Case> cases(7);
  cases[0].name = "DSC00001.ARW";
  cases[0].file = fixtures::MakeArwLike(shot, jpeg, 32767, nullptr, &cases[0].at);
  cases[1].name = "P1000001.RW2";
  cases[1].file = fixtures::MakeRw2Like({"Panasonic", "DC-G9"}, exif_jpeg, &cases[1].at);
  cases[2].name = "IMG_0001.DNG";
  cases[2].file = fixtures::MakeProRawDngLike({"Apple", "iPhone 12 Pro"}, jpeg, &cases[2].at);
  cases[3].name = "IMGP0001.PEF";
  cases[3].file = fixtures::MakeRicohPefLike({"RICOH IMAGING COMPANY, LTD.", "PENTAX K-3 II"},
                                             nullptr, jpeg, false, nullptr, &cases[3].at);
  cases[4].name = "P0000001.ORF";
  cases[4].file =
      fixtures::MakeOmSystemOrfLike({"OM Digital Solutions", "OM-1"}, jpeg, &cases[4].at);
  cases[5].name = "SAM_0001.SRW";
  cases[5].file = fixtures::MakeSrwLike({"SAMSUNG", "NX1"}, jpeg, 32770, &cases[5].at);
  cases[6].name = "CF000001.IIQ";
  cases[6].file = fixtures::MakeIiqLike({"Phase One", "IQ4 150MP"}, jpeg, &cases[6].at);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(IsRegionAt(Extract(c.file, c.name).jpeg, c.file, c.at.offset, c.at.length));
    ExpectEveryCutCompleteOrNothing(c.file, c.name, c.at, 1);
  }
}

// Guards: CR3 files cut inside a box header, the metadata, PRVW or the track
// JPEG in mdat, in the plain layout and with stco, 64-bit sizes and a size-0 mdat.
TEST(TruncatedFiles, Cr3FixturesGiveTheWholePreviewOrNothingAtEveryCut) {
  for (bool variant : {false, true}) {
    fixtures::Cr3Options o;
    o.track_jpeg = {fixtures::MakeJpeg({64, 48}), 6000, 4000};
    o.preview = {fixtures::MakeJpeg({48, 32}), 1620, 1080};
    o.thumbnail = {fixtures::MakeJpeg({16, 12}), 160, 120};
    o.stco = o.large_sizes = variant;
    o.mdat_size_zero = variant;
    fixtures::Cr3Layout layout;
    const Bytes file = fixtures::MakeCr3File(o, &layout);
    const fixtures::PreviewPlacement track{layout.track_jpeg_offset,
                                           static_cast<uint32_t>(o.track_jpeg.jpeg.size())};
    EXPECT_TRUE(IsRegionAt(Extract(file, "IMG_0001.CR3").jpeg, file, track.offset, track.length));
    ExpectEveryCutCompleteOrNothing(file, "IMG_0001.CR3", track, 1);
  }
}

// Guards: a real camera file cut short (a failed copy) giving a broken JPEG.
TEST(TruncatedFiles, SamplesGiveACompletePreviewOrNothingAtEveryCut) {
  const std::string root = RAWLIFT_SAMPLES_DIR;
  std::ifstream manifest(root + "/MANIFEST.tsv");
  if (root.empty() || !manifest) GTEST_SKIP() << "no samples folder";
  std::string line;
  std::getline(manifest, line);  // header
  int files = 0;
  while (std::getline(manifest, line)) {
    const std::string relative = line.substr(0, line.find('\t'));
    std::ifstream in(root + "/" + relative, std::ios::binary);
    if (!in) continue;
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string name = relative.substr(relative.find_last_of('/') + 1);
    SCOPED_TRACE(relative);
    // Every 8th byte at the start keeps the run short over dozens of files.
    ExpectEveryCutCompleteOrNothing(file, name, fixtures::PreviewPlacement(), 8);
    const Outcome whole = Extract(file, name);
    if (whole.produced) {
      EXPECT_TRUE(IsRegionOf(whole.jpeg, file));
    }
    ++files;
  }
  EXPECT_GT(files, 0);
}

namespace {

// A raw-looking TIFF: IFD0 with make/model and a strip-based raw image, plus
// whatever hostile entries `decorate` adds to IFD0.
template <typename Decorate>
Bytes HostileTiff(Decorate decorate) {
  fixtures::TiffBuilder tiff;
  const auto ifd0 = tiff.NewIfd();
  const auto raw = tiff.AddBlob(Bytes(64, 0x11));
  tiff.ifd(ifd0)
      .Ascii(0x10F, "NIKON CORPORATION")
      .Ascii(0x110, "NIKON D700")
      .Long(0x100, 4288)
      .Long(0x101, 2848)
      .Short(0x102, 12)
      .Short(0x103, 34713)
      .OffsetOf(0x111, raw)
      .Long(0x117, 64);
  decorate(tiff, ifd0);
  tiff.Chain({ifd0});
  return tiff.Build();
}

void ExpectNothingOrRegion(const Bytes& file, const char* name = "DSC_0001.NEF") {
  const Outcome outcome = Extract(file, name);
  if (outcome.produced) {
    EXPECT_TRUE(IsRegionOf(outcome.jpeg, file));
  }
}

}  // namespace

TEST(HostileStructures, LoopsCountsAndOffsetsEndInBoundedTime) {
  const Bytes jpeg = fixtures::MakeJpeg({64, 48});
  // Guards: an IFD chain whose next pointer is the IFD itself looping forever.
  ExpectNothingOrRegion(HostileTiff(
      [](fixtures::TiffBuilder& t, fixtures::IfdId id) { t.ifd(id).NextOffsetOverride(8); }));
  // Guards: a sub-IFD pointing at its own parent recursing without end.
  ExpectNothingOrRegion(HostileTiff([](fixtures::TiffBuilder& t, fixtures::IfdId id) {
    const auto sub = t.NewIfd();
    t.ifd(sub).Long(0x100, 160).Verbatim(0x14A, 4, 1, 8);
    t.ifd(id).PointerTo(0x14A, sub);
  }));
  // Guards: Exif and sub-IFD pointers to the directory holding them.
  ExpectNothingOrRegion(HostileTiff([](fixtures::TiffBuilder& t, fixtures::IfdId id) {
    t.ifd(id).Verbatim(0x14A, 4, 1, 8).Verbatim(0x8769, 4, 1, 8).Verbatim(0x927C, 7, 16, 8);
  }));
  // Guards: counts of 0xFFFFFFFF sizing an allocation or a loop from the file.
  ExpectNothingOrRegion(HostileTiff([](fixtures::TiffBuilder& t, fixtures::IfdId id) {
    t.ifd(id)
        .Verbatim(0x14A, 4, 0xFFFFFFFF, 8)
        .Verbatim(0x111, 4, 0xFFFFFFFF, 8)
        .Verbatim(0x10F, 2, 0xFFFFFFFF, 8)
        .Verbatim(0x927C, 7, 0xFFFFFFFF, 8);
  }));
  // Guards: a preview length of 0xFFFFFFFF or one running past the file.
  ExpectNothingOrRegion(HostileTiff([&](fixtures::TiffBuilder& t, fixtures::IfdId id) {
    t.ifd(id).OffsetOf(0x201, t.AddBlob(jpeg)).Long(0x202, 0xFFFFFFFF);
  }));
  ExpectNothingOrRegion(HostileTiff([&](fixtures::TiffBuilder& t, fixtures::IfdId id) {
    t.ifd(id).OffsetOf(0x201, t.AddBlob(jpeg)).Long(0x202, static_cast<uint32_t>(jpeg.size()) * 4);
  }));
  // Guards: offsets beyond the file read as if they were data.
  ExpectNothingOrRegion(HostileTiff([](fixtures::TiffBuilder& t, fixtures::IfdId id) {
    t.ifd(id).Long(0x201, 0xFFFFFFF0).Long(0x202, 4096).Verbatim(0x8769, 4, 1, 0xFFFFFFF0);
  }));
  // Guards: a zero-length preview returned as an empty "success".
  {
    const Bytes file = HostileTiff([&](fixtures::TiffBuilder& t, fixtures::IfdId id) {
      t.ifd(id).OffsetOf(0x201, t.AddBlob(jpeg)).Long(0x202, 0);
    });
    const Outcome outcome = Extract(file, "DSC_0001.NEF");
    if (outcome.produced) {
      EXPECT_TRUE(IsRegionOf(outcome.jpeg, file));
    }
  }
  // Guards: a directory declaring 65535 entries that are not there.
  ExpectNothingOrRegion(HostileTiff(
      [](fixtures::TiffBuilder& t, fixtures::IfdId id) { t.ifd(id).DeclaredCount(0xFFFF); }));
}

// Guards: sub-IFD nesting deep enough to exhaust the stack.
TEST(HostileStructures, DeepSubIfdNestingEnds) {
  constexpr int kLevels = 2000;
  const Bytes file = HostileTiff([](fixtures::TiffBuilder& t, fixtures::IfdId id) {
    fixtures::IfdId parent = id;
    for (int level = 0; level < kLevels; ++level) {
      const auto child = t.NewIfd();
      t.ifd(child).Long(0x100, 160 + level);
      t.ifd(parent).PointerTo(0x14A, child);
      parent = child;
    }
  });
  ExpectNothingOrRegion(file);
}

TEST(HostileStructures, CiffHeapsPointingBackEnd) {
  const Bytes jpeg = fixtures::MakeJpeg({64, 48});
  fixtures::CiffHeap inner;
  inner.Data(0x080A, fixtures::CiffMakeModel("Canon", "Canon EOS D30"));
  // Guards: a sub-heap whose range is its own heap, walked again and again.
  inner.SelfReference(0x300A);
  // Guards: a sub-heap at offset 0 of the file: the header and root again.
  inner.Verbatim(0x300B, 0xFFFFFFFF, 0);
  // Guards: a record whose data runs far beyond the file.
  inner.Verbatim(0x2007, 0x7FFFFFFF, 0x10);
  fixtures::CiffHeap root;
  root.Data(0x2007, jpeg).SubHeap(0x300A, inner).SelfReference(0x300B);
  const Bytes file = fixtures::MakeCrwFile(root);
  ExpectNothingOrRegion(file, "CRW_0001.CRW");
  // Guards: a declared record count far beyond the table.
  fixtures::CiffHeap lying;
  lying.Data(0x2007, jpeg).DeclaredCount(0xFFFF);
  ExpectNothingOrRegion(fixtures::MakeCrwFile(lying), "CRW_0002.CRW");
}

namespace {

// A CR3 file with all three JPEGs (the track's the largest), for the hostile
// variants below to break.
fixtures::Cr3Options Cr3WithThreeJpegs() {
  fixtures::Cr3Options o;
  o.track_jpeg = {fixtures::MakeJpeg({64, 48}), 6000, 4000};
  o.preview = {fixtures::MakeJpeg({48, 32}), 1620, 1080};
  o.thumbnail = {fixtures::MakeJpeg({16, 12}), 160, 120};
  return o;
}

constexpr const char* kCr3Name = "IMG_0001.CR3";

Bytes BigEndian32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

void PutBigEndian64(Bytes& b, size_t at, uint64_t v) {
  fixtures::PutU32(b, at, static_cast<uint32_t>(v >> 32), false);
  fixtures::PutU32(b, at + 4, static_cast<uint32_t>(v), false);
}

// `levels` boxes each holding the next and nothing else, with exact sizes.
Bytes NestedBoxes(const std::string& type, const Bytes& user_type, size_t levels) {
  const size_t header = 8 + user_type.size();
  Bytes out;
  out.reserve(header * levels);
  for (size_t i = 0; i < levels; ++i) {
    const Bytes size = BigEndian32(static_cast<uint32_t>(header * (levels - i)));
    out.insert(out.end(), size.begin(), size.end());
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), user_type.begin(), user_type.end());
  }
  return out;
}

// The outcome is the JPEG stored at this place, and nothing else.
void ExpectRegion(const Bytes& file, uint32_t offset, size_t length) {
  const Outcome outcome = Extract(file, kCr3Name);
  ASSERT_TRUE(outcome.produced);
  EXPECT_TRUE(IsRegionAt(outcome.jpeg, file, offset, static_cast<uint32_t>(length)));
}

}  // namespace

TEST(HostileCr3, BoxSizesThatLieEndTheirLevel) {
  const fixtures::Cr3Options base = Cr3WithThreeJpegs();
  auto before_moov = [&](const Bytes& box) {
    fixtures::Cr3Options o = base;
    o.after_ftyp = box;
    return fixtures::MakeCr3File(o);
  };
  // Guards: a size-0 box read as running past its parent, or its end not
  // taken as the end of the file (the walk going on at random bytes).
  ExpectNothingOrRegion(before_moov(Bytes{0, 0, 0, 0, 'f', 'r', 'e', 'e'}), kCr3Name);
  // Guards: a 64-bit size past the end of the file taken as the box's extent.
  ExpectNothingOrRegion(before_moov(fixtures::Cr3LargeBox("free", {}, uint64_t{1} << 40)),
                        kCr3Name);
  // Guards: a 64-bit size near 2^64 wrapping the box's end around to before it.
  ExpectNothingOrRegion(before_moov(fixtures::Cr3LargeBox("uuid", Bytes(16, 0), ~uint64_t{0})),
                        kCr3Name);
  // Guards: sizes smaller than their header walking in place for ever (2 to 7,
  // a 64-bit size below 16, a uuid box too short for its user type).
  for (uint32_t size = 2; size < 8; ++size) {
    Bytes box = BigEndian32(size);
    box.insert(box.end(), {'f', 'r', 'e', 'e'});
    ExpectNothingOrRegion(before_moov(box), kCr3Name);
  }
  ExpectNothingOrRegion(before_moov(fixtures::Cr3LargeBox("free", {}, 8)), kCr3Name);
  Bytes short_uuid = BigEndian32(16);
  short_uuid.insert(short_uuid.end(), {'u', 'u', 'i', 'd', 0, 0, 0, 0, 0, 0, 0, 0});
  ExpectNothingOrRegion(before_moov(short_uuid), kCr3Name);

  // Guards: moov's own 64-bit size past the file letting its children run
  // past the end.
  fixtures::Cr3Options large = base;
  large.large_sizes = true;
  fixtures::Cr3Layout layout;
  Bytes file = fixtures::MakeCr3File(large, &layout);
  PutBigEndian64(file, layout.boxes["moov"] + 8, file.size() * 2);
  ExpectNothingOrRegion(file, kCr3Name);
  // Guards: a trak whose 64-bit size runs past moov reading the boxes after
  // moov as its own.
  file = fixtures::MakeCr3File(large, &layout);
  PutBigEndian64(file, layout.boxes["trak1"] + 8, file.size() - layout.boxes["trak1"]);
  ExpectNothingOrRegion(file, kCr3Name);
}

TEST(HostileCr3, DeepNestingAndCountlessBoxesEnd) {
  fixtures::Cr3Options o = Cr3WithThreeJpegs();
  // Guards: boxes nested far deeper than any real file exhausting the stack;
  // the nesting ends only that box, so the real moov after it still counts.
  constexpr size_t kLevels = 100000;
  o.after_ftyp = NestedBoxes("moov", {}, kLevels);
  fixtures::Cr3Layout layout;
  Bytes file = fixtures::MakeCr3File(o, &layout);
  ExpectRegion(file, layout.track_jpeg_offset, o.track_jpeg.jpeg.size());
  // Guards: the same through the metadata uuid, which is entered like a container.
  const Bytes canon_uuid = {0x85, 0xc0, 0xb6, 0x87, 0x82, 0x0f, 0x11, 0xe0,
                            0x81, 0x11, 0xf4, 0xce, 0x46, 0x2b, 0x6a, 0x48};
  o.after_ftyp.clear();
  o.moov_prefix = NestedBoxes("uuid", canon_uuid, kLevels / 2);
  file = fixtures::MakeCr3File(o, &layout);
  ExpectRegion(file, layout.track_jpeg_offset, o.track_jpeg.jpeg.size());
  // Guards: a file of countless tiny boxes costing a header read each.
  o.moov_prefix.clear();
  for (size_t i = 0; i < 200000; ++i)
    o.moov_prefix.insert(o.moov_prefix.end(), {0, 0, 0, 8, 'f', 'r', 'e', 'e'});
  ExpectNothingOrRegion(fixtures::MakeCr3File(o), kCr3Name);
}

TEST(HostileCr3, SampleTablesPointingOutsideTheFile) {
  const fixtures::Cr3Options base = Cr3WithThreeJpegs();
  fixtures::Cr3Layout layout;
  const Bytes file = fixtures::MakeCr3File(base, &layout);
  const size_t preview_length = base.preview.jpeg.size();
  const uint32_t co64 = layout.boxes["trak1/co64"], stsz = layout.boxes["trak1/stsz"];
  // Guards: a chunk offset past the file, or one whose sum with the sample
  // size wraps around 2^64, taken as the preview: PRVW is next in size.
  for (uint64_t offset : {uint64_t{file.size()}, uint64_t{0xFFFFFFFFFFFFFF00}, uint64_t{1} << 32}) {
    Bytes broken = file;
    PutBigEndian64(broken, co64 + 16, offset);
    ExpectRegion(broken, layout.preview_offset, preview_length);
  }
  // Guards: a sample size of 4 GiB sizing the read or the allocation.
  Bytes broken = file;
  fixtures::PutU32(broken, stsz + 20, 0xFFFFFFFF, false);
  ExpectRegion(broken, layout.preview_offset, preview_length);
  // Guards: counts of 0xFFFFFFFF read as table lengths to walk or allocate.
  broken = file;
  fixtures::PutU32(broken, stsz + 16, 0xFFFFFFFF, false);
  fixtures::PutU32(broken, co64 + 12, 0xFFFFFFFF, false);
  ExpectRegion(broken, layout.track_jpeg_offset, base.track_jpeg.jpeg.size());
  // Guards: an empty table's first entry read all the same (the bytes after
  // the box).
  broken = file;
  fixtures::PutU32(broken, co64 + 12, 0, false);
  ExpectRegion(broken, layout.preview_offset, preview_length);
  // Guards: a co64 box too short for its one entry read beyond its end.
  broken = file;
  fixtures::PutU32(broken, co64, 16, false);
  ExpectNothingOrRegion(broken, kCr3Name);

  // Guards: a 32-bit chunk offset past the file.
  fixtures::Cr3Options stco = base;
  stco.stco = true;
  broken = fixtures::MakeCr3File(stco, &layout);
  fixtures::PutU32(broken, layout.boxes["trak1/stco"] + 16, 0xFFFFFFF0, false);
  ExpectRegion(broken, layout.preview_offset, preview_length);

  // Guards: a CRAW entry too short for its width and height, its children
  // starting past its end.
  broken = fixtures::MakeCr3File(base, &layout);
  fixtures::PutU32(broken, layout.boxes["trak1/CRAW"], 16, false);
  ExpectNothingOrRegion(broken, kCr3Name);
}

TEST(HostileCr3, BoxedJpegLengthsPastTheirBox) {
  fixtures::Cr3Options o = Cr3WithThreeJpegs();
  o.track_jpeg.jpeg.clear();
  fixtures::Cr3Layout layout;
  // Guards: a PRVW length past its box reading what follows (mdat) as JPEG
  // bytes; the padding itself may be claimed (6 bytes), one more may not.
  for (int64_t delta : {int64_t{7}, int64_t{0x10000},
                        int64_t{0xFFFFFFFF} - static_cast<int64_t>(o.preview.jpeg.size())}) {
    o.preview_length_delta = delta;
    const Bytes file = fixtures::MakeCr3File(o, &layout);
    ExpectRegion(file, layout.thumbnail_offset, o.thumbnail.jpeg.size());
  }
  o.preview_length_delta = 6;
  Bytes file = fixtures::MakeCr3File(o, &layout);
  EXPECT_TRUE(Extract(file, kCr3Name).produced);
  // Guards: the same for THMB, whose box is followed by mvhd and the tracks.
  o.preview.jpeg.clear();
  for (int64_t delta : {int64_t{4}, int64_t{0x7FFFFFFF}}) {
    o.thumbnail_length_delta = delta;
    EXPECT_FALSE(Extract(fixtures::MakeCr3File(o), kCr3Name).produced) << delta;
  }
  // Guards: a PRVW box running past its uuid box (into mdat) read all the same.
  o = Cr3WithThreeJpegs();
  o.track_jpeg.jpeg.clear();
  file = fixtures::MakeCr3File(o, &layout);
  const uint32_t prvw = layout.boxes["PRVW"];
  fixtures::PutU32(file, prvw, static_cast<uint32_t>(file.size() - prvw), false);
  ExpectRegion(file, layout.thumbnail_offset, o.thumbnail.jpeg.size());
}

namespace {

// A file far larger than its stored bytes, as a sparse file is: the bytes
// given, zeros up to `size`, and the last `tail` stored bytes again at the
// very end (for containers whose directory is found from the end). It
// counts what the engine reads from it.
class SparseSource final : public engine::ByteSource {
 public:
  SparseSource(const Bytes& head, int64_t size, size_t tail)
      : head_(head), size_(size), tail_(std::min(tail, head.size())) {}
  int64_t Size() const override { return size_; }
  size_t ReadAt(int64_t offset, void* buffer, size_t n) const override {
    if (offset < 0 || offset >= size_) return 0;
    const size_t count = static_cast<size_t>(std::min<int64_t>(n, size_ - offset));
    auto* out = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < count; ++i) out[i] = ByteAt(offset + static_cast<int64_t>(i));
    bytes_read_ += count;
    return count;
  }
  uint64_t bytes_read() const { return bytes_read_; }

 private:
  uint8_t ByteAt(int64_t at) const {
    if (at < static_cast<int64_t>(head_.size())) return head_[static_cast<size_t>(at)];
    const int64_t from_end = size_ - at;
    if (from_end <= static_cast<int64_t>(tail_)) return head_[head_.size() - from_end];
    return 0;
  }

  const Bytes& head_;
  const int64_t size_;
  const size_t tail_;
  mutable uint64_t bytes_read_ = 0;
};

// The sparse file of the report: 5 GiB, of which the headers and one real
// JPEG are stored.
constexpr int64_t kSparseSize = int64_t{5} << 30;
constexpr uint32_t kThreeGiB = uint32_t{3} << 30;
// CIFF and X3F find their directories from the end of the file, which the
// engine takes at most 2 GiB far: such a file is made that large, with a
// 1 GiB claim.
constexpr int64_t kEndDirectorySize = 0x7FFFFFFF;
constexpr uint32_t kOneGiB = uint32_t{1} << 30;
constexpr size_t kEndPointer = 4;
// Well below the bound, so copied as stored: the JPEG, then zeros.
constexpr uint32_t kFourMiB = uint32_t{4} << 20;

// The file with its one 32-bit field holding `stored` (in either byte order)
// set to `claim` in the same order; the file unchanged, and a test failure,
// when the value is not found exactly once.
Bytes WithClaim(Bytes file, uint32_t stored, uint32_t claim) {
  std::vector<std::pair<size_t, bool>> found;
  for (bool big : {false, true}) {
    const uint8_t b[4] = {static_cast<uint8_t>(big ? stored >> 24 : stored),
                          static_cast<uint8_t>(big ? stored >> 16 : stored >> 8),
                          static_cast<uint8_t>(big ? stored >> 8 : stored >> 16),
                          static_cast<uint8_t>(big ? stored : stored >> 24)};
    for (auto at = file.begin(); (at = std::search(at, file.end(), b, b + 4)) != file.end(); ++at)
      found.emplace_back(static_cast<size_t>(at - file.begin()), big);
  }
  if (found.size() != 1) {
    ADD_FAILURE() << stored << " is stored " << found.size() << " times";
    return file;
  }
  fixtures::PutU32(file, found[0].first, claim, !found[0].second);
  return file;
}

struct ClaimCase {
  std::string name;
  Bytes file;  // the stored bytes, with the hostile length in place
  int64_t size;
  size_t tail;  // stored bytes repeated at the end
  engine::NoPreviewReason reason;
  uint64_t copied;  // with kNone: the length of the stored preview given
};

}  // namespace

// One preview length claim per container family in a 5 GiB sparse file: a
// claim over the bound is refused before any allocation or large read,
// however large the file; a claim below it is copied as stored.
TEST(HostileLengths, PreviewClaimsOverTheBoundAreRefusedInEveryContainer) {
  using engine::NoPreviewReason;
  const Bytes jpeg = fixtures::MakeJpeg({240, 160});
  const uint32_t length = static_cast<uint32_t>(jpeg.size());
  const fixtures::ShotInfo shot{"NIKON CORPORATION", "NIKON D700"};
  std::vector<ClaimCase> cases;

  // Guards: a TIFF JPEGInterchangeFormatLength of 3 GiB in a 5 GiB file
  // allocating and writing 3 GiB (the reported fault).
  cases.push_back({"DSC_0001.NEF", WithClaim(fixtures::MakeNefLike(shot, jpeg), length, kThreeGiB),
                   kSparseSize, 0, NoPreviewReason::kPreviewTooLarge, 0});
  // Guards: the bound refusing claims no larger than real previews: 4 MiB is
  // copied as stored, the JPEG and then the file's zeros.
  cases.push_back({"DSC_0002.NEF", WithClaim(fixtures::MakeNefLike(shot, jpeg), length, kFourMiB),
                   kSparseSize, 0, NoPreviewReason::kNone, kFourMiB});
  // Guards: an Olympus maker note's preview length passing the bound by.
  cases.push_back(
      {"P0000001.ORF",
       WithClaim(fixtures::MakeOrfLike({"OLYMPUS IMAGING CORP.", "E-M5"}, jpeg), length, kThreeGiB),
       kSparseSize, 0, NoPreviewReason::kPreviewTooLarge, 0});
  // Guards: a CIFF JPEG record claiming 1 GiB.
  {
    fixtures::ByteWriter sensor(true);
    sensor.u16(0).u16(3152).u16(2068);
    fixtures::CiffHeap exif;
    exif.Data(0x080a, fixtures::CiffMakeModel("Canon", "Canon EOS 10D"))
        .Data(0x1031, sensor.take())
        .Value(0x5029, 0x00180000);
    fixtures::CiffHeap props;
    props.SubHeap(0x300b, exif);
    fixtures::CiffHeap images;
    // The comment first keeps the heap's table offset from equalling the
    // JPEG's length.
    images.Data(0x0805, Bytes(16, 'c')).Data(0x2007, jpeg);
    fixtures::CiffHeap root;
    root.SubHeap(0x300a, props).SubHeap(0x2804, images);
    cases.push_back({"CRW_0001.CRW", WithClaim(fixtures::MakeCrwFile(root), length, kOneGiB),
                     kEndDirectorySize, kEndPointer, NoPreviewReason::kPreviewTooLarge, 0});
  }
  // Guards: a CR3 track sample size of 3 GiB, the file's only JPEG.
  fixtures::Cr3Options cr3;
  cr3.track_jpeg = {jpeg, 6000, 4000};
  cases.push_back({"IMG_0001.CR3", WithClaim(fixtures::MakeCr3File(cr3), length, kThreeGiB),
                   kSparseSize, 0, NoPreviewReason::kPreviewTooLarge, 0});
  // Guards: a 3 GiB track sample winning over the PRVW beside it, which is
  // what a camera wrote.
  const Bytes prvw = fixtures::MakeJpeg({48, 32});
  cr3.preview = {prvw, 1620, 1080};
  cases.push_back({"IMG_0002.CR3", WithClaim(fixtures::MakeCr3File(cr3), length, kThreeGiB),
                   kSparseSize, 0, NoPreviewReason::kNone, prvw.size()});
  // Guards: a RAF header's preview length of 3 GiB.
  {
    fixtures::JpegOptions withExif;
    withExif.width = 64;
    withExif.height = 48;
    withExif.app = fixtures::JpegApp::Exif;
    withExif.exif_make = "FUJIFILM";
    withExif.exif_model = "FinePix S5Pro";
    fixtures::RafOptions raf;
    raf.jpeg = fixtures::MakeJpeg(withExif);
    raf.directory = {fixtures::RafSize(0x100, 1444, 4352), fixtures::RafSize(0x121, 1424, 2128)};
    raf.preview_length = kThreeGiB;
    cases.push_back({"DSCF0001.RAF", fixtures::MakeRafFile(raf), kSparseSize, 0,
                     NoPreviewReason::kPreviewTooLarge, 0});
  }
  // Guards: an X3F image section claiming 1 GiB.
  {
    fixtures::X3fOptions x3f;
    x3f.sections = {fixtures::X3fImage(2640, 1760, jpeg),
                    fixtures::X3fImage(2688, 1792, Bytes(32, 0x40)),
                    fixtures::X3fProperties({{"CAMMANUF", "SIGMA"}, {"CAMMODEL", "SIGMA SD14"}})};
    const uint32_t section = static_cast<uint32_t>(x3f.sections[0].bytes.size());
    cases.push_back({"SDIM0001.X3F", WithClaim(fixtures::MakeX3fFile(x3f), section, kOneGiB),
                     kEndDirectorySize, kEndPointer, NoPreviewReason::kPreviewTooLarge, 0});
  }
  // Guards: a Leaf MOS JPEG_preview_data packet claiming 3 GiB.
  {
    fixtures::MosPacket packet{"JPEG_preview_data", jpeg, {}, kThreeGiB};
    uint32_t chain = 0;
    cases.push_back(
        {"CF000001.MOS",
         fixtures::BuildLeafTiff({fixtures::MosPacket::Text("ShootObj_back_type", "12"), packet},
                                 false, &chain),
         kSparseSize, 0, NoPreviewReason::kPreviewTooLarge, 0});
  }

  for (const ClaimCase& c : cases) {
    SCOPED_TRACE(c.name);
    const SparseSource source(c.file, c.size, c.tail);
    const platform::NativePath path =
        platform::ToNativePath(u"/nonexistent-rawlift-hostile/" + platform::Utf8ToUtf16(c.name));
    const engine::ExtractedPreview got =
        engine::ExtractEmbeddedPreviewFrom(source, c.name, path, engine::ExtractOptions());
    EXPECT_EQ(got.reason, c.reason) << engine::NoPreviewReasonText(got.reason);
    if (c.reason == NoPreviewReason::kNone) {
      const size_t room = got.exif_synthesized ? engine::kExifSegmentSize : 0;
      EXPECT_EQ(got.length, c.copied + room);
    } else {
      EXPECT_FALSE(got.bytes);
      // Nothing near the claim was read: the headers and a window or two.
      EXPECT_LT(source.bytes_read(), uint64_t{1} << 20);
    }
  }
}
