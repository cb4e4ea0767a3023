// The settings file loader over arbitrary bytes; whatever loads must survive
// a save and a second load with the same meaning (section, key, tag and the
// member the tag selects).
#include <cstdint>
#include <cstdlib>

#include "settings/settings_store.h"

namespace {

constexpr uint32_t kFuzzMagic = 0x52435653;  // any fixed value; the loader checks it

bool SameMeaning(const settings::SettingValue& a, const settings::SettingValue& b) {
  if (a.type != b.type) return false;
  switch (a.type) {
    case settings::kSettingInteger:
      return a.integer == b.integer;
    case settings::kSettingText:
      return a.text == b.text;
    case settings::kSettingBytes:
      return a.bytes == b.bytes;
    default:
      return true;
  }
}

bool SameStores(const settings::SettingsStore& a, const settings::SettingsStore& b) {
  if (a.sections().size() != b.sections().size()) return false;
  auto sa = a.sections().begin();
  auto sb = b.sections().begin();
  for (; sa != a.sections().end(); ++sa, ++sb) {
    if (sa->first != sb->first || sa->second.size() != sb->second.size()) return false;
    auto ea = sa->second.begin();
    auto eb = sb->second.begin();
    for (; ea != sa->second.end(); ++ea, ++eb)
      if (ea->first != eb->first || !SameMeaning(ea->second, eb->second)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  settings::SettingsStore store;
  if (!settings::ParseSettings(data, size, kFuzzMagic, &store)) return 0;
  const auto image = settings::SerializeSettings(store, kFuzzMagic);
  settings::SettingsStore again;
  if (!settings::ParseSettings(image.data(), image.size(), kFuzzMagic, &again)) std::abort();
  if (!SameStores(store, again)) std::abort();
  return 0;
}
