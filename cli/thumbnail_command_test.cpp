// `rawlift thumbnail` over synthetic camera files (sizes, orientation, the
// output replaced, refusals and their exit codes), over the real files of
// the samples folder, and the thumbnailer file that names the command.
#include "cli/thumbnail_command.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/extract.h"
#include "job/extraction_job.h"
#include "platform/path.h"
#include "settings/settings_store.h"
#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/jpeg.h"

namespace fs = std::filesystem;

namespace {

using fixtures::Bytes;

// A fresh folder per test, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = fs::temp_directory_path() /
            (std::string("rawlift_thumbnail_") + info->test_suite_name() + "_" + info->name());
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).u8string(); }
  std::string Write(const std::string& name, const Bytes& bytes) const {
    std::ofstream out(path_ / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return File(name);
  }
  // Everything in the folder, sorted: what a failed or finished write left.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_)) {
      names.push_back(entry.path().filename().u8string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  fs::path path_;
};

Bytes ReadAll(const std::string& path) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct CommandRun {
  int code = -1;
  std::string err;
};

CommandRun Thumbnail(const TempFolder& folder, const cli::Args& args) {
  const std::string errPath =
      (folder.path().parent_path() / (folder.path().filename().u8string() + ".stderr")).u8string();
  FILE* err = std::fopen(errPath.c_str(), "w+b");
  CommandRun run;
  run.code = cli::RunThumbnailWith(args, err);
  std::rewind(err);
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, err)) > 0) run.err.append(buffer, n);
  std::fclose(err);
  std::remove(errPath.c_str());
  return run;
}

struct Png {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
};

bool DecodePng(const Bytes& bytes, Png* out) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return false;
  image.format = PNG_FORMAT_RGB;
  out->width = static_cast<int>(image.width);
  out->height = static_cast<int>(image.height);
  out->rgb.resize(PNG_IMAGE_SIZE(image));
  const bool ok = png_image_finish_read(&image, nullptr, out->rgb.data(), 0, nullptr) != 0;
  png_image_free(&image);
  return ok;
}

// Which quarter colour a corner of the picture shows (R, G, B, W or ?),
// looked at a little way in from the corner.
char CornerColour(const Png& png, bool right, bool bottom) {
  const int inset = std::max(1, std::min(png.width, png.height) / 8);
  const int x = right ? png.width - 1 - inset : inset;
  const int y = bottom ? png.height - 1 - inset : inset;
  const uint8_t* p = png.rgb.data() + (size_t(y) * png.width + x) * 3;
  const bool r = p[0] > 200, g = p[1] > 200, b = p[2] > 200;
  const bool r0 = p[0] < 60, g0 = p[1] < 60, b0 = p[2] < 60;
  if (r && g0 && b0) return 'R';
  if (r0 && g && b0) return 'G';
  if (r0 && g0 && b) return 'B';
  if (r && g && b) return 'W';
  return '?';
}

std::string Corners(const Png& png) {
  return {CornerColour(png, false, false), CornerColour(png, true, false),
          CornerColour(png, false, true), CornerColour(png, true, true)};
}

Bytes PreviewJpeg(int width, int height,
                  fixtures::JpegPicture picture = fixtures::JpegPicture::Gradients) {
  fixtures::JpegOptions o;
  o.width = width;
  o.height = height;
  o.picture = picture;
  o.quality = 95;
  return fixtures::MakeJpeg(o);
}

fixtures::ShotInfo Shot(uint16_t orientation = 1) {
  fixtures::ShotInfo shot;
  shot.make = "Canon";
  shot.model = "Canon EOS 5D Mark II";
  shot.orientation = orientation;
  return shot;
}

TEST(ThumbnailCommand, WritesAPngBoundedToSize) {
  TempFolder folder;
  const std::string raw =
      folder.Write("IMG_0001.CR2", fixtures::MakeCr2Like(Shot(), PreviewJpeg(900, 600)));
  const struct {
    const char* size;
    int width, height;
  } cases[] = {// 160x120 IFD1 thumbnail covers 128: the smallest covering JPEG is decoded
               {"128", 128, 96},
               // Above 160 only the 900x600 preview covers the size.
               {"256", 256, 170},
               {"900", 900, 600},
               {"4096", 900, 600}};
  for (const auto& c : cases) {
    const std::string out = folder.File(std::string("thumb") + c.size + ".png");
    const CommandRun run = Thumbnail(folder, {"-s", c.size, raw, out});
    ASSERT_EQ(run.code, cli::kThumbnailWritten) << c.size << ": " << run.err;
    EXPECT_EQ(run.err, "");
    Png png;
    ASSERT_TRUE(DecodePng(ReadAll(out), &png)) << c.size;
    EXPECT_EQ(png.width, c.width) << c.size;
    EXPECT_EQ(png.height, c.height) << c.size;
  }
  // The long form of the option, and the option after the operands.
  const std::string out = folder.File("long.png");
  EXPECT_EQ(Thumbnail(folder, {raw, out, "--size=64"}).code, cli::kThumbnailWritten);
  Png png;
  ASSERT_TRUE(DecodePng(ReadAll(out), &png));
  EXPECT_EQ(png.width, 64);
}

