// `rawlift thumbnail`: a PNG thumbnail of one camera file, for file managers'
// thumbnailers.
#pragma once

#include <cstdio>

#include "cli/commands.h"

namespace cli {

// Exit codes of `rawlift thumbnail`.
constexpr int kThumbnailWritten = 0;
constexpr int kThumbnailNone = 1;  // no preview, or one that cannot be decoded
constexpr int kThumbnailUsageOrWrite = 2;

// The command with its messages going to `err` (tests pass a file of their own).
int RunThumbnailWith(const Args& args, FILE* err);

// SIZE as given to --size: decimal digits only, 1 to imaging::kMaxThumbnailSize.
bool ParseThumbnailSize(const std::string& text, int* size);

}  // namespace cli
