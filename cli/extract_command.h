// `rawlift extract`: the extraction job over files and folders, with a
// progress bar on a terminal and the summary text at the end.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/extract_reports.h"
#include "job/extraction_job.h"
#include "job/outcome.h"
#include "job/summary.h"

namespace cli {

// Exit status of `rawlift extract`.
constexpr int kExtractCompleted = 0;
// An output not written (folder, write, full disk, memory), a RAW file not
// readable, a PATH missing or no file or folder, or --save failed.
constexpr int kExtractCompletedWithProblems = 1;
constexpr int kExtractUsage = 2;
constexpr int kExtractInterrupted = 130;  // 128 + SIGINT, as shells report it

// Where the command reads and writes; RunExtract fills it from the process.
struct ExtractEnvironment {
  FILE* out = stdout;
  FILE* err = stderr;
  bool progressBar = false;  // err is a terminal: draw and redraw a bar on it
  std::u16string settingsFile;
  // Set (from a signal handler) to cancel after the current file.
  const std::atomic<bool>* interrupted = nullptr;
};

int RunExtractWith(const Args& args, const ExtractEnvironment& environment);

}  // namespace cli
