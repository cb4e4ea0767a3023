#include "engine/sidecar.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "engine/engine_test_support.h"
#include "engine/extract.h"
#include "engine/parsers.h"
#include "tests/fixtures/jpeg.h"

using namespace engine;
using namespace engine_test;
using fixtures::Bytes;
namespace fs = std::filesystem;

namespace {

platform::NativePath Native(const std::string& ascii) {
  return platform::NativePath(ascii.begin(), ascii.end());
}

std::string Ascii(const platform::NativePath& path) {
  std::string out;
  for (auto c : path) out += static_cast<char>(c);
  return out;
}

std::string Companion(const std::string& path) {
  return Ascii(SidecarCompanionPath(Native(path)));
}

// A folder of its own under the system's temporary folder, removed at the end.
class TempFolder {
 public:
  TempFolder() {
    std::random_device random;
    path_ = fs::temp_directory_path() / ("rawlift-sidecar-" + std::to_string(random()));
    fs::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  fs::path Write(const std::string& name, const Bytes& bytes) const {
    const fs::path file = path_ / name;
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return file;
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The state of a raw file on disk just before the sidecar lookup, with the
// engine's messages collected.
struct RawOnDisk {
  RawOnDisk(const TempFolder&, const fs::path& raw) : source(raw.native()), s(new ParseState) {
    s->diagnostics = [this](const std::string& line) { messages += line; };
    s->input.Attach(&source);
    ResetParseState(*s);
    s->input_name = raw.string();
    s->input_path = raw.native();
  }
  const std::string& Messages() const { return messages; }
  FileSource source;
  std::unique_ptr<ParseState> s;
  std::string messages;
};

Bytes ExifJpeg(const std::string& make, const std::string& model) {
  fixtures::JpegOptions o;
  o.app = fixtures::JpegApp::Exif;
  o.exif_make = make;
  o.exif_model = model;
  return fixtures::MakeJpeg(o);
}

}  // namespace

TEST(SidecarName, RawNamesSwapHalvesAndTakeTheExtensionCase) {
  EXPECT_EQ(Companion("DSCN0123.NEF"), "0123DSCN.JPG");
  EXPECT_EQ(Companion("dscn0123.nef"), "0123dscn.jpg");
  EXPECT_EQ(Companion("DscN0123.nEF"), "0123DscN.jpg");  // the first letter decides
  EXPECT_EQ(Companion("/photos/2004.01/CIMG0042.RAW"), "/photos/2004.01/0042CIMG.JPG");
  EXPECT_EQ(Companion("C:\\Photos\\DSCN0123.NEF"), "C:\\Photos\\0123DSCN.JPG");
}

TEST(SidecarName, JpegNamesCountTheShotNumberUp) {
  EXPECT_EQ(Companion("IMG_0099.JPG"), "IMG_0100.JPG");
  EXPECT_EQ(Companion("IMG_9999.JPG"), "IMG_0000.JPG");  // the carry stops at '_'
  EXPECT_EQ(Companion("dir/img_0123.jpg"), "dir/img_0124.jpg");
  EXPECT_EQ(Companion("IMG_ABCD.Jpg"), "IMG_ABCD.Jpg");  // no digits: the name itself
  // An all-digit name never carries past its first character.
  EXPECT_EQ(Companion("99999999.jpg"), "00000000.jpg");
  EXPECT_EQ(Companion("/a/99999999.jpg"), "/a/00000000.jpg");
}

TEST(SidecarName, OtherNamesHaveNoCompanion) {
  for (const char* name : {"DSC0123.NEF", "DSCN01234.NEF", "DSCN0123.NE", "DSCN0123.NEFF",
                           "DSCN0123", "/photos.d/DSCN0123", "", "DSCN0123.NEF/"}) {
    EXPECT_EQ(Companion(name), "") << name;
  }
}

TEST(SidecarLookup, CompanionExifFillsTheDescriptionAndTheInputComesBack) {
  TempFolder folder;
  const fs::path raw = folder.Write("DSCN0123.NEF", Bytes(4096, 0x55));
  folder.Write("0123DSCN.JPG", ExifJpeg("NIKON", "E900"));
  RawOnDisk r(folder, raw);
  ClaimPreview(*r.s, PreviewClaim().Offset(1234));
  r.s->raw.raw_count = 0;
  r.s->input.Seek(777);
  const int32_t raw_size = r.s->file_size;

  read_sidecar_metadata(*r.s);
  const ParseState& s = *r.s;
  EXPECT_STREQ(s.shot.make, "NIKON");
  EXPECT_STREQ(s.shot.model, "E900");
  EXPECT_EQ(RulesChoice(s).offset, 0u);  // the companion is never the preview
  EXPECT_EQ(s.raw.raw_count, 1u);
  EXPECT_EQ(s.input.Source(), &r.source);
  EXPECT_EQ(s.input.Tell(), 777);
  EXPECT_EQ(s.file_size, raw_size);
  // The fixture's Exif block carries no date.
  EXPECT_NE(r.Messages().find("Failed to read metadata from "), std::string::npos);
  EXPECT_NE(r.Messages().find("0123DSCN.JPG"), std::string::npos);
}

TEST(SidecarLookup, MissingCompanionIsSkippedWithTheMessage) {
  TempFolder folder;
  const fs::path raw = folder.Write("dscn0123.nef", Bytes(4096, 0x55));
  RawOnDisk r(folder, raw);
  ClaimPreview(*r.s, PreviewClaim().Offset(1234));
  read_sidecar_metadata(*r.s);
  EXPECT_STREQ(r.s->shot.make, "");
  EXPECT_EQ(RulesChoice(*r.s).offset, 1234u);
  EXPECT_EQ(r.s->input.Source(), &r.source);
  EXPECT_NE(r.Messages().find("0123dscn.jpg"), std::string::npos);
}

TEST(SidecarLookup, NoLookupForOtherNamesOrTheFileItself) {
  TempFolder folder;
  // A name of the wrong shape: nothing happens, not even the message.
  const fs::path odd = folder.Write("DSC0123.NEF", Bytes(64, 0));
  folder.Write("0123DSC.JPG", ExifJpeg("NIKON", "E900"));
  RawOnDisk r(folder, odd);
  read_sidecar_metadata(*r.s);
  EXPECT_STREQ(r.s->shot.make, "");
  EXPECT_EQ(r.Messages(), "");

  // A JPEG whose name has no number to count up is not read as its own
  // companion.
  const fs::path self = folder.Write("IMG_ABCD.JPG", ExifJpeg("NIKON", "E900"));
  RawOnDisk j(folder, self);
  read_sidecar_metadata(*j.s);
  EXPECT_STREQ(j.s->shot.make, "");
  EXPECT_NE(j.Messages().find("Failed to read metadata"), std::string::npos);
}

TEST(SidecarLookup, MemoryInputHasNoFolderToLookIn) {
  Parsed p(Bytes(4096, 0x55));
  p.s.input_name = "DSCN0123.NEF";
  read_sidecar_metadata(p.s);
  EXPECT_STREQ(p.s.shot.make, "");
  EXPECT_EQ(p.s.input.Source(), &p.source);
}

TEST(SidecarLookup, HeaderlessFileOfATableSizeTakesItsCompanionsDescription) {
  TempFolder folder;
  constexpr size_t kNikonE900Size = 1581060;
  const fs::path raw = folder.Write("DSCN0007.NEF", Bytes(kNikonE900Size, 0x55));
  const fs::path companion =
      folder.Write("0007DSCN.JPG", ExifJpeg("NIKON CORPORATION", "E900 from sidecar"));
  auto s = std::make_unique<ParseState>();
  s->diagnostics = nullptr;
  {
    FileSource source(raw.native());
    ASSERT_TRUE(IdentifySource(source, raw.string(), raw.native(), s.get()));
    EXPECT_STREQ(s->shot.make, "NIKON");
    EXPECT_STREQ(s->shot.model, "E900 from sidecar");
    EXPECT_FALSE(ExtractEmbeddedPreviewFrom(source, raw.string(), raw.native(), ExtractOptions())
                     .extracted());  // the companion is never the preview
  }

  // Without the companion the table's names stand.
  fs::remove(companion);
  FileSource source(raw.native());
  ASSERT_TRUE(IdentifySource(source, raw.string(), raw.native(), s.get()));
  EXPECT_STREQ(s->shot.make, "NIKON");
  EXPECT_STREQ(s->shot.model, "E900");
}
