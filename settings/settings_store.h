// The per-user extraction options: a small typed key-value store, the record
// of the five extraction options kept in it, and the file that holds it.
//
// The store is a two-level ordered map: section id -> key -> SettingValue.
// Only section 0, keys 0 to 4, carry meaning for Rawlift; every other value
// read from the file is carried through a save unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace settings {

// Tag of a stored value. Any other tag value is legal in a file and has no
// payload.
enum SettingType : int32_t {
  kSettingInteger = 0,  // one signed 32-bit integer; booleans as 0 or 1
  kSettingText = 1,     // a UTF-16 string
  kSettingBytes = 2,    // a byte string of any length
};

// The tag and three members; only the member the tag selects is meaningful
// and written. The others travel along untouched.
struct SettingValue {
  int32_t type = kSettingInteger;
  int32_t integer = 0;
  std::u16string text;
  std::vector<uint8_t> bytes;

  bool operator==(const SettingValue& other) const {
    return type == other.type && integer == other.integer && text == other.text &&
           bytes == other.bytes;
  }
};

class SettingsStore {
 public:
  using Section = std::map<int32_t, SettingValue>;
  using Sections = std::map<int32_t, Section>;

  // Found only when the section and key exist and the tag is Integer; the
  // output is left untouched otherwise. Lookups never create anything.
  bool GetInteger(int32_t section, int32_t key, int32_t* value) const;
  // As GetInteger; true when the stored integer is non-zero.
  bool GetBoolean(int32_t section, int32_t key, bool* value) const;
  // Create section and key when missing; tag becomes Integer.
  void SetInteger(int32_t section, int32_t key, int32_t value);
  void SetBoolean(int32_t section, int32_t key, bool value);

  // Find-or-create, for the file loader.
  SettingValue& Entry(int32_t section, int32_t key);
  Section& SectionAt(int32_t section) { return sections_[section]; }

  void Clear() { sections_.clear(); }
  bool Empty() const { return sections_.empty(); }
  const Sections& sections() const { return sections_; }

 private:
  Sections sections_;
};

// The extraction options. Values are never clamped or validated: a sizeMode
// other than 0 or 1 is kept as it is, and callers treat any non-zero value as
// NativeAndSmaller.
enum SizeMode : int32_t {
  NativeOnly = 0,        // write only the full-size preview
  NativeAndSmaller = 1,  // also write a copy bounded by maxWidth x maxHeight
};

// What the Exif segment inserted into a preview without one carries. Any
// value other than MetadataComplete is kept as stored and read as compact.
enum MetadataMode : int32_t {
  MetadataCompact = 0,   // make, model, date, orientation, exposure
  MetadataComplete = 1,  // the raw file's own IFD0, Exif and GPS description
};

constexpr int32_t kExtractionSection = 0;
constexpr int32_t kSizeModeKey = 0;
constexpr int32_t kMaxWidthKey = 1;
constexpr int32_t kMaxHeightKey = 2;
constexpr int32_t kAddSuffixKey = 3;
// Added after the first release: files written before it lack the key.
constexpr int32_t kMetadataKey = 4;

constexpr int32_t kDefaultMaxWidth = 800;
constexpr int32_t kDefaultMaxHeight = 800;

struct ExtractionSettings {
  int32_t sizeMode = NativeOnly;
  int32_t maxWidth = kDefaultMaxWidth;
  int32_t maxHeight = kDefaultMaxHeight;
  bool addSuffix = true;  // output names carry the "_RLFT" product suffix
  int32_t metadata = MetadataCompact;

  bool operator==(const ExtractionSettings& o) const {
    return sizeMode == o.sizeMode && maxWidth == o.maxWidth && maxHeight == o.maxHeight &&
           addSuffix == o.addSuffix && metadata == o.metadata;
  }
};

// Sets the defaults, then takes every one of the five values the store holds
// as an Integer.
void ReadExtractionSettings(const SettingsStore& store, ExtractionSettings* record);
// Stores the values as Integers (addSuffix as 0 or 1). The metadata mode is
// stored when it is not compact or the store already holds it, so that a
// file of someone who never chose it stays as earlier versions wrote it.
void WriteExtractionSettings(const ExtractionSettings& record, SettingsStore* store);

// ---- The settings file ----------------------------------------------------
//
// Little-endian 32-bit words: magic, section count, then per section its id
// and entry count, then per entry key, tag and payload (Integer: 4 bytes;
// Text: length in code units and 2 bytes per unit; Bytes: length and bytes;
// any other tag: nothing). No version, checksum or padding.

constexpr uint32_t kSettingsMagic = 0x726C6674;  // "rlft"; the file starts "tflr"
constexpr char16_t kCompanyFolder[] = u"Corvane";
constexpr char16_t kProductFolder[] = u"RLFT";
constexpr char16_t kSettingsFileName[] = u"RLFT.cfg";

// The settings file is tiny; anything larger than this is not ours and is
// read as if absent (it is replaced by the next save).
constexpr int64_t kMaxSettingsFileSize = 16 * 1024 * 1024;

// The per-user folder below which the company folder lives: on Windows the
// roaming application-data folder, on POSIX $XDG_CONFIG_HOME (default
// ~/.config). Empty when it cannot be told.
std::u16string UserSettingsBaseFolder();

// base + sep + company + sep + product + sep + file name.
std::u16string SettingsFilePath(const std::u16string& base, const std::u16string& company,
                                const std::u16string& product, const std::u16string& fileName);

// Replaces the store's content with the file's: empty when the file is
// missing, unreadable or starts with another magic. A truncated or damaged
// file never allocates beyond its own size; values not read completely are
// dropped, so the record's defaults stand for them.
void LoadSettingsFile(SettingsStore* store, uint32_t magic, const std::u16string& company,
                      const std::u16string& product, const std::u16string& fileName);
// Creates the company and product folders when missing and writes the whole
// store. True when the file was written; the shell ignores the result, the
// command line reports it.
bool SaveSettingsFile(const SettingsStore& store, uint32_t magic, const std::u16string& company,
                      const std::u16string& product, const std::u16string& fileName);

// The same over a full file path.
void LoadSettingsFromPath(SettingsStore* store, uint32_t magic, const std::u16string& path);
// True when the file was written completely. Writes into a temporary file
// beside it and moves it over the old one, so a failed save keeps the
// previous settings.
bool SaveSettingsToPath(const SettingsStore& store, uint32_t magic, const std::u16string& path);

// The file image in memory.
std::vector<uint8_t> SerializeSettings(const SettingsStore& store, uint32_t magic);
// Parses an image into the (cleared) store; false when the magic differs
// (store left empty). Stops at the first value not present completely.
bool ParseSettings(const uint8_t* data, size_t size, uint32_t magic, SettingsStore* store);

}  // namespace settings
