// The settings file: the store's image in little-endian 32-bit words.
#include <cstring>

#include "platform/file.h"
#include "platform/fs.h"
#include "settings/settings_store.h"

namespace settings {

namespace {

// Reads little-endian words from a byte image; every read either succeeds
// completely or fails and leaves the position where it was.
class ImageReader {
 public:
  ImageReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t remaining() const { return size_ - position_; }

  bool U32(uint32_t* value) {
    if (remaining() < 4) return false;
    const uint8_t* p = data_ + position_;
    *value = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
             static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    position_ += 4;
    return true;
  }
  bool I32(int32_t* value) {
    uint32_t raw = 0;
    if (!U32(&raw)) return false;
    *value = static_cast<int32_t>(raw);
    return true;
  }
  // `count` bytes at the current position, or null when fewer remain.
  const uint8_t* Take(uint64_t count) {
    if (count > remaining()) return nullptr;
    const uint8_t* start = data_ + position_;
    position_ += static_cast<size_t>(count);
    return start;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

void PutU32(std::vector<uint8_t>* out, uint32_t value) {
  out->push_back(static_cast<uint8_t>(value));
  out->push_back(static_cast<uint8_t>(value >> 8));
  out->push_back(static_cast<uint8_t>(value >> 16));
  out->push_back(static_cast<uint8_t>(value >> 24));
}

void PutI32(std::vector<uint8_t>* out, int32_t value) {
  PutU32(out, static_cast<uint32_t>(value));
}

// One entry's key, tag and payload, read completely before the store sees it.
bool ReadEntry(ImageReader* reader, int32_t* key, SettingValue* value) {
  int32_t tag = 0;
  if (!reader->I32(key) || !reader->I32(&tag)) return false;
  value->type = tag;
  switch (tag) {
    case kSettingInteger:
      return reader->I32(&value->integer);
    case kSettingText: {
      uint32_t units = 0;
      if (!reader->U32(&units)) return false;
      // The length is checked against what the file still holds before
      // anything is allocated for it.
      const uint8_t* bytes = reader->Take(static_cast<uint64_t>(units) * 2);
      if (!bytes) return false;
      std::u16string text;
      text.reserve(units);
      for (uint32_t i = 0; i < units; ++i) {
        const char16_t unit =
            static_cast<char16_t>(bytes[2 * i] | static_cast<uint16_t>(bytes[2 * i + 1]) << 8);
        if (unit == 0) break;  // the string ends at its first NUL unit
        text += unit;
      }
      value->text = std::move(text);
      return true;
    }
    case kSettingBytes: {
      uint32_t length = 0;
      if (!reader->U32(&length)) return false;
      const uint8_t* bytes = reader->Take(length);
      if (!bytes) return false;
      value->bytes.assign(bytes, bytes + length);
      return true;
    }
    default:
      return true;  // other tags carry no payload
  }
}

}  // namespace

bool ParseSettings(const uint8_t* data, size_t size, uint32_t magic, SettingsStore* store) {
  store->Clear();
  ImageReader reader(data, size);
  uint32_t fileMagic = 0;
  if (!reader.U32(&fileMagic) || fileMagic != magic) return false;
  uint32_t sectionCount = 0;
  if (!reader.U32(&sectionCount)) return true;
  // The counts come from the file: every section and entry consumes at least
  // eight bytes, so the loops end when the image does, whatever they claim.
  for (uint32_t s = 0; s < sectionCount; ++s) {
    int32_t sectionId = 0;
    uint32_t entryCount = 0;
    if (!reader.I32(&sectionId) || !reader.U32(&entryCount)) return true;
    store->SectionAt(sectionId);
    for (uint32_t e = 0; e < entryCount; ++e) {
      int32_t key = 0;
      SettingValue value;
      if (!ReadEntry(&reader, &key, &value)) return true;
      // A key read twice keeps its members from the first time except the
      // ones the second reading sets.
      SettingValue& entry = store->Entry(sectionId, key);
      entry.type = value.type;
      if (value.type == kSettingInteger) entry.integer = value.integer;
      if (value.type == kSettingText) entry.text = std::move(value.text);
      if (value.type == kSettingBytes) entry.bytes = std::move(value.bytes);
    }
  }
  return true;
}

std::vector<uint8_t> SerializeSettings(const SettingsStore& store, uint32_t magic) {
  std::vector<uint8_t> out;
  PutU32(&out, magic);
  PutU32(&out, static_cast<uint32_t>(store.sections().size()));
  for (const auto& section : store.sections()) {
    PutI32(&out, section.first);
    PutU32(&out, static_cast<uint32_t>(section.second.size()));
    for (const auto& entry : section.second) {
      const SettingValue& value = entry.second;
      PutI32(&out, entry.first);
      PutI32(&out, value.type);
      if (value.type == kSettingInteger) {
        PutI32(&out, value.integer);
      } else if (value.type == kSettingText) {
        PutU32(&out, static_cast<uint32_t>(value.text.size()));
        for (char16_t unit : value.text) {
          out.push_back(static_cast<uint8_t>(unit));
          out.push_back(static_cast<uint8_t>(unit >> 8));
        }
      } else if (value.type == kSettingBytes) {
        PutU32(&out, static_cast<uint32_t>(value.bytes.size()));
        out.insert(out.end(), value.bytes.begin(), value.bytes.end());
      }
    }
  }
  return out;
}

std::u16string UserSettingsBaseFolder() {
  return platform::UserConfigFolder();
}

std::u16string SettingsFilePath(const std::u16string& base, const std::u16string& company,
                                const std::u16string& product, const std::u16string& fileName) {
  const char16_t sep = platform::kPathSeparator;
  return base + sep + company + sep + product + sep + fileName;
}

void LoadSettingsFromPath(SettingsStore* store, uint32_t magic, const std::u16string& path) {
  store->Clear();
  platform::ReadOnlyFile file;
  if (!file.Open(path)) return;
  const int64_t size = file.Size();
  if (size < 0 || size > kMaxSettingsFileSize) return;
  std::vector<uint8_t> image(static_cast<size_t>(size));
  const size_t got = file.ReadAt(0, image.data(), image.size());
  ParseSettings(image.data(), got, magic, store);
}

bool SaveSettingsToPath(const SettingsStore& store, uint32_t magic, const std::u16string& path) {
  const std::vector<uint8_t> image = SerializeSettings(store, magic);
  return static_cast<bool>(platform::WriteNewFile(path, image.data(), image.size(), u".rlft-",
                                                  u".tmp", false,
                                                  platform::ExistingFile::kReplacePlainFile));
}

void LoadSettingsFile(SettingsStore* store, uint32_t magic, const std::u16string& company,
                      const std::u16string& product, const std::u16string& fileName) {
  const std::u16string base = UserSettingsBaseFolder();
  if (base.empty()) {
    store->Clear();
    return;
  }
  LoadSettingsFromPath(store, magic, SettingsFilePath(base, company, product, fileName));
}

bool SaveSettingsFile(const SettingsStore& store, uint32_t magic, const std::u16string& company,
                      const std::u16string& product, const std::u16string& fileName) {
  const std::u16string base = UserSettingsBaseFolder();
  if (base.empty()) return false;
  const char16_t sep = platform::kPathSeparator;
  // Existing folders, or folders that cannot be made, are no reason to stop
  // here: the file creation below tells.
  platform::CreateFolder(base);
  platform::CreateFolder(base + sep + company);
  platform::CreateFolder(base + sep + company + sep + product);
  return SaveSettingsToPath(store, magic, SettingsFilePath(base, company, product, fileName));
}

}  // namespace settings
