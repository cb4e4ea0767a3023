#include "cli/extract_command.h"

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "cli/files.h"
#include "cli/formats_help.h"
#include "cli/identify_command.h"
#include "cli/options.h"
#include "cli/settings_command.h"
#include "job/extraction_job.h"
#include "platform/console.h"
#include "platform/fs.h"
#include "platform/graphics_session.h"
#include "platform/memory.h"
#include "platform/path.h"

namespace cli {

namespace {

const char kExtractHelp[] =
    "Usage: rawlift extract [OPTIONS] PATH...\n"
    "\n"
    "Writes the embedded full-size JPEG of every RAW file given, and of the RAW\n"
    "files directly inside every folder given (with --recursive, at any depth),\n"
    "into the folder extracted_jpegs beside the RAW file. Existing outputs are\n"
    "never replaced, so a second run writes nothing. The options change this run\n"
    "only, unless --save stores them; without options the stored settings apply\n"
    "(see rawlift settings).\n"
    "\n";

const char kJobsHelp[] =
    "  -j, --jobs N      work on N files at once (default: the number of cores);\n"
    "                    the outputs and counts are those of a run with -j 1\n"
    "  --sync            put each output on the disk before it takes its name, so\n"
    "                    that not even a power cut can leave an empty one (slower)\n"
    "  -r, --recursive   enter the sub-folders of every folder given, at any depth\n"
    "                    (never extracted_jpegs* folders or links to folders)\n"
    "  --converted       take files written by a raw converter too (DNGs converted\n"
    "                    on import), which are refused otherwise; this run only\n"
    "  -v, --verbose     one line per RAW file before the summary: the outputs\n"
    "                    written or already present, with their pixel size, or\n"
    "                    why nothing was written\n"
    "  --json            standard output is JSON only, one object per line: one\n"
    "                    per RAW file (path, outcome: written, present or none,\n"
    "                    reason, outputs), then one with the counts\n"
    "  --progress        for a progress window (zenity --progress): standard\n"
    "                    output is, for each RAW file as it finishes, a line\n"
    "                    \"# NAME: OUTCOME (N of TOTAL)\" and a line with the\n"
    "                    percentage done; \"100\" only once the run has ended;\n"
    "                    the summary goes to standard error\n";

// The reports one line per file that exclude each other, in the order the
// messages name them.
const char* const kReportOptions[] = {"verbose", "json", "progress"};

// Upper bound of --jobs: beyond this more threads only contend for the disk.
constexpr int kMaxParallelFiles = 64;

// The extraction flags of `rawlift settings` plus the ones for one run only.
const std::vector<OptionSpec>& ExtractSpecs() {
  static const std::vector<OptionSpec> kSpecs = [] {
    std::vector<OptionSpec> known_options = ExtractionFlagSpecs();
    known_options.push_back({"jobs", 'j', true});
    known_options.push_back({"sync", 0, false});
    known_options.push_back({"recursive", 'r', false});
    known_options.push_back({"converted", 0, false});
    known_options.push_back({"verbose", 'v', false});
    known_options.push_back({"json", 0, false});
    known_options.push_back({"progress", 0, false});
    return known_options;
  }();
  return kSpecs;
}

int DefaultParallelFiles() {
  const unsigned cores = std::thread::hardware_concurrency();
  if (cores == 0) return 1;  // unknown
  return cores > static_cast<unsigned>(kMaxParallelFiles) ? kMaxParallelFiles
                                                          : static_cast<int>(cores);
}

// --jobs N: a whole number from 1 to kMaxParallelFiles.
bool ParseJobs(const ParsedOptions& options, int* jobs, std::string* error) {
  *jobs = DefaultParallelFiles();
  if (!options.Has("jobs")) return true;
  const std::string text = options.Value("jobs");
  long long value = 0;
  bool valid = !text.empty() && text.size() <= 3;
  for (const char c : text) {
    valid = valid && c >= '0' && c <= '9';
    if (valid) value = value * 10 + (c - '0');
  }
  if (!valid || value < 1 || value > kMaxParallelFiles) {
    *error = "--jobs needs a whole number from 1 to " + std::to_string(kMaxParallelFiles) +
             ", not '" + text + "'";
    return false;
  }
  *jobs = static_cast<int>(value);
  return true;
}

const char kExtractExitHelp[] =
    "\n"
    "Progress goes to standard error when it is a terminal, the summary to\n"
    "standard output (with --progress: to standard error); then, on standard\n"
    "error, how many sub-folders were not searched. Ctrl-C stops after the\n"
    "files being worked on; nothing partial is left behind.\n"
    "\n"
    "Exit status: 0 when the run completed; 1 when it completed but a PATH did\n"
    "not exist or --save could not store the settings; 2 on a usage error; 130\n"
    "when interrupted.\n";

// The whole help text: what the command does, what it reads, its options.
std::string ExtractHelp() {
  return std::string(kExtractHelp) + kFormatsHelp + "\nOptions:\n" + kExtractionFlagsHelp +
         kJobsHelp + kExtractExitHelp;
}

// How often the bar is redrawn: the rhythm of the progress dialog's timer.
constexpr int kRedrawMilliseconds = job::kProgressTimerMilliseconds;
// How often the interrupt flag is looked at (a signal handler can only set
// a flag): soon enough that Ctrl-C stops even a fast run between files.
constexpr int kInterruptCheckMilliseconds = 10;
constexpr int kBarCells = 24;

std::string Clock(int64_t seconds) {
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  }
  return text;
}

std::u16string OperandPath(const std::string& operand) {
  // A POSIX operand's bytes are the name even when they are not UTF-8.
  std::u16string path = ArgumentPath(operand);
#ifdef _WIN32
  for (char16_t& c : path) {
    if (c == u'/') c = u'\\';
  }
#endif
  // The job places outputs beside the RAW file's folder: a bare name has to
  // become a path with a folder first.
  return platform::AbsolutePath(path);
}

std::string Utf8(const std::u16string& text) {
  return platform::Utf16ToUtf8(text);
}

std::string SizeText(const job::OutputResult& output) {
  if (output.width <= 0 || output.height <= 0) return " (size unknown)";
  return " (" + std::to_string(output.width) + "x" + std::to_string(output.height) + ")";
}

// "N things were" / "1 thing was".
std::string CountOf(int32_t count, const char* singular, const char* plural) {
  return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

}  // namespace

std::string FileOutcomeLine(const job::FileOutcome& outcome) {
  std::string written, present;
  for (const job::OutputResult& output : outcome.outputs) {
    std::string* list = output.status == job::OutputStatus::kWritten          ? &written
                        : output.status == job::OutputStatus::kAlreadyPresent ? &present
                                                                              : nullptr;
    if (list == nullptr) continue;
    if (!list->empty()) *list += ", ";
    *list += Utf8(output.path) + SizeText(output);
  }
  std::string line = Utf8(outcome.rawPath) + ": ";
  std::string parts;
  if (!written.empty()) parts = "wrote " + written;
  if (!present.empty())
    parts += (parts.empty() ? "" : "; ") + std::string("already present: ") + present;
  const job::OutputResult* missing = outcome.FirstMissing();
  if (parts.empty()) {
    parts = "nothing written: " + outcome.ReasonText();
  } else if (missing != nullptr) {
    parts += std::string("; ") + (missing->reduced ? "reduced copy" : "full-size preview") +
             " not written: " + outcome.ReasonText();
  }
  return line + parts;
}

std::string FileOutcomeJson(const job::FileOutcome& outcome) {
  const char* status = "none";
  switch (outcome.status()) {
    case job::FileStatus::kWritten:
      status = "written";
      break;
    case job::FileStatus::kAlreadyPresent:
      status = "present";
      break;
    case job::FileStatus::kNothing:
      break;
  }
  const std::string reason = outcome.ReasonText();
  std::string json =
      FormatJson({TextField("path", Utf8(outcome.rawPath)), TextField("outcome", status),
                  reason.empty() ? NullField("reason") : TextField("reason", reason)});
  json.pop_back();  // the closing brace: the outputs follow
  json += ", \"outputs\": [";
  bool first = true;
  for (const job::OutputResult& output : outcome.outputs) {
    if (output.status == job::OutputStatus::kNotWritten) continue;
    const bool known = output.width > 0 && output.height > 0;
    if (!first) json += ", ";
    first = false;
    json += FormatJson(
        {TextField("kind", output.reduced ? "reduced" : "full"),
         TextField("status", output.status == job::OutputStatus::kWritten ? "written" : "present"),
         TextField("path", Utf8(output.path)),
         known ? IntegerField("width", output.width) : NullField("width"),
         known ? IntegerField("height", output.height) : NullField("height")});
  }
  return json + "]}";
}

std::string ProgressDialogText(const std::string& text) {
  // U+FFFD for bytes that are not UTF-8; then every character that would
  // break the line or the label: C0 and C1 controls, DEL, and the line and
  // paragraph separators (GLib's line reader ends a line at U+2029).
  std::u16string units = platform::Utf8ToUtf16(text);
  std::u16string safe;
  safe.reserve(units.size());
  for (const char16_t unit : units) {
    if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) || unit == 0x2028 || unit == 0x2029) {
      safe += u'\uFFFD';
    } else if (unit == u'\\') {
      safe += u"\\\\";
    } else {
      safe += unit;
    }
  }
  return platform::Utf16ToUtf8(safe);
}

