// The complete Exif segment over the real camera files of the samples folder:
// for every file whose own Exif directory the walk records, the segment
// passes the strict reader and carries the values the raw file holds, read
// with the project's reader and with exiftool (when installed), in both byte
// orders; and a complete extraction differs from a compact one only in the
// segment. Skips when the samples folder is absent.
#include <gtest/gtest.h>

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

#ifndef _WIN32
#include <unistd.h>
#endif

#include "engine/exif_copy.h"
#include "engine/extract.h"
#include "platform/path.h"
#include "tests/fixtures/exif_reader.h"
#include "tests/fixtures/jpeg.h"

namespace {

namespace fs = std::filesystem;
using fixtures::Bytes;
using fixtures::ExifDirectory;
using fixtures::ExifStructure;

constexpr const char* kSoftware = "Rawlift v1.00";

std::string SamplePath(const std::string& relative) {
  std::string path = std::string(RAWLIFT_SAMPLES_DIR) + "/" + relative;
#ifdef _WIN32
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path)
    if (c == '/') c = '\\';
#endif
  return path;
}

// The paths MANIFEST.tsv lists; empty without the samples folder.
std::vector<std::string> ManifestPaths() {
  std::vector<std::string> paths;
  std::ifstream manifest(SamplePath("MANIFEST.tsv"));
  std::string line;
  std::getline(manifest, line);  // header
  while (std::getline(manifest, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) paths.push_back(line.substr(0, line.find('\t')));
  }
  return paths;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// One sample whose Exif directory the walk records, and its complete segment.
struct SampleCopy {
  std::string path;  // as the manifest names it
  Bytes raw;
  engine::MetadataDirectories directories;
  Bytes segment;
};

// Every such sample, the segment built with a 640 x 480 preview size.
const std::vector<SampleCopy>& SampleCopies() {
  static const std::vector<SampleCopy> copies = [] {
    std::vector<SampleCopy> found;
    for (const std::string& path : ManifestPaths()) {
      SampleCopy c;
      c.path = path;
      c.raw = ReadFile(SamplePath(path));
      const engine::MemorySource source(c.raw);
      engine::ParseState state;
      engine::IdentifySource(source, path, platform::NativePath(), &state);
      c.directories = state.found.metadata_directories;
      if (!c.directories.exif.present()) continue;
      c.segment = engine::BuildCompleteExifSegment(source, c.directories, 1, 640, 480, kSoftware);
      found.push_back(std::move(c));
    }
    return found;
  }();
  return copies;
}

ExifDirectory SourceDirectory(const SampleCopy& c, const engine::DirectoryLocation& at) {
  ExifDirectory d;
  fixtures::ReadFileDirectory(c.raw, at.base, at.offset, at.byte_order == 0x4949, &d);
  return d;
}

// IFD0 tags copied as the file has them.
constexpr uint16_t kCopiedIfd0Tags[] = {270, 271, 272, 282, 283, 296, 306, 315, 33432};
// Exif entries never copied: maker note, pointers and offsets, filler; the
// pixel size is the preview's own.
constexpr uint16_t kNotCopiedExifTags[] = {37500,  40965,  34665, 34853,
                                           0xEA1C, 0xEA1D, 40962, 40963};

bool Among(uint16_t tag, const uint16_t* tags, size_t n) {
  return std::find(tags, tags + n, tag) != tags + n;
}

class MetadataSamples : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ManifestPaths().empty()) GTEST_SKIP() << "no samples folder at " << RAWLIFT_SAMPLES_DIR;
  }
};

