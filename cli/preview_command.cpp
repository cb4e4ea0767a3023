#include "cli/preview_command.h"

#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/files.h"
#include "cli/formats_help.h"
#include "cli/options.h"
#include "engine/extract.h"
#include "job/extraction_job.h"
#include "platform/path.h"

namespace cli {

namespace {

const char kPreviewHelp[] =
    "Usage: rawlift preview FILE -o OUT [--force] [--metadata MODE] [--size N]\n"
    "                       [--converted]\n"
    "\n"
    "Writes the embedded JPEG preview of the camera file FILE to OUT, exactly as\n"
    "the extraction engine returns it: the stored JPEG, with an Exif header\n"
    "(make, model, date, orientation, exposure, software \"Rawlift v1.00\") put in\n"
    "front when it has none. The image data is copied, never decoded.\n"
    "\n"
    "Options:\n"
    "  -o, --output OUT  where to write; \"-\" writes to standard output\n"
    "  -f, --force       replace OUT when it exists (otherwise an existing OUT is\n"
    "                    refused and left as it is)\n"
    "  --metadata MODE   compact (the header above; the default) or complete (the\n"
    "                    RAW file's own description: IFD0, the whole Exif directory\n"
    "                    without the maker note, GPS); the stored settings do not\n"
    "                    apply here\n"
    "  --size N          the smallest embedded JPEG whose longer side is at least N\n"
    "                    pixels (1 to 65535), else the largest; without it, the\n"
    "                    preview that extraction writes ('rawlift identify' lists\n"
    "                    the images a file holds)\n"
    "  --converted       take files written by a raw converter too (DNGs converted\n"
    "                    on import), which are refused otherwise\n"
    "  -h, --help        show this help\n"
    "OUT is never the camera file itself, even with --force. The preview is\n"
    "written to a new file beside OUT that takes OUT's name only once complete,\n"
    "so a failed write leaves no partial OUT and keeps a replaced one as it was.\n"
    "\n"
    "Exit status: 0 when the preview was written; 1 when FILE has no extractable\n"
    "preview (not a raw file, no JPEG preview, or FILE cannot be read); 2 on a\n"
    "usage error, a refused OUT or a write error.\n";

}  // namespace

int RunPreviewWith(const Args& args, FILE* err) {
  static const std::vector<OptionSpec> kSpecs = {{"output", 'o', true},   {"force", 'f', false},
                                                 {"metadata", 0, true},   {"size", 0, true},
                                                 {"converted", 0, false}, {"help", 'h', false}};
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args, kSpecs, &options, &error)) {
    std::fprintf(err, "rawlift preview: %s\n\n%s", error.c_str(), kPreviewHelp);
    return kPreviewUsageOrWrite;
  }
  if (options.Has("help")) {
    std::fprintf(stdout, "%s\n%s", kPreviewHelp, kFormatsHelp);
    return kPreviewWritten;
  }
  if (options.operands.size() != 1 || !options.Has("output") || options.Value("output").empty()) {
    std::fprintf(err, "rawlift preview: %s\n\n%s",
                 options.operands.size() > 1 ? "only one FILE can be given"
                 : options.operands.empty()  ? "no FILE given"
                                             : "no OUT given (-o OUT, or -o - for standard output)",
                 kPreviewHelp);
    return kPreviewUsageOrWrite;
  }
  const std::string input = options.operands[0];
  const std::string output = options.Value("output");
  const std::string shown_input = DisplayArgument(input);
  const std::string shown_output = DisplayArgument(output);
  const bool to_stdout = output == "-";
  const bool force = options.Has("force");
  const bool converted = options.Has("converted");
  bool complete = false;
  if (options.Has("metadata") && !ParseMetadataName(options.Value("metadata"), &complete)) {
    std::fprintf(err, "rawlift preview: --metadata needs compact or complete, not '%s'\n",
                 options.Value("metadata").c_str());
    return kPreviewUsageOrWrite;
  }

  int cover = 0;
  if (options.Has("size") && !ParsePixelBound(options.Value("size"), &cover)) {
    std::fprintf(err, "rawlift preview: --size needs a whole number from 1 to 65535, not '%s'\n",
                 DisplayArgument(options.Value("size")).c_str());
    return kPreviewUsageOrWrite;
  }

  // Refuse before any work, so that nothing is extracted for nothing.
  if (!to_stdout) {
    if (IsSameFile(input, output)) {
      std::fprintf(err, "rawlift preview: '%s' is the camera file itself\n", shown_output.c_str());
      return kPreviewUsageOrWrite;
    }
    if (!force && PathExists(output)) {
      std::fprintf(err, "rawlift preview: '%s' exists (use --force to replace it)\n",
                   shown_output.c_str());
      return kPreviewUsageOrWrite;
    }
  }

  if (IsDirectory(input)) {
    std::fprintf(err, "rawlift preview: '%s' is a folder\n", shown_input.c_str());
    return kPreviewNone;
  }
  // What ExtractEmbeddedPreview does, with the file named by the argument's
  // own bytes (a POSIX name need not be UTF-8).
  const platform::NativePath native = NativeArgumentPath(input);
  const engine::FileSource source(native);
  engine::ExtractedPreview preview;
  preview.reason = engine::NoPreviewReason::kCannotOpen;
  if (source.IsOpen()) {
    engine::ExtractOptions options;
    options.software = job::kSoftwareText;
    options.metadata = complete ? engine::MetadataMode::kComplete : engine::MetadataMode::kCompact;
    options.use.cover = cover;
    options.use.accept_converted = converted;
    preview = engine::ExtractEmbeddedPreviewFrom(source, DisplayArgument(input), native, options);
  }
  if (!preview.extracted()) {
    std::fprintf(err, "rawlift preview: no extractable preview in '%s' (%s)\n", shown_input.c_str(),
                 engine::NoPreviewReasonText(preview.reason));
    return kPreviewNone;
  }

  if (to_stdout) {
    if (!WriteStandardOutput(preview.bytes.get(), preview.length, &error)) {
      std::fprintf(err, "rawlift preview: cannot write to standard output: %s\n", error.c_str());
      return kPreviewUsageOrWrite;
    }
    return kPreviewWritten;
  }
  switch (WriteOutputFile(output, preview.bytes.get(), preview.length, force, &error)) {
    case WriteOutcome::Written:
      return kPreviewWritten;
    case WriteOutcome::AlreadyExists:
      std::fprintf(err, "rawlift preview: '%s' exists (use --force to replace it)\n",
                   shown_output.c_str());
      return kPreviewUsageOrWrite;
    case WriteOutcome::Failed:
      break;
  }
  std::fprintf(err, "rawlift preview: cannot write '%s': %s\n", shown_output.c_str(),
               error.c_str());
  return kPreviewUsageOrWrite;
}

int RunPreview(const Args& args) {
  return RunPreviewWith(args, stderr);
}

}  // namespace cli