TEST(ThumbnailCommand, TurnsThePictureAsTheCameraWasHeld) {
  // The quarters: red top left, green top right, blue bottom left, white
  // bottom right, as stored. The RAW file's own Orientation reaches the
  // preview through the Exif header the engine gives it.
  TempFolder folder;
  const Bytes jpeg = PreviewJpeg(600, 400, fixtures::JpegPicture::Quarters);
  const struct {
    uint16_t orientation;
    const char* corners;
    int width, height;
  } cases[] = {
      {1, "RGBW", 180, 120}, {6, "BRWG", 120, 180},  // turned a quarter clockwise to show
      {8, "GWRB", 120, 180},                         // a quarter anticlockwise
      {3, "WBGR", 180, 120},                         // half way
      {2, "GRWB", 180, 120},                         // mirrored left to right
  };
  for (const auto& c : cases) {
    const std::string raw = folder.Write("IMG_" + std::to_string(c.orientation) + ".CR2",
                                         fixtures::MakeCr2Like(Shot(c.orientation), jpeg));
    const std::string out = folder.File("o" + std::to_string(c.orientation) + ".png");
    // Above the 160x120 IFD1 thumbnail, so that the quarters are decoded.
    const CommandRun run = Thumbnail(folder, {"-s", "180", raw, out});
    ASSERT_EQ(run.code, cli::kThumbnailWritten) << run.err;
    Png png;
    ASSERT_TRUE(DecodePng(ReadAll(out), &png));
    EXPECT_EQ(png.width, c.width) << "orientation " << c.orientation;
    EXPECT_EQ(png.height, c.height) << "orientation " << c.orientation;
    EXPECT_EQ(Corners(png), c.corners) << "orientation " << c.orientation;
  }
}

TEST(ThumbnailCommand, ReplacesAnExistingOutputAndLeavesNoTemporary) {
  // Thumbnailers name a temporary file that may already exist.
  TempFolder folder;
  const std::string raw =
      folder.Write("DSC_0001.NEF", fixtures::MakeNefLike(Shot(), PreviewJpeg(300, 200)));
  const std::string out = folder.Write("thumb.png", Bytes(5000, 'x'));
  const CommandRun run = Thumbnail(folder, {"-s", "100", raw, out});
  ASSERT_EQ(run.code, cli::kThumbnailWritten) << run.err;
  Png png;
  ASSERT_TRUE(DecodePng(ReadAll(out), &png));
  EXPECT_EQ(png.width, 100);
  EXPECT_EQ(folder.Names(), (std::vector<std::string>{"DSC_0001.NEF", "thumb.png"}));
  // What is no plain file is not replaced, and INPUT is never OUTPUT.
  fs::create_directory(folder.path() / "adir");
  EXPECT_EQ(Thumbnail(folder, {"-s", "100", raw, folder.File("adir")}).code,
            cli::kThumbnailUsageOrWrite);
  EXPECT_TRUE(fs::is_directory(folder.path() / "adir"));
  const Bytes before = ReadAll(raw);
  const CommandRun same = Thumbnail(folder, {"-s", "100", raw, raw});
  EXPECT_EQ(same.code, cli::kThumbnailUsageOrWrite);
  EXPECT_NE(same.err.find("camera file itself"), std::string::npos) << same.err;
  EXPECT_EQ(ReadAll(raw), before);
}

TEST(ThumbnailCommand, NoPreviewExits1WithTheEnginesReasonOnOneLine) {
  TempFolder folder;
  fixtures::JpegOptions plain;
  plain.app = fixtures::JpegApp::Exif;
  const struct {
    std::string input;
    const char* reason;
  } cases[] = {
      {folder.Write("holiday.jpg", fixtures::MakeJpeg(plain)), "not a camera raw file: a JPEG"},
      {folder.Write("scan.tif", fixtures::MakeRgbTiff(Shot(), 32, 32)),
       "not a camera raw file: an ordinary image"},
      {folder.Write("DSC_0003.NEF", fixtures::MakeNefWithoutJpeg(Shot())),
       "raw file without a JPEG preview"},
      {folder.File("missing.NEF"), "cannot be opened"},
  };
  for (const auto& c : cases) {
    const CommandRun run = Thumbnail(folder, {"-s", "128", c.input, folder.File("out.png")});
    EXPECT_EQ(run.code, cli::kThumbnailNone) << c.input;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(fs::exists(folder.path() / "out.png")) << c.input;
  }
  const CommandRun dir =
      Thumbnail(folder, {"-s", "128", folder.path().u8string(), folder.File("out.png")});
  EXPECT_EQ(dir.code, cli::kThumbnailNone);
  EXPECT_NE(dir.err.find("is a folder"), std::string::npos) << dir.err;
}

