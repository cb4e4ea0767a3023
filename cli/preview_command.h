// `rawlift preview`: the embedded JPEG of one camera file, written as the
// engine returns it.
#pragma once

#include <cstdio>

#include "cli/commands.h"

namespace cli {

// Exit codes of `rawlift preview`.
constexpr int kPreviewWritten = 0;
constexpr int kPreviewNone = 1;  // no extractable preview (or the file cannot be read)
constexpr int kPreviewUsageOrWrite = 2;

// The command with its messages going to `err` (tests pass a file of their own).
// The preview itself goes to the named file or, for "-", standard output.
int RunPreviewWith(const Args& args, FILE* err);

}  // namespace cli
