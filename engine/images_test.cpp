// The list of embedded images and the choice of one per use, over the layouts
// cameras write (one table of files with their expected lists and choices),
// and the reasons given to files cut short.
#include "engine/images.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/engine_test_support.h"
#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/cr3_builder.h"

namespace {

using engine::ImageKind;
using engine::NoPreviewReason;
using fixtures::Bytes;

Bytes Jpeg(int width, int height, fixtures::JpegApp app = fixtures::JpegApp::Jfif) {
  fixtures::JpegOptions options;
  options.width = width;
  options.height = height;
  options.app = app;
  options.seed = static_cast<uint32_t>(width * 7 + height);
  return fixtures::MakeJpeg(options);
}

engine::Identification Identify(const Bytes& file) {
  engine::MemorySource source(file);
  engine::Identification id;
  engine::IdentifyImages(source, "fixture", platform::NativePath(), &id);
  return id;
}

// An image as the table states it: "where kind WxH" plus the flags that are set
// ("past-end", "own-exif", "chosen").
std::string Describe(const engine::Identification& id, size_t i) {
  const engine::EmbeddedImage& image = id.images[i];
  std::string text = image.where + " " + engine::ImageKindName(image.kind) + " " +
                     std::to_string(image.width) + "x" + std::to_string(image.height);
  if (!image.complete) text += " past-end";
  if (image.own_exif) text += " own-exif";
  if (static_cast<int>(i) == id.extraction_choice) text += " chosen";
  return text;
}

// The image a use picks, as "where", or the reason's text when none.
std::string Picked(const engine::Identification& id, int32_t cover, bool converted = false) {
  engine::ImageUse use;
  use.cover = cover;
  use.accept_converted = converted;
  const engine::ImageChoice choice = engine::ChooseImage(id, use);
  if (choice.index < 0) return std::string("none: ") + engine::NoPreviewReasonText(choice.reason);
  return id.images[choice.index].where;
}

const fixtures::ShotInfo kNikon{"NIKON CORPORATION", "NIKON Z 6_2"};
const fixtures::ShotInfo kSony{"SONY", "ILCE-7M4"};
const fixtures::ShotInfo kCanon{"Canon", "Canon EOS R6"};

struct Layout {
  const char* name;
  std::function<Bytes()> build;
  std::vector<std::string> images;  // Describe() of each, in list order
  // What a use of each size picks: 160, 256, 1024, 8000 pixels.
  std::vector<std::string> picks;
};

fixtures::Cr3Options Cr3WithThreeJpegs() {
  fixtures::Cr3Options options;
  options.shot = kCanon;
  options.track_jpeg = {Jpeg(1200, 800), 1200, 800};
  options.preview = {Jpeg(540, 360), 540, 360};
  options.thumbnail = {Jpeg(160, 120), 160, 120};
  return options;
}

const Layout kLayouts[] = {
    {"NEF: RGB thumbnail, SubIFD JPEG",
     [] { return fixtures::MakeNefLike(kNikon, Jpeg(600, 400)); },
     {"IFD0 bitmap 160x120", "SubIFD jpeg 600x400 chosen"},
     {"SubIFD", "SubIFD", "SubIFD", "SubIFD"}},
    {"CR2: IFD0 JPEG with own Exif, IFD1 thumbnail",
     [] { return fixtures::MakeCr2Like(kCanon, Jpeg(900, 600, fixtures::JpegApp::Exif)); },
     {"IFD0 jpeg 900x600 own-exif chosen", "IFD1 jpeg 160x120"},
     {"IFD1", "IFD0", "IFD0", "IFD0"}},
    {"ARW: IFD0 preview, IFD1 thumbnail, full-size IFD2",
     [] {
       const Bytes full = Jpeg(1500, 1000);
       return fixtures::MakeArwLike(kSony, Jpeg(808, 540), 32767, &full);
     },
     {"IFD0 jpeg 808x540", "IFD1 jpeg 160x120", "IFD2 jpeg 1500x1000 chosen"},
     {"IFD1", "IFD0", "IFD2", "IFD2"}},
    {"Leica DNG: three SubIFD previews",
     [] {
       return fixtures::MakeLeicaDngLike({"Leica Camera AG", "LEICA M10"}, Jpeg(1200, 800),
                                         Jpeg(600, 400), Jpeg(300, 200));
     },
     {"SubIFD jpeg 1200x800 chosen", "SubIFD1 jpeg 600x400", "SubIFD2 jpeg 300x200"},
     {"SubIFD2", "SubIFD2", "SubIFD", "SubIFD"}},
    {"Ricoh PEF: maker-note preview and full IFD2",
     [] {
       const Bytes full = Jpeg(1200, 800);
       return fixtures::MakeRicohPefLike({"RICOH IMAGING COMPANY, LTD.", "PENTAX K-3 Mark III"},
                                         &full, Jpeg(720, 480), true);
     },
     {"MakerNote PreviewImage jpeg 720x480", "IFD1 jpeg 160x120", "IFD2 jpeg 1200x800 chosen"},
     {"IFD1", "MakerNote PreviewImage", "IFD2", "IFD2"}},
    {"CR3: THMB, full-size track, PRVW",
     [] { return fixtures::MakeCr3File(Cr3WithThreeJpegs()); },
     {"THMB jpeg 160x120", "track 1 jpeg 1200x800 chosen", "PRVW jpeg 540x360"},
     {"THMB", "PRVW", "track 1", "track 1"}},
};

TEST(EmbeddedImages, EachLayoutListsEveryImageAndPicksPerUse) {
  const int32_t kCovers[] = {160, 256, 1024, 8000};
  for (const Layout& layout : kLayouts) {
    SCOPED_TRACE(layout.name);
    const engine::Identification id = Identify(layout.build());
    EXPECT_EQ(id.reason, NoPreviewReason::kNone);
    std::vector<std::string> listed;
    for (size_t i = 0; i < id.images.size(); ++i) listed.push_back(Describe(id, i));
    EXPECT_EQ(listed, layout.images);
    std::vector<std::string> picks;
    for (int32_t cover : kCovers) picks.push_back(Picked(id, cover));
    EXPECT_EQ(picks, layout.picks);
  }
}

// What extraction writes for a use is the chosen image's own bytes: the
// smallest covering JPEG's stored bytes behind the synthesized Exif segment.
TEST(EmbeddedImages, ExtractionForASizeReturnsTheChosenImagesBytes) {
  fixtures::PreviewPlacement at;
  const Bytes thumbnail_file = fixtures::MakeCr3File(Cr3WithThreeJpegs());
  engine::MemorySource source(thumbnail_file);
  const engine::Identification id = Identify(thumbnail_file);
  for (int32_t cover : {0, 100, 500, 1100}) {
    SCOPED_TRACE(cover);
    engine::ExtractOptions options;
    options.use.cover = cover;
    const engine::ExtractedPreview got =
        engine::ExtractEmbeddedPreviewFrom(source, "fixture", platform::NativePath(), options);
    ASSERT_TRUE(got.extracted());
    engine::ImageUse use;
    use.cover = cover;
    const engine::EmbeddedImage& image = id.images[engine::ChooseImage(id, use).index];
    ASSERT_EQ(got.length, image.length + engine::kExifSegmentSize);
    EXPECT_EQ(Bytes(got.bytes.get() + engine::kExifSegmentSize + 2, got.bytes.get() + got.length),
              Bytes(thumbnail_file.begin() + static_cast<long>(image.offset) + 2,
                    thumbnail_file.begin() + static_cast<long>(image.offset + image.length)));
    EXPECT_EQ(static_cast<uint32_t>(got.width), image.width);
  }
  (void)at;
}

// A file refused for extraction is refused for every size with the same
// reason; a converted file is taken only by uses that ask for it.
TEST(EmbeddedImages, RefusedFilesStayRefusedAndConvertedOnesOnRequest) {
  fixtures::ShotInfo converted = kNikon;
  converted.software = "Adobe Photoshop Lightroom Classic 13.0";
  const engine::Identification dng = Identify(fixtures::MakeDngLike(converted, Jpeg(1024, 683)));
  EXPECT_EQ(dng.reason, NoPreviewReason::kConvertedFile);
  EXPECT_EQ(dng.extraction_choice, -1);
  const std::string refused = "none: not a camera raw file: written by a raw converter";
  EXPECT_EQ(Picked(dng, 0), refused);
  EXPECT_EQ(Picked(dng, 256), refused);
  EXPECT_NE(Picked(dng, 0, true).rfind("none:", 0), 0u);
  EXPECT_EQ(Picked(dng, 256, true), Picked(dng, 0, true));

  const engine::Identification tiff = Identify(fixtures::MakeRgbTiff(kNikon, 300, 200));
  EXPECT_EQ(Picked(tiff, 256, true), "none: not a camera raw file: an ordinary image");
}

// A preview whose Exif comes after a JFIF segment keeps it: no second,
// synthesized segment goes in front.
TEST(EmbeddedImages, ExifAfterAFirstSegmentIsThePreviewsOwn) {
  const Bytes exif_after_jfif =
      fixtures::InsertSegmentAfterSoi(Jpeg(600, 400), 0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0});
  const Bytes preview = fixtures::InsertSegmentAfterSoi(
      fixtures::StripAppSegments(exif_after_jfif), 0xE1,
      fixtures::MakeExifApp1Body("NIKON CORPORATION", "NIKON Z 6_2"));
  const Bytes jfif_then_exif =
      fixtures::InsertSegmentAfterSoi(preview, 0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0});
  for (engine::MetadataMode mode :
       {engine::MetadataMode::kCompact, engine::MetadataMode::kComplete}) {
    fixtures::PreviewPlacement at;
    const Bytes file = fixtures::MakeNefLike(kNikon, jfif_then_exif, &at);
    engine::MemorySource source(file);
    engine::ExtractOptions options;
    options.metadata = mode;
    const engine::ExtractedPreview got =
        engine::ExtractEmbeddedPreviewFrom(source, "fixture", platform::NativePath(), options);
    ASSERT_TRUE(got.extracted());
    EXPECT_FALSE(got.exif_synthesized);
    EXPECT_EQ(got.length, jfif_then_exif.size());
  }
}

