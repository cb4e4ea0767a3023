#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/fs.h"
#include "settings/settings_store.h"

using namespace settings;
using Bytes = std::vector<uint8_t>;

namespace {

void Word(Bytes* b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes Words(std::initializer_list<uint32_t> words) {
  Bytes b;
  for (uint32_t w : words) Word(&b, w);
  return b;
}

SettingsStore Parse(const Bytes& image) {
  SettingsStore store;
  ParseSettings(image.data(), image.size(), kSettingsMagic, &store);
  return store;
}

ExtractionSettings RecordOf(const Bytes& image) {
  ExtractionSettings record;
  ReadExtractionSettings(Parse(image), &record);
  return record;
}

std::u16string TempPath(const std::string& name) {
  return platform::AbsolutePath(platform::Utf8ToUtf16("rawlift_settings_test_" + name));
}

}  // namespace

TEST(SettingsFile, ConfirmedOptionsMakeTheSixtyFourByteFile) {
  SettingsStore store;
  ExtractionSettings record;
  record.sizeMode = NativeAndSmaller;
  record.maxWidth = 1024;
  record.maxHeight = 768;
  record.addSuffix = false;
  WriteExtractionSettings(record, &store);
  const Bytes image = SerializeSettings(store, kSettingsMagic);
  EXPECT_EQ(image, Words({kSettingsMagic, 1, 0, 4, 0, 0, 1, 1, 0, 1024, 2, 0, 768, 3, 0, 0}));
  ASSERT_EQ(image.size(), 64u);
  EXPECT_EQ(std::string(image.begin(), image.begin() + 4), "tflr");
  EXPECT_EQ(RecordOf(image), record);
}

TEST(SettingsFile, TheMetadataKeyFollowsTheOthersAndSurvivesAnEarlierVersionsSave) {
  // A file of this version with complete chosen: key 4 after the four others.
  SettingsStore store;
  ExtractionSettings record;
  record.metadata = MetadataComplete;
  WriteExtractionSettings(record, &store);
  const Bytes image = SerializeSettings(store, kSettingsMagic);
  EXPECT_EQ(image,
            Words({kSettingsMagic, 1, 0, 5, 0, 0, 0, 1, 0, 800, 2, 0, 800, 3, 0, 1, 4, 0, 1}));
  EXPECT_EQ(RecordOf(image).metadata, MetadataComplete);

  // An earlier version loads it, changes its own four values and saves the
  // whole store: the key is carried through as an unknown one.
  SettingsStore earlier = Parse(image);
  earlier.SetInteger(kExtractionSection, kMaxWidthKey, 1024);
  const ExtractionSettings after = RecordOf(SerializeSettings(earlier, kSettingsMagic));
  EXPECT_EQ(after.metadata, MetadataComplete);
  EXPECT_EQ(after.maxWidth, 1024);

  // The file of an earlier version reads as compact.
  EXPECT_EQ(
      RecordOf(Words({kSettingsMagic, 1, 0, 4, 0, 0, 1, 1, 0, 1024, 2, 0, 768, 3, 0, 0})).metadata,
      MetadataCompact);
}

TEST(SettingsFile, AnEmptyStoreIsMagicAndZeroSections) {
  const Bytes image = SerializeSettings(SettingsStore(), kSettingsMagic);
  EXPECT_EQ(image, Words({kSettingsMagic, 0}));
  SettingsStore store = Parse(image);
  EXPECT_TRUE(store.Empty());
  EXPECT_EQ(RecordOf(image), ExtractionSettings());
}

TEST(SettingsFile, ForeignValuesSurviveALoadAndSaveInSortedOrder) {
  // Section 5 before section -2, key 3 before key 1, and Text, Bytes and an
  // unknown tag (9, no payload) among the values.
  Bytes image = Words({kSettingsMagic, 2, 5, 3});
  Word(&image, 1), Word(&image, kSettingText), Word(&image, 2);
  image.insert(image.end(), {'h', 0, 0xE9, 0});  // "h" U+00E9
  Word(&image, 0), Word(&image, kSettingBytes), Word(&image, 3);
  image.insert(image.end(), {0xFF, 0x00, 0x7F});
  Word(&image, 8), Word(&image, 9);
  Word(&image, static_cast<uint32_t>(-2)), Word(&image, 2);
  Word(&image, 3), Word(&image, kSettingInteger), Word(&image, 0);
  Word(&image, 1), Word(&image, kSettingInteger), Word(&image, 640);

  const SettingsStore store = Parse(image);
  EXPECT_EQ(store.sections().at(5).at(1).text, u"h\u00e9");
  EXPECT_EQ(store.sections().at(5).at(0).bytes, (Bytes{0xFF, 0x00, 0x7F}));
  EXPECT_EQ(store.sections().at(5).at(8).type, 9);

  Bytes expected = Words({kSettingsMagic, 2, static_cast<uint32_t>(-2), 2});
  Word(&expected, 1), Word(&expected, kSettingInteger), Word(&expected, 640);
  Word(&expected, 3), Word(&expected, kSettingInteger), Word(&expected, 0);
  Word(&expected, 5), Word(&expected, 3);
  Word(&expected, 0), Word(&expected, kSettingBytes), Word(&expected, 3);
  expected.insert(expected.end(), {0xFF, 0x00, 0x7F});
  Word(&expected, 1), Word(&expected, kSettingText), Word(&expected, 2);
  expected.insert(expected.end(), {'h', 0, 0xE9, 0});
  Word(&expected, 8), Word(&expected, 9);
  EXPECT_EQ(SerializeSettings(store, kSettingsMagic), expected);
}

TEST(SettingsFile, TextIsCutAtItsFirstNulAndDuplicatesKeepTheLastValue) {
  Bytes image = Words({kSettingsMagic, 2, 0, 2});
  Word(&image, 7), Word(&image, kSettingText), Word(&image, 3);
  image.insert(image.end(), {'a', 0, 0, 0, 'b', 0});
  Word(&image, 1), Word(&image, kSettingInteger), Word(&image, 100);
  // Section 0 again: key 1 is read a second time.
  Word(&image, 0), Word(&image, 1);
  Word(&image, 1), Word(&image, kSettingInteger), Word(&image, 200);
  const SettingsStore store = Parse(image);
  EXPECT_EQ(store.sections().at(0).at(7).text, u"a");
  EXPECT_EQ(RecordOf(image).maxWidth, 200);
  Bytes saved = SerializeSettings(store, kSettingsMagic);
  Bytes expected = Words({kSettingsMagic, 1, 0, 2, 1, 0, 200, 7, 1, 1});
  expected.insert(expected.end(), {'a', 0});
  EXPECT_EQ(saved, expected);
}

TEST(SettingsFile, AnotherMagicReadsAsNoFile) {
  Bytes image = Words({0x12345678, 1, 0, 1, 1, 0, 640});
  SettingsStore store;
  store.SetInteger(3, 3, 3);
  EXPECT_FALSE(ParseSettings(image.data(), image.size(), kSettingsMagic, &store));
  EXPECT_TRUE(store.Empty()) << "whatever the store held is gone";
  EXPECT_EQ(RecordOf(Bytes{'t', 'f'}), ExtractionSettings());
}

TEST(SettingsFile, TruncationAnywhereKeepsDefaultsForWhatWasCut) {
  // sizeMode 1, a Text value, maxWidth 640, a Bytes value, addSuffix 0.
  Bytes image = Words({kSettingsMagic, 1, 0, 5});
  Word(&image, 0), Word(&image, 0), Word(&image, 1);
  const size_t sizeModeEnd = image.size();
  Word(&image, 9), Word(&image, kSettingText), Word(&image, 2);
  image.insert(image.end(), {'x', 0, 'y', 0});
  Word(&image, 1), Word(&image, 0), Word(&image, 640);
  const size_t widthEnd = image.size();
  Word(&image, 8), Word(&image, kSettingBytes), Word(&image, 3);
  image.insert(image.end(), {1, 2, 3});
  Word(&image, 3), Word(&image, 0), Word(&image, 0);
  const size_t suffixEnd = image.size();

  for (size_t cut = 0; cut <= image.size(); ++cut) {
    const Bytes prefix(image.begin(), image.begin() + cut);
    const ExtractionSettings record = RecordOf(prefix);
    SCOPED_TRACE(cut);
    EXPECT_EQ(record.sizeMode, cut >= sizeModeEnd ? 1 : 0);
    EXPECT_EQ(record.maxWidth, cut >= widthEnd ? 640 : 800);
    EXPECT_EQ(record.maxHeight, 800);
    EXPECT_EQ(record.addSuffix, cut < suffixEnd);
  }
}

TEST(SettingsFile, HugeCountsAndLengthsInATinyFileEndQuickly) {
  // Section and entry counts near 2^32 and a text of 2^31 units with no
  // bytes behind them: nothing may be allocated for them, nothing may spin.
  Bytes image =
      Words({kSettingsMagic, 0xFFFFFFFF, 0, 0xFFFFFFFF, 1, 0, 333, 2, kSettingText, 0x80000000u});
  SettingsStore store = Parse(image);
  EXPECT_EQ(RecordOf(image).maxWidth, 333);
  EXPECT_EQ(store.sections().at(0).count(2), 0u);

  Bytes bytesValue = Words({kSettingsMagic, 1, 0, 1, 4, kSettingBytes, 0xFFFFFFF0u, 1, 2});
  store = Parse(bytesValue);
  EXPECT_EQ(store.sections().at(0).count(4), 0u);
}

TEST(SettingsFile, SavedFileLoadsBackAndMissingFilesGiveDefaults) {
  const std::u16string path = TempPath("roundtrip.cfg");
  platform::RemoveFile(path);
  SettingsStore store;
  store.SetInteger(0, kMaxWidthKey, 1000);
  store.Entry(2, 2).type = kSettingBytes;
  store.Entry(2, 2).bytes = {9, 8, 7};
  ASSERT_TRUE(SaveSettingsToPath(store, kSettingsMagic, path));
  SettingsStore loaded;
  loaded.SetInteger(1, 1, 1);
  LoadSettingsFromPath(&loaded, kSettingsMagic, path);
  EXPECT_EQ(loaded.sections(), store.sections());

  // Saving again replaces the file rather than appending to it.
  store.Clear();
  ASSERT_TRUE(SaveSettingsToPath(store, kSettingsMagic, path));
  platform::ReadOnlyFile file;
  ASSERT_TRUE(file.Open(path));
  EXPECT_EQ(file.Size(), 8);
  file.Close();
  platform::RemoveFile(path);

  LoadSettingsFromPath(&loaded, kSettingsMagic, path);
  EXPECT_TRUE(loaded.Empty());
  const std::u16string nowhere =
      TempPath("no_such_folder") + platform::kPathSeparator + u"RLFT.cfg";
  EXPECT_FALSE(SaveSettingsToPath(store, kSettingsMagic, nowhere));
}

#ifndef _WIN32
TEST(SettingsFile, PerUserFileLivesUnderXdgConfigHome) {
  const std::u16string base = TempPath("xdg");
  const std::string base8 = platform::PathForDisplay(base);
  const std::u16string file =
      SettingsFilePath(base, kCompanyFolder, kProductFolder, kSettingsFileName);
  EXPECT_EQ(file, base + u"/Corvane/RLFT/RLFT.cfg");
  platform::RemoveFile(file);
  ::setenv("XDG_CONFIG_HOME", base8.c_str(), 1);
  SettingsStore store;
  store.SetInteger(0, kSizeModeKey, 1);
  EXPECT_TRUE(
      SaveSettingsFile(store, kSettingsMagic, kCompanyFolder, kProductFolder, kSettingsFileName));
  EXPECT_TRUE(platform::CanOpenForReading(file));
  SettingsStore loaded;
  LoadSettingsFile(&loaded, kSettingsMagic, kCompanyFolder, kProductFolder, kSettingsFileName);
  EXPECT_EQ(loaded.sections(), store.sections());
  ::unsetenv("XDG_CONFIG_HOME");
  platform::RemoveFile(file);
  std::remove((base8 + "/Corvane/RLFT").c_str());
  std::remove((base8 + "/Corvane").c_str());
  std::remove(base8.c_str());
}
#endif