TEST(ThumbnailCommand, SizeAndOperandFaultsAreUsageErrors) {
  TempFolder folder;
  const std::string raw =
      folder.Write("IMG_0001.CR2", fixtures::MakeCr2Like(Shot(), PreviewJpeg(300, 200)));
  const std::string out = folder.File("out.png");
  // 0 and past the limit; signs, spaces, suffixes and a number that would
  // overflow an int are not read as a size at all.
  for (const char* size : {"0", "4097", "99999999999999999999", "-5", "+12", " 12", "12 ", "12abc",
                           "0x80", "1e3", ""}) {
    const CommandRun run = Thumbnail(folder, {"-s", size, raw, out});
    EXPECT_EQ(run.code, cli::kThumbnailUsageOrWrite) << "'" << size << "'";
    EXPECT_NE(run.err.find("SIZE"), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
  EXPECT_EQ(Thumbnail(folder, {raw, out}).code, cli::kThumbnailUsageOrWrite);  // no -s
  EXPECT_EQ(Thumbnail(folder, {"-s", "64", raw}).code, cli::kThumbnailUsageOrWrite);
  EXPECT_EQ(Thumbnail(folder, {"-s", "64", raw, out, out}).code, cli::kThumbnailUsageOrWrite);
  EXPECT_EQ(Thumbnail(folder, {"-s", "64", "--bogus", raw, out}).code, cli::kThumbnailUsageOrWrite);
  EXPECT_FALSE(fs::exists(out));
  int size = 0;
  EXPECT_TRUE(cli::ParseThumbnailSize("1", &size));
  EXPECT_EQ(size, 1);
  EXPECT_TRUE(cli::ParseThumbnailSize("4096", &size));
  EXPECT_EQ(size, 4096);
}

TEST(ThumbnailCommand, HostileTruncatedPreviewFailsAndKeepsTheOldOutput) {
  // Guards against a damaged thumbnail (the decoder's grey fill) standing in
  // for the picture: the CR2 states the cut preview's own length, so the
  // engine returns it whole and only decoding finds the data missing.
  TempFolder folder;
  const Bytes jpeg = PreviewJpeg(600, 400);
  const Bytes cut(jpeg.begin(), jpeg.begin() + jpeg.size() / 2);
  const std::string raw = folder.Write("IMG_0009.CR2", fixtures::MakeCr2Like(Shot(), cut));
  const std::string out = folder.Write("thumb.png", Bytes(10, 'x'));
  // Above the 160x120 IFD1 thumbnail: the cut preview is the JPEG decoded.
  const CommandRun run = Thumbnail(folder, {"-s", "256", raw, out});
  EXPECT_EQ(run.code, cli::kThumbnailNone);
  EXPECT_NE(run.err.find("ends early"), std::string::npos) << run.err;
  EXPECT_EQ(ReadAll(out), Bytes(10, 'x'));
  EXPECT_EQ(folder.Names(), (std::vector<std::string>{"IMG_0009.CR2", "thumb.png"}));
}

// Every real file whose preview the engine extracts gives a thumbnail, at
// most 256 pixels on its long side.
TEST(ThumbnailCommand, RealCameraFilesFromTheSamplesFolder) {
  const fs::path samples = RAWLIFT_SAMPLES_DIR;
  if (!fs::is_directory(samples)) GTEST_SKIP() << "no samples folder at " << samples;
  TempFolder folder;
  int made = 0;
  for (const auto& entry : fs::recursive_directory_iterator(samples)) {
    if (!entry.is_regular_file() || entry.path().filename() == "MANIFEST.tsv") continue;
    const engine::ExtractedPreview preview = engine::ExtractEmbeddedPreview(
        platform::Utf8ToUtf16(entry.path().u8string()), engine::ExtractOptions());
    if (!preview.extracted()) continue;
    const std::string out = folder.File("t.png");
    const CommandRun run = Thumbnail(folder, {"-s", "256", entry.path().u8string(), out});
    EXPECT_EQ(run.code, cli::kThumbnailWritten) << entry.path() << ": " << run.err;
    Png png;
    ASSERT_TRUE(DecodePng(ReadAll(out), &png)) << entry.path();
    EXPECT_LE(std::max(png.width, png.height), 256) << entry.path();
    // The CR3 built with Orientation 6 (a camera held upright).
    if (entry.path().filename() == "fixture.cr3") {
      EXPECT_GT(png.height, png.width);
    }
    ++made;
  }
  EXPECT_GT(made, 0);
}

// ---- The freedesktop thumbnailer ----

const char kMimeDatabase[] = "/usr/share/mime/packages/freedesktop.org.xml";

std::map<std::string, std::string> ThumbnailerEntry(std::string* group) {
  std::ifstream in(std::string(RAWLIFT_SOURCE_DIR) + "/desktop/rawlift.thumbnailer");
  std::map<std::string, std::string> keys;
  std::string line;
  std::getline(in, *group);
  while (std::getline(in, line)) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) keys[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return keys;
}

struct MimeType {
  std::vector<std::string> suffixes;  // of its "*.ext" globs, upper case
  bool raw = false;                   // a sub-class of image/x-dcraw
};

// The types of shared-mime-info's database with their suffix globs.
std::map<std::string, MimeType> MimeTypes(const std::string& xml) {
  std::map<std::string, MimeType> types;
  const std::string open = "<mime-type type=\"";
  for (size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at + 1)) {
    const size_t nameEnd = xml.find('"', at + open.size());
    const size_t end = xml.find("</mime-type>", at);
    if (nameEnd == std::string::npos || end == std::string::npos) break;
    MimeType& type = types[xml.substr(at + open.size(), nameEnd - at - open.size())];
    const std::string body = xml.substr(nameEnd, end - nameEnd);
    type.raw = body.find("<sub-class-of type=\"image/x-dcraw\"/>") != std::string::npos;
    const std::string glob = "<glob pattern=\"*.";
    for (size_t g = body.find(glob); g != std::string::npos; g = body.find(glob, g + 1)) {
      std::string suffix =
          body.substr(g + glob.size(), body.find('"', g + glob.size()) - g - glob.size());
      for (char& ch : suffix) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      type.suffixes.push_back(suffix);
    }
  }
  return types;
}

std::set<std::string> RawSuffixes() {
  job::ExtractionJob extraction{settings::ExtractionSettings()};
  extraction.FillRawSuffixes();
  std::set<std::string> suffixes;
  for (const std::u16string& s : extraction.rawSuffixes())
    suffixes.insert(platform::Utf16ToUtf8(s));
  return suffixes;
}

TEST(Thumbnailer, RunsTheCommandWithTheSizeAndLocalPaths) {
  std::string group;
  const auto keys = ThumbnailerEntry(&group);
  EXPECT_EQ(group, "[Thumbnailer Entry]");
  EXPECT_EQ(keys.count("TryExec") ? keys.at("TryExec") : "", "rawlift");
  // %i is the input's local path and %o the PNG to write; %u (a URI) would
  // not name a file the command can open.
  EXPECT_EQ(keys.count("Exec") ? keys.at("Exec") : "", "rawlift thumbnail -s %s %i %o");
}

TEST(Thumbnailer, ListsEveryRawTypeOfSharedMimeInfoThatRawliftReads) {
  std::ifstream in(kMimeDatabase);
  if (!in) GTEST_SKIP() << "shared-mime-info is not installed (" << kMimeDatabase << ")";
  const std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::map<std::string, MimeType> database = MimeTypes(xml);
  const std::set<std::string> suffixes = RawSuffixes();
  std::string group;
  std::istringstream list(ThumbnailerEntry(&group)["MimeType"]);
  std::set<std::string> listed;
  std::string type;
  while (std::getline(list, type, ';')) {
    EXPECT_TRUE(listed.insert(type).second) << type << " listed twice";
    const auto found = database.find(type);
    if (found == database.end()) {
      ADD_FAILURE() << type << " is not a type of shared-mime-info (an alias or a typo?)";
      continue;
    }
    const auto& globs = found->second.suffixes;
    EXPECT_TRUE(std::any_of(globs.begin(), globs.end(),
                            [&](const std::string& s) { return suffixes.count(s) != 0; }))
        << type << ": none of its globs ends in a suffix rawlift reads";
  }
  EXPECT_FALSE(listed.empty());
  // And none forgotten: every raw type whose glob rawlift reads is listed.
  for (const auto& [name, mime] : database) {
    if (!mime.raw) continue;
    for (const std::string& s : mime.suffixes) {
      if (suffixes.count(s)) {
        EXPECT_TRUE(listed.count(name)) << name << " (*." << s << ") is not listed";
      }
    }
  }
}

}  // namespace
