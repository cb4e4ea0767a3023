// `rawlift extract`: the extraction job over files and folders, with a
// progress bar on a terminal and the summary text at the end.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "job/extraction_job.h"
#include "job/outcome.h"
#include "job/summary.h"

namespace cli {

// Exit status of `rawlift extract`.
constexpr int kExtractCompleted = 0;
constexpr int kExtractCompletedWithProblems = 1;  // a PATH missing, or --save failed
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

// The --verbose line of one RAW file, without line end: the outputs written
// and those already present with their pixel sizes, or why nothing was
// written, and why an output is missing.
std::string FileOutcomeLine(const job::FileOutcome& outcome);
// The --json object of one RAW file, on one line without line end.
std::string FileOutcomeJson(const job::FileOutcome& outcome);
// The --json object with the counts that ends the output.
std::string CountsJson(const job::JobCounters& counters, const job::CollectionReport& collection);
// The text of one RAW file's "# " line of --progress, without the "# ": its
// file name (not the folder), what became of it, and `done` of `total`.
// Always valid UTF-8 on one line (see ProgressDialogText).
std::string FileProgressText(const job::FileOutcome& outcome, int32_t done, int32_t total);
// The percentage line of --progress after `done` of `total` files: 0 to 99
// while the run lasts; only the line that ends the run says 100, so a window
// that closes at 100 closes when the summary is there.
int ProgressPercent(int32_t done, int32_t total);
// Text made safe for a "# " line: bytes that are not UTF-8 and control
// characters (a name may hold a newline) become U+FFFD, and a backslash is
// doubled, since zenity reads backslash escapes in that text.
std::string ProgressDialogText(const std::string& text);
// The lines telling how many sub-folders were not searched (empty when none).
std::string CollectionNotice(const job::CollectionReport& collection);

// One line of the progress bar, without line ends: a bar of `width` cells,
// files done of total, new, present and the estimated time left.
// `elapsedMs` is the time spent since the first file was started.
std::string ProgressLine(const job::JobCounters& counters, int64_t elapsedMs, int width);

}  // namespace cli
