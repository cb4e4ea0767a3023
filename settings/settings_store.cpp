#include "settings/settings_store.h"

namespace settings {

namespace {

const SettingValue* Find(const SettingsStore::Sections& sections, int32_t section, int32_t key) {
  const auto s = sections.find(section);
  if (s == sections.end()) return nullptr;
  const auto k = s->second.find(key);
  return k == s->second.end() ? nullptr : &k->second;
}

}  // namespace

bool SettingsStore::GetInteger(int32_t section, int32_t key, int32_t* value) const {
  const SettingValue* found = Find(sections_, section, key);
  if (!found || found->type != kSettingInteger) return false;
  *value = found->integer;
  return true;
}

bool SettingsStore::GetBoolean(int32_t section, int32_t key, bool* value) const {
  int32_t stored = 0;
  if (!GetInteger(section, key, &stored)) return false;
  *value = stored != 0;
  return true;
}

void SettingsStore::SetInteger(int32_t section, int32_t key, int32_t value) {
  SettingValue& entry = Entry(section, key);
  entry.type = kSettingInteger;
  entry.integer = value;
}

void SettingsStore::SetBoolean(int32_t section, int32_t key, bool value) {
  SetInteger(section, key, value ? 1 : 0);
}

SettingValue& SettingsStore::Entry(int32_t section, int32_t key) {
  return sections_[section][key];
}

void ReadExtractionSettings(const SettingsStore& store, ExtractionSettings* record) {
  *record = ExtractionSettings();
  store.GetInteger(kExtractionSection, kSizeModeKey, &record->sizeMode);
  store.GetInteger(kExtractionSection, kMaxWidthKey, &record->maxWidth);
  store.GetInteger(kExtractionSection, kMaxHeightKey, &record->maxHeight);
  store.GetBoolean(kExtractionSection, kAddSuffixKey, &record->addSuffix);
  store.GetInteger(kExtractionSection, kMetadataKey, &record->metadata);
}

void WriteExtractionSettings(const ExtractionSettings& record, SettingsStore* store) {
  store->SetInteger(kExtractionSection, kSizeModeKey, record.sizeMode);
  store->SetInteger(kExtractionSection, kMaxWidthKey, record.maxWidth);
  store->SetInteger(kExtractionSection, kMaxHeightKey, record.maxHeight);
  store->SetBoolean(kExtractionSection, kAddSuffixKey, record.addSuffix);
  int32_t stored = 0;
  if (record.metadata != MetadataCompact ||
      store->GetInteger(kExtractionSection, kMetadataKey, &stored))
    store->SetInteger(kExtractionSection, kMetadataKey, record.metadata);
}

}  // namespace settings