TEST_F(MetadataSamples, EverySegmentPassesTheStrictReaderAndCarriesTheRawFilesValues) {
  std::set<uint16_t> orders;
  for (const SampleCopy& c : SampleCopies()) {
    SCOPED_TRACE(c.path);
    ASSERT_FALSE(c.segment.empty());
    ExifStructure copy;
    std::string error;
    ASSERT_TRUE(fixtures::ReadExifSegment(c.segment.data(), c.segment.size(), &copy, &error))
        << error;
    orders.insert(c.directories.ifd0.byte_order);
    EXPECT_EQ(copy.little, c.directories.ifd0.byte_order == 0x4949);

    const auto same = [&](const ExifDirectory& copied, const ExifDirectory& source, uint16_t tag) {
      const fixtures::ExifEntry* s = source.Find(tag);
      const fixtures::ExifEntry* d = copied.Find(tag);
      ASSERT_NE(d, nullptr) << "tag " << tag << " not copied";
      EXPECT_EQ(d->type, s->type) << "tag " << tag;
      EXPECT_EQ(d->Numbers(), s->Numbers()) << "tag " << tag;
    };
    const ExifDirectory ifd0 = SourceDirectory(c, c.directories.ifd0);
    for (const fixtures::ExifEntry& e : ifd0.entries) {
      if (!Among(e.tag, kCopiedIfd0Tags, std::size(kCopiedIfd0Tags))) continue;
      // A resolution of another type than the format's (an RW2 keeps other
      // values under these tags) gives way to 300 dpi.
      const bool resolution = e.tag == 282 || e.tag == 283;
      if ((resolution && (e.type != 5 || e.count != 1)) ||
          (e.tag == 296 && (e.type != 3 || e.count != 1))) {
        ASSERT_NE(copy.ifd0.Find(e.tag), nullptr);
        const std::vector<int64_t> fallback =
            resolution ? std::vector<int64_t>{300, 1} : std::vector<int64_t>{2};
        EXPECT_EQ(copy.ifd0.Find(e.tag)->Numbers(), fallback);
        continue;
      }
      same(copy.ifd0, ifd0, e.tag);
    }
    const ExifDirectory exif = SourceDirectory(c, c.directories.exif);
    size_t copied = 0;
    for (const fixtures::ExifEntry& e : exif.entries) {
      if (Among(e.tag, kNotCopiedExifTags, std::size(kNotCopiedExifTags))) continue;
      same(copy.exif, exif, e.tag);
      ++copied;
    }
    EXPECT_EQ(copy.exif.entries.size(), copied + 2) << "the raw entries and the pixel size";
    if (c.directories.gps.present()) {
      const ExifDirectory gps = SourceDirectory(c, c.directories.gps);
      for (const fixtures::ExifEntry& e : gps.entries) same(copy.gps, gps, e.tag);
    }
  }
  EXPECT_GE(SampleCopies().size(), 8u) << "the TIFF-based samples record their Exif directory";
  EXPECT_EQ(orders.size(), 2u) << "both byte orders among the samples";
}

// --- exiftool as the peer reader -------------------------------------------

#ifndef _WIN32
// exiftool's "-GROUP:Name=value" lines for each file, by file. Tags of
// structures embedded in the file (a preview's own Exif block) carry a
// "DocN:" prefix and never match the copied ones.
using TagValues = std::map<std::string, std::string>;

bool ExiftoolInstalled() {
  FILE* pipe = popen("exiftool -ver 2>/dev/null", "r");
  if (!pipe) return false;
  char version[32] = {};
  const bool read = std::fgets(version, sizeof version, pipe) != nullptr;
  return pclose(pipe) == 0 && read;
}

std::map<std::string, TagValues> Exiftool(const std::vector<std::string>& files) {
  // A name of this process's own: test programs of several builds may run at once.
  const fs::path arguments = fs::temp_directory_path() /
                             ("rawlift_metadata_exiftool." + std::to_string(getpid()) + ".args");
  {
    std::ofstream out(arguments);
    for (const char* option :
         {"-args", "-n", "-a", "-G3:1", "-IFD0:all", "-ExifIFD:all", "-GPS:all"})
      out << option << "\n";
    for (const std::string& file : files) out << file << "\n";
  }
  std::map<std::string, TagValues> result;
  FILE* pipe = popen(("exiftool -@ '" + arguments.string() + "' 2>/dev/null").c_str(), "r");
  if (!pipe) return result;
  std::string file = files.size() == 1 ? files[0] : "";
  char line[8192];
  while (std::fgets(line, sizeof line, pipe)) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.rfind("======== ", 0) == 0) {
      file = text.substr(9);
    } else if (text.rfind("-", 0) == 0 && text.find('=') != std::string::npos) {
      const size_t equals = text.find('=');
      result[file][text.substr(1, equals - 1)] = text.substr(equals + 1);
    }
  }
  pclose(pipe);
  fs::remove(arguments);
  return result;
}

// The segment after SOI of a small real JPEG, as exiftool reads files.
Bytes JpegWithSegment(const Bytes& segment) {
  const Bytes picture =
      fixtures::MakeJpeg(fixtures::JpegOptions{64, 48, 3, 90, 1, fixtures::JpegApp::None});
  Bytes jpeg = {0xFF, 0xD8};
  jpeg.insert(jpeg.end(), segment.begin(), segment.end());
  jpeg.insert(jpeg.end(), picture.begin() + 2, picture.end());
  return jpeg;
}

