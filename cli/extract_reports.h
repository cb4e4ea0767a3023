// What `rawlift extract` tells: the description of one RAW file's outcome,
// the tally of faults, and one reporter per report mode (the summary, -v,
// --json, --progress), all behind one small interface.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "job/extraction_job.h"
#include "job/outcome.h"
#include "job/summary.h"

namespace cli {

// One RAW file's outcome in words, from which every report is formatted.
struct OutcomeDescription {
  // "written", "present", "failed" (an output is missing through a fault
  // and none is there) or "none" (no output, no fault: the file holds no
  // preview).
  const char* word = "none";
  // "written", "already present" or "nothing written: REASON".
  std::string status;
  // "reduced copy not written: REASON" when an output is missing beside
  // one written or present; else empty.
  std::string missing;
  std::string reason;  // why the first missing output is missing; empty when none is
};
OutcomeDescription Describe(const job::FileOutcome& outcome);

// Faults counted apart by kind and cause, for the lines after the summary
// and the --json counts.
class FaultTally {
 public:
  void Add(const job::FileOutcome& outcome);
  // A RAW file already told about (a PATH that does not exist): its
  // outcome is not counted as a fault again.
  void Exclude(const std::u16string& rawPath) { excluded_.insert(rawPath); }
  bool Any() const { return total_ > 0; }
  int32_t Count(job::FaultKind kind) const { return byKind_[static_cast<size_t>(kind)]; }
  int32_t FilesFailed() const { return filesFailed_; }
  // One line per kind and cause, without the command's name:
  // "12 previews could not be written: output folder cannot be created:
  // permission denied in /media/card/DCIM/100CANON".
  std::vector<std::string> Lines() const;

 private:
  struct Group {
    int32_t count = 0;
    std::set<std::u16string> places;
  };
  std::set<std::u16string> excluded_;
  std::map<std::pair<int, int>, Group> groups_;  // (kind, system error) -> group
  std::array<int32_t, job::kFaultKinds> byKind_{};
  int32_t total_ = 0;
  int32_t filesFailed_ = 0;
};

// Everything a run ends with.
struct RunTotals {
  job::JobCounters counters;
  job::CollectionReport collection;
  FaultTally faults;
};

// The --verbose line of one RAW file, without line end: the outputs written
// and those already present with their pixel sizes, or why nothing was
// written, and why an output is missing.
std::string FileOutcomeLine(const job::FileOutcome& outcome);
// The --json object of one RAW file, on one line without line end.
std::string FileOutcomeJson(const job::FileOutcome& outcome);
// The --json object with the counts that ends the output.
std::string CountsJson(const RunTotals& totals);
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

// The bar on a terminal's standard error, redrawn in place.
class ProgressBar {
 public:
  explicit ProgressBar(FILE* err) : err_(err) {}
  // Redraws at most every redraw period.
  void Draw(const job::JobCounters& counters, int64_t nowMs);
  // Takes the bar off the screen (also the "^C" a terminal echoed after it).
  void Clear(int extraCells = 0);

 private:
  FILE* err_;
  size_t drawn_ = 0;  // length of the line on screen
  int64_t firstFileMs_ = -1;
  int64_t drawnMs_ = -1;
};

// Where the reports go.
struct ReportStreams {
  FILE* out = stdout;
  FILE* err = stderr;
  bool progressBar = false;  // err is a terminal
};

// One report mode. The run calls it from one thread: Start, then FileDone
// for each RAW file in list order and Tick in between, Interrupted on a
// Ctrl-C, and Finish at the end.
class Reporter {
 public:
  virtual ~Reporter() = default;
  virtual void Start() {}
  virtual void FileDone(const job::FileOutcome& outcome, int32_t done, int32_t total) = 0;
  virtual void Tick(const job::JobCounters& /*counters*/, int64_t /*nowMs*/) {}
  virtual void Interrupted() {}
  virtual void Finish(const RunTotals& totals) = 0;
};

enum class ReportMode { kSummary, kVerbose, kJson, kProgress };
std::unique_ptr<Reporter> MakeReporter(ReportMode mode, const ReportStreams& streams);

}  // namespace cli