std::string FileProgressText(const job::FileOutcome& outcome, int32_t done, int32_t total) {
  size_t nameStart = outcome.rawPath.size();
  while (nameStart > 0 && !platform::IsPathSeparator(outcome.rawPath[nameStart - 1])) --nameStart;
  const std::string name = platform::PathForDisplay(outcome.rawPath.substr(nameStart));
  std::string what;
  switch (outcome.status()) {
    case job::FileStatus::kWritten:
      what = "written";
      break;
    case job::FileStatus::kAlreadyPresent:
      what = "already present";
      break;
    case job::FileStatus::kNothing:
      what = "nothing written: " + outcome.ReasonText();
      break;
  }
  const job::OutputResult* missing = outcome.FirstMissing();
  if (outcome.status() != job::FileStatus::kNothing && missing != nullptr) {
    what += std::string("; ") + (missing->reduced ? "reduced copy" : "full-size preview") +
            " not written: " + outcome.ReasonText();
  }
  return ProgressDialogText(name + ": " + what + " (" + std::to_string(done) + " of " +
                            std::to_string(total) + ")");
}

int ProgressPercent(int32_t done, int32_t total) {
  if (total <= 0 || done <= 0) return 0;
  const int64_t percent = static_cast<int64_t>(done) * 100 / total;
  return percent > 99 ? 99 : static_cast<int>(percent);
}