TEST_F(MetadataSamples, ExiftoolReadsFromTheJpegWhatItReadsFromTheRawFile) {
  if (!ExiftoolInstalled()) GTEST_SKIP() << "exiftool is not installed";
  const fs::path folder = fs::temp_directory_path() / "rawlift_metadata_samples";
  fs::remove_all(folder);
  fs::create_directories(folder);
  std::vector<std::string> files;
  std::vector<std::pair<std::string, std::string>> pairs;  // raw file, JPEG
  int n = 0;
  for (const SampleCopy& c : SampleCopies()) {
    const std::string jpeg = (folder / ("copy_" + std::to_string(n++) + ".jpg")).string();
    const Bytes bytes = JpegWithSegment(c.segment);
    std::ofstream(jpeg, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    files.push_back(SamplePath(c.path));
    files.push_back(jpeg);
    pairs.emplace_back(SamplePath(c.path), jpeg);
  }
  const std::map<std::string, TagValues> read = Exiftool(files);
  // The IFD0 tags as exiftool names them; Orientation and Software are the
  // segment's own.
  const std::set<std::string> ifd0_copied = {
      "IFD0:ImageDescription", "IFD0:Make",        "IFD0:Model",
      "IFD0:XResolution",      "IFD0:YResolution", "IFD0:ResolutionUnit",
      "IFD0:ModifyDate",       "IFD0:Artist",      "IFD0:Copyright"};
  const std::set<std::string> own = {"IFD0:Orientation", "IFD0:Software", "ExifIFD:ExifImageWidth",
                                     "ExifIFD:ExifImageHeight"};
  for (const auto& pair : pairs) {
    SCOPED_TRACE(pair.first);
    ASSERT_EQ(read.count(pair.first), 1u);
    ASSERT_EQ(read.count(pair.second), 1u);
    const TagValues& raw = read.at(pair.first);
    const TagValues& jpeg = read.at(pair.second);
    size_t compared = 0;
    for (const auto& tag : raw) {
      const std::string group = tag.first.substr(0, tag.first.find(':'));
      const bool copied = (group == "IFD0" && ifd0_copied.count(tag.first)) ||
                          ((group == "ExifIFD" || group == "GPS") && !own.count(tag.first));
      if (!copied) continue;
      ASSERT_EQ(jpeg.count(tag.first), 1u) << tag.first << " missing from the JPEG";
      EXPECT_EQ(jpeg.at(tag.first), tag.second) << tag.first;
      ++compared;
    }
    EXPECT_EQ(jpeg.at("IFD0:Software"), kSoftware);
    EXPECT_EQ(jpeg.at("ExifIFD:ExifImageWidth"), "640");
    EXPECT_GT(compared, 3u);
  }
  fs::remove_all(folder);
}
#endif

// --- Extraction ---------------------------------------------------------------

TEST_F(MetadataSamples, CompleteExtractionDiffersFromCompactOnlyInTheSegment) {
  size_t complete_segments = 0;
  for (const std::string& path : ManifestPaths()) {
    SCOPED_TRACE(path);
    const std::u16string wide = platform::Utf8ToUtf16(SamplePath(path));
    engine::ExtractOptions options;
    options.software = kSoftware;
    const engine::ExtractedPreview compact = engine::ExtractEmbeddedPreview(wide, options);
    options.metadata = engine::MetadataMode::kComplete;
    const engine::ExtractedPreview complete = engine::ExtractEmbeddedPreview(wide, options);
    ASSERT_EQ(complete.reason, compact.reason);
    if (!complete.extracted()) continue;
    const Bytes a(compact.bytes.get(), compact.bytes.get() + compact.length);
    const Bytes b(complete.bytes.get(), complete.bytes.get() + complete.length);
    if (a == b) continue;  // Exif of its own, or no Exif directory to copy
    ++complete_segments;
    ASSERT_TRUE(compact.exif_synthesized);
    const size_t segment = fixtures::FirstSegmentSize(b);
    EXPECT_EQ(Bytes(b.begin() + 2 + segment, b.end()),
              Bytes(a.begin() + 2 + engine::kExifSegmentSize, a.end()));
    ExifStructure exif;
    std::string error;
    ASSERT_TRUE(fixtures::ReadJpegExif(b, &exif, &error)) << error;
    ASSERT_NE(exif.exif.Find(40962), nullptr);
    EXPECT_EQ(exif.exif.Find(40962)->Numbers()[0], complete.width);
    EXPECT_EQ(exif.exif.Find(40963)->Numbers()[0], complete.height);
  }
  EXPECT_GE(complete_segments, 1u) << "a sample with a preview without Exif and a description";
}

}  // namespace
