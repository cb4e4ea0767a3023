// The progress text of an extraction job and its number formatting.
#pragma once

#include <cstdint>
#include <string>

namespace job {

// The counters a job shares with whoever shows its progress. A UI copies them
// under the job's mutex (ExtractionJob::Snapshot) and formats the copy.
struct JobCounters {
  int32_t filesFound = -1;     // RAW files collected; -1 while still collecting
  int32_t filesDone = 0;       // files finished, whatever their outcome
  int32_t newCount = 0;        // files for which this run wrote an output
  int32_t existingCount = 0;   // files whose outputs were all already present
  int32_t elapsedSeconds = 0;  // set only when the run completes
  int32_t closeCountdown = 0;  // dialog ticks left before it closes itself
  bool cancelRequested = false;
  bool done = false;  // the whole list was processed

  bool operator==(const JobCounters& o) const {
    return filesFound == o.filesFound && filesDone == o.filesDone && newCount == o.newCount &&
           existingCount == o.existingCount && elapsedSeconds == o.elapsedSeconds &&
           closeCountdown == o.closeCountdown && cancelRequested == o.cancelRequested &&
           done == o.done;
  }
  bool operator!=(const JobCounters& o) const { return !(*this == o); }
};

// Appends value as "%d" (minimumDigits 0) or "%0*d" (zero-filled to at least
// minimumDigits characters, sign included).
void AppendInteger(std::u16string& text, int32_t value, int minimumDigits);
// Appends value as "%.*f" with that many decimals, or as "%f" when decimals is 0.
void AppendFixed(std::u16string& text, double value, int decimals);

// Lines joined by a bare "\n":
//   Files Scanned: N
//   JPEGs Extracted: T Total - K New
// and, once done:
//   Total Time: H:MM:SS | M:SS min | S sec
//   Average Time per File: X.XX sec   (elapsed / newCount; 0 when none new)
std::u16string BuildSummaryText(const JobCounters& counters);

// The dialog's tick period and how many ticks it stays open after finishing.
constexpr int kProgressTimerMilliseconds = 100;
constexpr int32_t kCloseCountdownTicks = 100;

}  // namespace job
