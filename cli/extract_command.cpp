#include "cli/extract_command.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "cli/files.h"
#include "cli/formats_help.h"
#include "cli/options.h"
#include "cli/settings_command.h"
#include "job/extraction_job.h"
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
    "files directly inside every folder given (sub-folders are not entered), into\n"
    "the folder extracted_jpegs beside the RAW file. Existing outputs are never\n"
    "replaced, so a second run writes nothing. The options change this run only,\n"
    "unless --save stores them; without options the stored settings apply\n"
    "(see rawlift settings).\n"
    "\n";

const char kJobsHelp[] =
    "  -j, --jobs N      work on N files at once (default: the number of cores);\n"
    "                    the outputs and counts are those of a run with -j 1\n"
    "  --sync            put each output on the disk before it takes its name, so\n"
    "                    that not even a power cut can leave an empty one (slower)\n";

// Upper bound of --jobs: beyond this more threads only contend for the disk.
constexpr int kMaxParallelFiles = 64;

// The extraction flags of `rawlift settings` plus the ones for one run only.
const std::vector<OptionSpec>& ExtractSpecs() {
  static const std::vector<OptionSpec> kSpecs = [] {
    std::vector<OptionSpec> known_options = ExtractionFlagSpecs();
    known_options.push_back({"jobs", 'j', true});
    known_options.push_back({"sync", 0, false});
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
    "standard output. Ctrl-C stops after the files being worked on; nothing\n"
    "partial is left behind.\n"
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

}  // namespace

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
  job::ExtractionJob extraction(runStore);
  extraction.SetSelection(&selection);
  extraction.FillRawSuffixes();
  extraction.SetParallelFiles(parallelFiles);
  extraction.SetFlushEachOutput(options.Has("sync"));
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
      if (env.progressBar) {
        // The terminal has echoed "^C" after the bar: clear that too.
        std::fprintf(env.err, "\r%*s\r", static_cast<int>(drawn) + 4, "");
        drawn = 0;
      }
      std::fputs("rawlift extract: stopping after the current file...\n", env.err);
    }
    const int64_t now = platform::MonotonicMilliseconds();
    if (env.progressBar && !cancelling) {
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
  if (env.progressBar && drawn > 0) std::fprintf(env.err, "\r%*s\r", static_cast<int>(drawn), "");

  const job::JobCounters counters = extraction.Snapshot();
  std::fprintf(env.out, "%s\n", Utf8(job::BuildSummaryText(counters)).c_str());
  std::fflush(env.out);
  if (!counters.done) return kExtractInterrupted;
  return problems ? kExtractCompletedWithProblems : kExtractCompleted;
}

namespace {

// Set by the SIGINT handler, read by the polling loop. A signal handler
// can only reach state like this.
std::atomic<bool> interruptRequested{false};

extern "C" void OnInterrupt(int) {
  interruptRequested.store(true);
  // A second Ctrl-C ends the process at once; outputs are still never
  // partial, since each is moved into place only when complete.
  std::signal(SIGINT, SIG_DFL);
}

bool StandardErrorIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return ::isatty(STDERR_FILENO) != 0;
#endif
}

}  // namespace

int RunExtract(const Args& args) {
  // One preview buffer of a few megabytes after another: reuse the memory.
  platform::ReuseLargeAllocations();
  ExtractEnvironment env;
  env.progressBar = StandardErrorIsTerminal();
  env.settingsFile = UserSettingsFilePath();
  env.interrupted = &interruptRequested;
  interruptRequested.store(false);
  std::signal(SIGINT, OnInterrupt);
  const int status = RunExtractWith(args, env);
  std::signal(SIGINT, SIG_DFL);
  return status;
}

}  // namespace cli
