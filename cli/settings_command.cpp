#include "cli/settings_command.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/fs.h"
#include "platform/path.h"

namespace cli {

namespace {

const char kSettingsHelp[] =
    "Usage: rawlift settings [OPTIONS]\n"
    "\n"
    "Shows the stored extraction settings; with options, changes and stores\n"
    "them first. Bounds given as options are 1 to 65535 pixels; values already\n"
    "in the settings file are shown and used as stored.\n"
    "\n"
    "Options:\n";

// The largest bound an option takes: the largest side a JPEG can have.
constexpr int32_t kMaxBoundOption = 65535;

const char kSettingsExitHelp[] =
    "\n"
    "Exit status: 0 when the settings were shown (after storing the options\n"
    "given); 1 when they could not be stored; 2 on a usage error.\n";

// A whole decimal number with an optional sign, within 32 bits.
bool ParseInt32(const std::string& text, int32_t* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end != text.c_str() + text.size() || parsed < INT32_MIN || parsed > INT32_MAX) {
    return false;
  }
  *value = static_cast<int32_t>(parsed);
  return true;
}

// A bound given as an option: a whole number of pixels from 1 to
// kMaxBoundOption. (Values already in a settings file are taken as stored.)
bool ParseBound(const ParsedOptions& options, const char* name, int32_t* value,
                std::string* error) {
  if (!options.Has(name)) return true;
  int32_t parsed = 0;
  if (ParseInt32(options.Value(name), &parsed) && parsed >= 1 && parsed <= kMaxBoundOption) {
    *value = parsed;
    return true;
  }
  *error = "--" + std::string(name) + " needs a whole number from 1 to " +
           std::to_string(kMaxBoundOption) + ", not '" + options.Value(name) + "'";
  return false;
}

}  // namespace

const char kExtractionFlagsHelp[] =
    "  --native-only     write only the full-size preview\n"
    "  --smaller         also write a copy bounded by the maximum width and height\n"
    "                    into extracted_jpegs_WIDTH\n"
    "  --max-width N     width bound of the smaller copy (default 800)\n"
    "  --max-height N    height bound of the smaller copy (default 800)\n"
    "  --suffix          name outputs NAME_RLFT.jpg and NAME_RLFT_WIDTH.jpg (default)\n"
    "  --no-suffix       name both outputs NAME.jpg\n"
    "  --metadata MODE   the Exif header given to a preview that has none:\n"
    "                    compact (make, model, date, orientation, exposure; the\n"
    "                    default) or complete (the RAW file's own description:\n"
    "                    IFD0, the whole Exif directory without the maker note,\n"
    "                    GPS)\n"
    "  --save            store the options given as the new settings\n"
    "  -h, --help        show this help\n";

const std::vector<OptionSpec>& ExtractionFlagSpecs() {
  static const std::vector<OptionSpec> kSpecs = {
      {"native-only", 0, false}, {"smaller", 0, false}, {"max-width", 0, true},
      {"max-height", 0, true},   {"suffix", 0, false},  {"no-suffix", 0, false},
      {"metadata", 0, true},     {"save", 0, false},    {"help", 'h', false}};
  return kSpecs;
}

bool ApplyExtractionFlags(const ParsedOptions& options, settings::ExtractionSettings* record,
                          bool* changed, std::string* error) {
  if (options.Has("native-only") && options.Has("smaller")) {
    *error = "--native-only and --smaller exclude each other";
    return false;
  }
  if (options.Has("suffix") && options.Has("no-suffix")) {
    *error = "--suffix and --no-suffix exclude each other";
    return false;
  }
  settings::ExtractionSettings result = *record;
  if (!ParseBound(options, "max-width", &result.maxWidth, error) ||
      !ParseBound(options, "max-height", &result.maxHeight, error)) {
    return false;
  }
  if (options.Has("native-only")) result.sizeMode = settings::NativeOnly;
  if (options.Has("smaller")) result.sizeMode = settings::NativeAndSmaller;
  if (options.Has("suffix")) result.addSuffix = true;
  if (options.Has("no-suffix")) result.addSuffix = false;
  if (options.Has("metadata")) {
    bool complete = false;
    if (!ParseMetadataName(options.Value("metadata"), &complete)) {
      *error = "--metadata needs compact or complete, not '" + options.Value("metadata") + "'";
      return false;
    }
    result.metadata = complete ? settings::MetadataComplete : settings::MetadataCompact;
  }
  *changed = false;
  for (const char* name :
       {"native-only", "smaller", "max-width", "max-height", "suffix", "no-suffix", "metadata"}) {
    *changed = *changed || options.Has(name);
  }
  *record = result;
  return true;
}

