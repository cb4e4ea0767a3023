// Regression over the real camera files in the samples folder: for each file,
// the reviewed outcome in expected_previews.tsv (extractable or not, preview
// offset and length, make and model after normalisation). Cases are named
// <container>_<file>, so a failing container shows at a glance. Skips when the
// samples folder is absent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/extract.h"
#include "platform/path.h"

namespace {

// Paths from the build are POSIX paths; under the Windows build on wine the
// same files are reached through drive Z:.
std::string HostPath(std::string path) {
#ifdef _WIN32
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
#endif
  return path;
}

const std::string& SamplesDir() {
  static const std::string dir = HostPath(RAWLIFT_SAMPLES_DIR);
  return dir;
}

// A file of the samples folder by its manifest path ("cr2/CR2.exif").
std::string SamplePath(const std::string& relative) {
  return HostPath(std::string(RAWLIFT_SAMPLES_DIR) + "/" + relative);
}

bool Readable(const std::string& path) {
  return engine::FileSource(platform::ToNativePath(platform::Utf8ToUtf16(path))).IsOpen();
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> cells;
  std::string cell;
  std::istringstream in(line);
  while (std::getline(in, cell, '\t')) cells.push_back(cell);
  if (!line.empty() && line.back() == '\t') cells.push_back("");
  return cells;
}

struct Expected {
  std::string path;       // relative to the samples folder
  std::string container;  // the engine unit that should find the preview
  bool extractable = false;
  uint32_t preview_offset = 0;
  uint32_t preview_length = 0;
  std::string make, model;
  std::string why;
};

// The reviewed table: tab-separated, '#' lines are comments.
std::vector<Expected> LoadTable() {
  std::vector<Expected> rows;
  std::ifstream in(HostPath(RAWLIFT_SOURCE_DIR "/tests/samples/expected_previews.tsv"));
  std::string line;
  bool header = true;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (header) {
      header = false;
      continue;
    }
    const auto cells = SplitTabs(line);
    if (cells.size() < 7) {
      ADD_FAILURE() << "short table row: " << line;
      continue;
    }
    Expected e;
    e.path = cells[0];
    e.container = cells[1];
    e.extractable = cells[2] == "yes";
    e.preview_offset = static_cast<uint32_t>(std::strtoul(cells[3].c_str(), nullptr, 10));
    e.preview_length = static_cast<uint32_t>(std::strtoul(cells[4].c_str(), nullptr, 10));
    e.make = cells[5];
    e.model = cells[6];
    if (cells.size() > 7) e.why = cells[7];
    rows.push_back(e);
  }
  return rows;
}

// gtest prints parameters on failure and in test lists.
void PrintTo(const Expected& e, std::ostream* os) {
  *os << e.path;
}

const std::vector<Expected>& Table() {
  static const std::vector<Expected> table = LoadTable();
  return table;
}

std::string CaseName(const Expected& e) {
  std::string name = e.container + "_" + e.path.substr(e.path.find('/') + 1);
  for (char& c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (!((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9'))) c = '_';
  }
  return name;
}

class SampleFile : public ::testing::TestWithParam<Expected> {
 protected:
  void SetUp() override {
    if (!Readable(SamplePath("MANIFEST.tsv")))
      GTEST_SKIP() << "no samples folder at " << SamplesDir();
  }
};

TEST_P(SampleFile, MatchesTheReviewedOutcome) {
  const Expected& e = GetParam();
  SCOPED_TRACE(e.path + (e.why.empty() ? "" : " -- " + e.why));
  const std::string path = SamplePath(e.path);
  const std::u16string wide = platform::Utf8ToUtf16(path);
  const platform::NativePath native = platform::ToNativePath(wide);
  engine::FileSource source(native);
  ASSERT_TRUE(source.IsOpen()) << "cannot open " << path;

  auto state = std::make_unique<engine::ParseState>();
  state->diagnostics = nullptr;
  engine::IdentifySource(source, path, native, state.get());
  EXPECT_EQ(std::string(state->shot.make), e.make);
  EXPECT_EQ(std::string(state->shot.model), e.model);
  EXPECT_EQ(engine::RulesChoice(*state).offset, e.preview_offset);
  EXPECT_EQ(engine::RulesChoice(*state).length, e.preview_length);

  engine::ExtractOptions options;
  options.software = "Rawlift v1.00";
  const engine::ExtractedPreview got = engine::ExtractEmbeddedPreview(wide, options);
  const bool ok = got.extracted();
  EXPECT_EQ(ok, e.extractable);
  if (!ok) return;
  const uint8_t* buffer = got.bytes.get();
  const size_t length = got.length;

  // The preview as stored, with a synthesized Exif segment in front exactly
  // when it has none of its own.
  std::vector<uint8_t> stored(e.preview_length);
  ASSERT_EQ(source.ReadAt(e.preview_offset, stored.data(), stored.size()), stored.size());
  const bool has_exif =
      stored.size() >= 11 &&
      std::string(stored.begin() + 6, stored.begin() + 11) == std::string("Exif\0", 5);
  const size_t inserted = has_exif ? 0 : engine::kExifSegmentSize;
  ASSERT_EQ(length, e.preview_length + inserted);
  EXPECT_EQ(buffer[0], 0xFF);
  EXPECT_EQ(buffer[1], 0xD8);
  if (!has_exif) {
    EXPECT_EQ(std::string(buffer + 6, buffer + 12), std::string("Exif\0\0", 6));
  }
  EXPECT_TRUE(std::equal(stored.begin() + 2, stored.end(), buffer + 2 + inserted))
      << "preview bytes differ from the file's";
}

INSTANTIATE_TEST_SUITE_P(Samples, SampleFile, ::testing::ValuesIn(Table()),
                         [](const ::testing::TestParamInfo<Expected>& info) {
                           return CaseName(info.param);
                         });

// Every file of the manifest has a reviewed row, and every row a file.
TEST(SampleTable, CoversTheManifest) {
  std::ifstream manifest(SamplePath("MANIFEST.tsv"));
  if (!manifest) GTEST_SKIP() << "no samples folder at " << SamplesDir();
  std::set<std::string> listed;
  std::string line;
  std::getline(manifest, line);  // header
  while (std::getline(manifest, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) listed.insert(SplitTabs(line)[0]);
  }
  std::set<std::string> reviewed;
  for (const Expected& e : Table()) {
    EXPECT_TRUE(reviewed.insert(e.path).second) << "two rows for " << e.path;
    EXPECT_EQ(listed.count(e.path), 1u) << e.path << " is not in MANIFEST.tsv";
  }
  for (const std::string& path : listed)
    EXPECT_EQ(reviewed.count(path), 1u) << "no row for " << path;
}

}  // namespace
