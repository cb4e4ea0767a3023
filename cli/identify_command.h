// `rawlift identify`: what the engine learns about each file, as aligned
// "key: value" lines or as one JSON object per line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "engine/images.h"
#include "engine/outcome.h"
#include "engine/parse_state.h"

namespace cli {

// One reported value. Text is UTF-8 already (camera text is taken as Latin-1).
struct ReportField {
  enum class Kind { Null, Bool, Integer, Real, Text, Objects };
  std::string key;
  Kind kind = Kind::Null;
  bool boolean = false;
  int64_t integer = 0;
  double real = 0;
  std::string text;
  std::vector<std::vector<ReportField>> objects;  // Objects: a list of objects
};

// A field of each kind; Real gives null for an infinity or NaN, which JSON
// cannot carry, and its text is the shortest that reads back the same.
ReportField NullField(const char* key);
ReportField BoolField(const char* key, bool value);
ReportField IntegerField(const char* key, int64_t value);
ReportField RealField(const char* key, float value);
ReportField TextField(const char* key, std::string utf8);

// The facts for one file, in output order. `state` is null when the file could
// not be opened; every engine field is then null. `reason` is why extraction
// gives nothing (kNone when it gives a JPEG). `exif_orientation` is the
// Orientation value a synthesized Exif header would carry, or -1 when unknown.
// `images` lists the file's embedded images (null when it could not be opened).
std::vector<ReportField> DescribeFile(const std::string& path, const engine::ParseState* state,
                                      engine::NoPreviewReason reason, int exif_orientation,
                                      const engine::Identification* images = nullptr);

// The list of embedded images as a field of objects with the keys where, kind,
// offset, length, width, height, complete, own_exif, chosen (the image
// `rawlift preview` writes).
ReportField ImagesField(const engine::Identification& images);

// One JSON object, no line break. Text escaped for JSON (quotes, backslash,
// control characters); the output is valid UTF-8.
std::string FormatJson(const std::vector<ReportField>& fields);
// "key: value" lines with the values aligned in one column; control
// characters in text appear as JSON-style escapes so each fact stays on its line.
std::string FormatText(const std::vector<ReportField>& fields);

// A fixed-size 8-bit text field up to its NUL (or its end), each byte taken as
// the Latin-1 code point of the same value, as UTF-8.
std::string Latin1FieldToUtf8(const char* field, size_t capacity);

// The shortest decimal text that reads back as the same single-precision value.
std::string ShortestFloatText(float value);

// The Orientation value in the synthesized header for this state, read back
// from the header the engine builds; -1 when the header has no such entry.
int SynthesizedExifOrientation(const engine::ParseState& state);

// The command, writing to the given streams (tests pass files of their own).
int RunIdentifyWith(const Args& args, FILE* out, FILE* err);

}  // namespace cli