std::u16string UserSettingsFilePath() {
  const std::u16string base = settings::UserSettingsBaseFolder();
  if (base.empty()) return std::u16string();
  return settings::SettingsFilePath(base, settings::kCompanyFolder, settings::kProductFolder,
                                    settings::kSettingsFileName);
}

std::string DescribeSettings(const settings::ExtractionSettings& record,
                             const std::u16string& file) {
  std::string text;
  text += "settings file: ";
  if (file.empty()) {
    text += "(no per-user folder)\n";
  } else {
    text += platform::PathForDisplay(file);
    text += platform::CanOpenForReading(file) ? "\n" : " (not written yet: defaults)\n";
  }
  text += "size mode: ";
  text += record.sizeMode == settings::NativeOnly ? "native only" : "native and smaller";
  text += " (" + std::to_string(record.sizeMode) + ")\n";
  text += "max width: " + std::to_string(record.maxWidth) + "\n";
  text += "max height: " + std::to_string(record.maxHeight) + "\n";
  text += std::string("add suffix: ") + (record.addSuffix ? "yes" : "no") + "\n";
  // A stored value of a later version reads as compact and is shown as stored.
  text += "metadata: ";
  text += record.metadata == settings::MetadataComplete ? "complete" : "compact";
  text += " (" + std::to_string(record.metadata) + ")\n";
  return text;
}

int RunSettingsWith(const Args& args, const std::u16string& settingsFile, FILE* out, FILE* err) {
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args, ExtractionFlagSpecs(), &options, &error)) {
    std::fprintf(err, "rawlift settings: %s\n\n%s%s%s", error.c_str(), kSettingsHelp,
                 kExtractionFlagsHelp, kSettingsExitHelp);
    return 2;
  }
  if (options.Has("help")) {
    std::fprintf(out, "%s%s%s", kSettingsHelp, kExtractionFlagsHelp, kSettingsExitHelp);
    return 0;
  }
  if (!options.operands.empty()) {
    std::fprintf(err, "rawlift settings: unexpected argument '%s'\n", options.operands[0].c_str());
    return 2;
  }
  settings::SettingsStore store;
  if (!settingsFile.empty()) {
    settings::LoadSettingsFromPath(&store, settings::kSettingsMagic, settingsFile);
  }
  settings::ExtractionSettings record;
  settings::ReadExtractionSettings(store, &record);
  bool changed = false;
  if (!ApplyExtractionFlags(options, &record, &changed, &error)) {
    std::fprintf(err, "rawlift settings: %s\n", error.c_str());
    return 2;
  }
  if (changed) {
    // Everything else the file holds is written back as it was read.
    settings::WriteExtractionSettings(record, &store);
    if (!SaveSettingsTo(store, settingsFile)) {
      std::fprintf(err, "rawlift settings: could not write %s\n",
                   settingsFile.empty() ? "the settings file (no per-user folder)"
                                        : platform::PathForDisplay(settingsFile).c_str());
      return 1;
    }
  }
  std::fputs(DescribeSettings(record, settingsFile).c_str(), out);
  return 0;
}

bool SaveSettingsTo(const settings::SettingsStore& store, const std::u16string& settingsFile) {
  if (settingsFile.empty()) return false;
  // The company and product folders are made as needed (and the per-user
  // folder itself, which a fresh account may lack).
  const char16_t sep = platform::kPathSeparator;
  size_t from = 1;
  while (true) {
    const size_t next = settingsFile.find(sep, from);
    if (next == std::u16string::npos) break;
    const std::u16string folder = settingsFile.substr(0, next);
    if (!platform::IsDirectory(folder)) platform::CreateFolder(folder);
    from = next + 1;
  }
  return settings::SaveSettingsToPath(store, settings::kSettingsMagic, settingsFile);
}

int RunSettings(const Args& args) {
  return RunSettingsWith(args, UserSettingsFilePath(), stdout, stderr);
}

}  // namespace cli