// Files cut short: the reason says so when the make or the container names a
// camera; what is extracted from them does not change.
TEST(EmbeddedImages, FilesCutShortSaySo) {
  struct Case {
    const char* name;
    Bytes file;
    size_t keep;  // bytes kept from the start
    NoPreviewReason expected;
  };
  const Bytes nef = fixtures::MakeNefLike(kNikon, Jpeg(600, 400));
  const Bytes cr3 = fixtures::MakeCr3File(Cr3WithThreeJpegs());
  fixtures::Cr3Layout cr3_at;
  fixtures::MakeCr3File(Cr3WithThreeJpegs(), &cr3_at);
  const std::vector<Case> cases = {
      // Guards: a NEF cut inside its directories told "not a camera raw file".
      {"NEF cut after IFD0", nef, 700, NoPreviewReason::kFileCutShort},
      // Guards: a CR3 cut inside moov told "unknown container".
      {"CR3 cut inside moov", cr3, cr3_at.boxes.at("moov") + 64, NoPreviewReason::kFileCutShort},
      // A file whose preview alone is cut keeps its own reason.
      {"NEF cut inside its JPEG", nef, nef.size() - 100, NoPreviewReason::kPreviewOutsideFile},
      // Nothing names a camera: the reason stays.
      {"TIFF header only", Bytes{'I', 'I', 42, 0, 8, 0, 0, 0, 30, 0}, 10,
       NoPreviewReason::kUnknownContainer},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes cut(c.file.begin(), c.file.begin() + static_cast<long>(c.keep));
    EXPECT_EQ(Identify(cut).reason, c.expected);
  }
}

}  // namespace