std::string CountsJson(const job::JobCounters& c, const job::CollectionReport& collection) {
  return FormatJson({IntegerField("files_scanned", c.filesFound < 0 ? 0 : c.filesFound),
                     IntegerField("files_done", c.filesDone),
                     IntegerField("total", c.newCount + c.existingCount),
                     IntegerField("new", c.newCount), IntegerField("present", c.existingCount),
                     IntegerField("none", c.filesDone - c.newCount - c.existingCount),
                     BoolField("completed", c.done),
                     c.done ? IntegerField("seconds", c.elapsedSeconds) : NullField("seconds"),
                     IntegerField("subfolders_not_searched", collection.subfoldersNotSearched)});
}

std::string CollectionNotice(const job::CollectionReport& collection) {
  std::string notice;
  if (collection.subfoldersNotSearched > 0) {
    notice += "rawlift extract: " +
              CountOf(collection.subfoldersNotSearched, "sub-folder was", "sub-folders were") +
              " not searched; use --recursive\n";
  }
  if (collection.foldersTooDeep > 0) {
    notice +=
        "rawlift extract: " + CountOf(collection.foldersTooDeep, "folder was", "folders were") +
        " not searched: deeper than " + std::to_string(job::kMaxFolderDepth) + " levels\n";
  }
  return notice;
}

std::string ProgressLine(const job::JobCounters& c, int64_t elapsedMs, int width) {
  if (c.filesFound < 0) return "collecting RAW files...";
  const int64_t total = c.filesFound;
  const int64_t done = c.filesDone;
  const int filled = total > 0 ? static_cast<int>(done * width / total) : width;
  std::string line = "[";
  line.append(static_cast<size_t>(filled), '#');
  line.append(static_cast<size_t>(width - filled), '.');
  line += "] " + std::to_string(done) + "/" + std::to_string(total) + " files, " +
          std::to_string(c.newCount) + " new, " + std::to_string(c.existingCount) + " present";
  if (done > 0 && done < total) {
    const int64_t leftMs = elapsedMs * (total - done) / done;
    line += ", " + Clock((leftMs + 999) / 1000) + " left";
  } else if (done < total) {
    line += ", --:-- left";
  }
  return line;
}

