// The extraction-option flags shared by `rawlift extract` and
// `rawlift settings`, and the settings command itself.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "settings/settings_store.h"

namespace cli {

// --native-only, --smaller, --max-width N, --max-height N, --suffix,
// --no-suffix, --metadata MODE, --save and --help.
const std::vector<OptionSpec>& ExtractionFlagSpecs();
// Help lines describing those flags.
extern const char kExtractionFlagsHelp[];

// Applies the given flags to *record. False with *error on a bound that is
// not a whole number from 1 to 65535, a metadata
// mode other than compact or complete, or two contradicting flags
// (--native-only with --smaller, --suffix with --no-suffix). *changed tells
// whether any option flag was given.
bool ApplyExtractionFlags(const ParsedOptions& options, settings::ExtractionSettings* record,
                          bool* changed, std::string* error);

// The settings file of this user.
std::u16string UserSettingsFilePath();

// Writes the store to the file, creating its missing folders; false when
// the file could not be written completely.
bool SaveSettingsTo(const settings::SettingsStore& store, const std::u16string& settingsFile);

// "key: value" lines describing the record (and the file it lives in).
std::string DescribeSettings(const settings::ExtractionSettings& record,
                             const std::u16string& file);

// The command over an explicit settings file, writing to out and err.
// Exit 0 when shown (or stored), 1 when storing failed, 2 on a usage error.
int RunSettingsWith(const Args& args, const std::u16string& settingsFile, FILE* out, FILE* err);

}  // namespace cli
