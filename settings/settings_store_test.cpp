#include "settings/settings_store.h"

#include <gtest/gtest.h>

using namespace settings;

TEST(SettingsStore, LookupsFindOnlyIntegersAndNeverCreate) {
  SettingsStore store;
  int32_t value = 77;
  bool flag = true;
  EXPECT_FALSE(store.GetInteger(0, 1, &value));
  EXPECT_FALSE(store.GetBoolean(0, 3, &flag));
  EXPECT_EQ(value, 77);
  EXPECT_TRUE(flag);
  EXPECT_TRUE(store.Empty()) << "a failed lookup must not create the section";

  store.Entry(0, 1).type = kSettingText;
  store.Entry(0, 1).integer = 5;  // not meaningful under a Text tag
  EXPECT_FALSE(store.GetInteger(0, 1, &value));
  EXPECT_EQ(value, 77);
  EXPECT_FALSE(store.GetInteger(0, 2, &value)) << "section exists, key does not";
  EXPECT_EQ(store.sections().at(0).size(), 1u);

  store.SetInteger(0, 1, -3);
  ASSERT_TRUE(store.GetInteger(0, 1, &value));
  EXPECT_EQ(value, -3);
  store.SetInteger(4, 9, 2);
  ASSERT_TRUE(store.GetBoolean(4, 9, &flag));
  EXPECT_TRUE(flag);
  store.SetBoolean(4, 9, false);
  ASSERT_TRUE(store.GetInteger(4, 9, &value));
  EXPECT_EQ(value, 0);
}

TEST(ExtractionSettings, DefaultsFillWhateverTheStoreLacks) {
  SettingsStore store;
  ExtractionSettings record;
  record.sizeMode = 1;
  record.maxWidth = 5;
  ReadExtractionSettings(store, &record);
  EXPECT_EQ(record.sizeMode, NativeOnly);
  EXPECT_EQ(record.maxWidth, 800);
  EXPECT_EQ(record.maxHeight, 800);
  EXPECT_TRUE(record.addSuffix);

  // A value of the wrong type keeps that field's default.
  store.Entry(0, kMaxWidthKey).type = kSettingText;
  store.SetInteger(0, kMaxHeightKey, 600);
  ReadExtractionSettings(store, &record);
  EXPECT_EQ(record.maxWidth, 800);
  EXPECT_EQ(record.maxHeight, 600);
}

TEST(ExtractionSettings, ValuesAreNeitherClampedNorNormalised) {
  SettingsStore store;
  store.SetInteger(0, kSizeModeKey, 7);
  store.SetInteger(0, kMaxWidthKey, 0);
  store.SetInteger(0, kMaxHeightKey, -5);
  store.SetInteger(0, kAddSuffixKey, 5);
  ExtractionSettings record;
  ReadExtractionSettings(store, &record);
  EXPECT_EQ(record.sizeMode, 7);
  EXPECT_EQ(record.maxWidth, 0);
  EXPECT_EQ(record.maxHeight, -5);
  EXPECT_TRUE(record.addSuffix);

  // Written back, the boolean becomes 1; the numbers stay as they are.
  WriteExtractionSettings(record, &store);
  int32_t stored = 0;
  ASSERT_TRUE(store.GetInteger(0, kAddSuffixKey, &stored));
  EXPECT_EQ(stored, 1);
  ASSERT_TRUE(store.GetInteger(0, kMaxHeightKey, &stored));
  EXPECT_EQ(stored, -5);
  record.addSuffix = false;
  WriteExtractionSettings(record, &store);
  ASSERT_TRUE(store.GetInteger(0, kAddSuffixKey, &stored));
  EXPECT_EQ(stored, 0);
}

TEST(ExtractionSettings, TheMetadataModeIsReadAsStoredAndWrittenOnlyOnceChosen) {
  // A store of an earlier version has no metadata key: compact, and writing
  // the record back leaves the file as that version would write it.
  SettingsStore store;
  ExtractionSettings record;
  WriteExtractionSettings(record, &store);
  ReadExtractionSettings(store, &record);
  EXPECT_EQ(record.metadata, MetadataCompact);
  EXPECT_EQ(store.sections().at(kExtractionSection).count(kMetadataKey), 0u);

  record.metadata = MetadataComplete;
  WriteExtractionSettings(record, &store);
  int32_t stored = 0;
  ASSERT_TRUE(store.GetInteger(kExtractionSection, kMetadataKey, &stored));
  EXPECT_EQ(stored, MetadataComplete);
  // Once stored, going back to compact stores 0 rather than leaving 1.
  record.metadata = MetadataCompact;
  WriteExtractionSettings(record, &store);
  ASSERT_TRUE(store.GetInteger(kExtractionSection, kMetadataKey, &stored));
  EXPECT_EQ(stored, MetadataCompact);

  // A value of a later version is kept as it is (and means compact to the
  // job); a value of another type keeps the default.
  store.SetInteger(kExtractionSection, kMetadataKey, 7);
  ReadExtractionSettings(store, &record);
  EXPECT_EQ(record.metadata, 7);
  WriteExtractionSettings(record, &store);
  ASSERT_TRUE(store.GetInteger(kExtractionSection, kMetadataKey, &stored));
  EXPECT_EQ(stored, 7);
  store.Entry(kExtractionSection, kMetadataKey).type = kSettingText;
  ReadExtractionSettings(store, &record);
  EXPECT_EQ(record.metadata, MetadataCompact);
}