int RunExtractWith(const Args& args, const ExtractEnvironment& env) {
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args, ExtractSpecs(), &options, &error)) {
    std::fprintf(env.err, "rawlift extract: %s\n\n%s", error.c_str(), ExtractHelp().c_str());
    return kExtractUsage;
  }
  if (options.Has("help")) {
    std::fputs(ExtractHelp().c_str(), env.out);
    return kExtractCompleted;
  }
  if (options.operands.empty()) {
    std::fprintf(env.err, "rawlift extract: no PATH given\n\n%s", ExtractHelp().c_str());
    return kExtractUsage;
  }

  settings::SettingsStore store;
  if (!env.settingsFile.empty()) {
    settings::LoadSettingsFromPath(&store, settings::kSettingsMagic, env.settingsFile);
  }
  settings::ExtractionSettings record;
  settings::ReadExtractionSettings(store, &record);
  bool changed = false;
  int parallelFiles = 1;
  if (!ApplyExtractionFlags(options, &record, &changed, &error) ||
      !ParseJobs(options, &parallelFiles, &error)) {
    std::fprintf(env.err, "rawlift extract: %s\n", error.c_str());
    return kExtractUsage;
  }
  const bool json = options.Has("json");
  const bool verbose = options.Has("verbose");
  const bool progress = options.Has("progress");
  for (size_t first = 0; first < std::size(kReportOptions); ++first) {
    for (size_t second = first + 1; second < std::size(kReportOptions); ++second) {
      if (options.Has(kReportOptions[first]) && options.Has(kReportOptions[second])) {
        std::fprintf(env.err, "rawlift extract: --%s and --%s cannot be combined\n",
                     kReportOptions[first], kReportOptions[second]);
        return kExtractUsage;
      }
    }
  }
  // The progress lines are for a reader that may go away (a window closed):
  // a write to it must fail rather than end the run half-way by SIGPIPE.
  if (progress && env.out == stdout) platform::PrepareStandardOutputForBytes();
  // With --progress, standard output is the progress window's: the summary
  // goes to standard error with the other messages, and no bar is drawn.
  FILE* const summaryStream = progress ? env.err : env.out;
  const bool progressBar = env.progressBar && !progress;
  bool problems = false;
  if (options.Has("save")) {
    settings::WriteExtractionSettings(record, &store);
    if (!SaveSettingsTo(store, env.settingsFile)) {
      std::fprintf(env.err, "rawlift extract: could not store the settings in %s\n",
                   env.settingsFile.empty() ? "the per-user folder (none found)"
                                            : Utf8(env.settingsFile).c_str());
      problems = true;
    }
  }

  std::vector<std::u16string> selection;
  for (const std::string& operand : options.operands) {
    const std::u16string path = OperandPath(operand);
    if (!platform::IsDirectory(path) && !platform::CanOpenForReading(path)) {
      std::fprintf(env.err, "rawlift extract: '%s': no such file or folder\n",
                   DisplayArgument(operand).c_str());
      problems = true;
    }
    selection.push_back(path);
  }

  // The job takes its settings from a store, as the shell's job does.
  settings::SettingsStore runStore;
  settings::WriteExtractionSettings(record, &runStore);
  // Reduced copies are decoded and encoded by the system's imaging library,
  // which has to be up for the whole run.
  platform::GraphicsSession graphics;
  // The workers hand over one line per file; this thread prints them, so
  // they never cut into the progress bar. Declared before the job, which
  // must not outlive them.
  std::mutex linesMutex;
  std::vector<std::string> lines;
  job::ExtractionJob extraction(runStore);
  extraction.SetSelection(&selection);
  extraction.FillRawSuffixes();
  job::JobOptions jobOptions;
  jobOptions.parallelFiles = parallelFiles;
  jobOptions.flushEachOutput = options.Has("sync");
  jobOptions.recursive = options.Has("recursive");
  jobOptions.acceptConverted = options.Has("converted");
  jobOptions.reportSizes = verbose || json;
  extraction.SetOptions(jobOptions);
  // --progress numbers the files as they are printed.
  std::vector<job::FileOutcome> finished;
  if (verbose || json) {
    extraction.SetFileObserver([&](const job::FileOutcome& outcome) {
      std::string line = json ? FileOutcomeJson(outcome) : FileOutcomeLine(outcome);
      std::lock_guard<std::mutex> lock(linesMutex);
      lines.push_back(std::move(line));
    });
  } else if (progress) {
    extraction.SetFileObserver([&](const job::FileOutcome& outcome) {
      std::lock_guard<std::mutex> lock(linesMutex);
      finished.push_back(outcome);
    });
  }
  int32_t filesReported = 0;
  const auto takeLines = [&] {
    std::vector<std::string> ready;
    std::vector<job::FileOutcome> outcomes;
    {
      std::lock_guard<std::mutex> lock(linesMutex);
      ready.swap(lines);
      outcomes.swap(finished);
    }
    if (!outcomes.empty()) {
      // Collecting is over before the first outcome, so the total is final.
      const int32_t total = extraction.Snapshot().filesFound;
      for (const job::FileOutcome& outcome : outcomes) {
        ++filesReported;
        ready.push_back("# " + FileProgressText(outcome, filesReported, total));
        ready.push_back(std::to_string(ProgressPercent(filesReported, total)));
      }
    }
    return ready;
  };
  const auto printLines = [&](const std::vector<std::string>& ready) {
    for (const std::string& line : ready) std::fprintf(env.out, "%s\n", line.c_str());
    if (!ready.empty()) std::fflush(env.out);
  };
  if (progress) printLines({"# Looking for RAW files...", "0"});
  if (!extraction.StartWorker()) {
    std::fputs("rawlift extract: could not start the worker thread\n", env.err);
    return kExtractCompletedWithProblems;
  }

  bool cancelling = false;
  size_t drawn = 0;  // length of the bar line on screen
  int64_t firstFileMs = -1;
  int64_t drawnMs = platform::MonotonicMilliseconds() - kRedrawMilliseconds;  // draw at once
  for (;;) {
    if (!cancelling && env.interrupted && env.interrupted->load()) {
      extraction.RequestCancel();
      cancelling = true;
      if (progressBar) {
        // The terminal has echoed "^C" after the bar: clear that too.
        std::fprintf(env.err, "\r%*s\r", static_cast<int>(drawn) + 4, "");
        drawn = 0;
      }
      std::fputs("rawlift extract: stopping after the current file...\n", env.err);
    }
    const std::vector<std::string> ready = takeLines();
    if (!ready.empty() && drawn > 0) {
      // The bar goes while the lines are printed and comes back below them.
      std::fprintf(env.err, "\r%*s\r", static_cast<int>(drawn), "");
      std::fflush(env.err);
      drawn = 0;
      drawnMs = platform::MonotonicMilliseconds() - kRedrawMilliseconds;
    }
    printLines(ready);
    const int64_t now = platform::MonotonicMilliseconds();
    if (progressBar && !cancelling) {
      const job::JobCounters counters = extraction.Snapshot();
      if (counters.filesFound >= 0 && firstFileMs < 0) firstFileMs = now;
      if (now - drawnMs >= kRedrawMilliseconds) {
        drawnMs = now;
        std::string line =
            ProgressLine(counters, firstFileMs < 0 ? 0 : now - firstFileMs, kBarCells);
        const size_t length = line.size();
        if (length < drawn) line.append(drawn - length, ' ');  // cover the longer old line
        std::fprintf(env.err, "\r%s", line.c_str());
        std::fflush(env.err);
        drawn = length;
      }
    }
    // Wakes as soon as the run ends, so a short run takes no longer than its
    // work; the interrupt flag is looked at again after each period.
    if (extraction.WaitForWorker(kInterruptCheckMilliseconds)) break;
  }
  extraction.StopWorker();
  if (progressBar && drawn > 0) std::fprintf(env.err, "\r%*s\r", static_cast<int>(drawn), "");
  printLines(takeLines());

  const job::JobCounters counters = extraction.Snapshot();
  const job::CollectionReport collection = extraction.collection();
  if (progress) {
    // The last text the window shows, then 100, which closes it.
    const int32_t found = counters.filesFound < 0 ? 0 : counters.filesFound;
    const std::string files = CountOf(found, "RAW file", "RAW files");
    printLines({counters.done
                    ? "# Done: " + files + ", " + std::to_string(counters.newCount) + " new, " +
                          std::to_string(counters.existingCount) + " already present"
                    : "# Stopped after " + std::to_string(counters.filesDone) + " of " + files,
                "100"});
  }
  if (json) {
    std::fprintf(env.out, "%s\n", CountsJson(counters, collection).c_str());
  } else {
    std::fprintf(summaryStream, "%s\n", Utf8(job::BuildSummaryText(counters)).c_str());
  }
  std::fflush(summaryStream);
  std::fputs(CollectionNotice(collection).c_str(), env.err);
  if (!counters.done) return kExtractInterrupted;
  return problems ? kExtractCompletedWithProblems : kExtractCompleted;
}

int RunExtract(const Args& args) {
  // One preview buffer of a few megabytes after another: reuse the memory.
  platform::ReuseLargeAllocations();
  ExtractEnvironment env;
  env.progressBar = platform::StandardErrorIsTerminal();
  env.settingsFile = UserSettingsFilePath();
  // A second Ctrl-C ends the process at once; outputs are still never
  // partial, since each is moved into place only when complete.
  const platform::InterruptCatcher interrupts;
  env.interrupted = &interrupts.requested();
  return RunExtractWith(args, env);
}

}  // namespace cli
