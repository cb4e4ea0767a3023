#include "cli/thumbnail_command.h"

#include <string>

#include "cli/files.h"
#include "cli/formats_help.h"
#include "cli/options.h"
#include "engine/extract.h"
#include "imaging/thumbnail.h"
#include "job/extraction_job.h"
#include "platform/path.h"

namespace cli {

namespace {

const char kThumbnailHelp[] =
    "Usage: rawlift thumbnail -s SIZE INPUT OUTPUT\n"
    "\n"
    "Writes a thumbnail of the camera file INPUT to OUTPUT as a PNG (8-bit RGB):\n"
    "the smallest embedded JPEG whose longer side covers SIZE (else the largest),\n"
    "reduced to fit SIZE by SIZE pixels (proportions kept, never enlarged) and\n"
    "turned upright as the camera was held (the Exif orientation of that JPEG,\n"
    "or the camera file's own when the JPEG's Exif has none). Files written by a\n"
    "raw converter are shown too. The raw data is never decoded.\n"
    "This is the command of the freedesktop thumbnailer rawlift.thumbnailer.\n"
    "\n"
    "Options:\n"
    "  -s, --size SIZE  the largest width and height, 1 to 4096 pixels\n"
    "  -h, --help       show this help\n"
    "OUTPUT is replaced when it exists (the thumbnailer names a temporary file);\n"
    "the PNG is written to a new file beside it that takes its name only once\n"
    "complete. \"-\" writes it to standard output. OUTPUT is never INPUT itself.\n"
    "\n"
    "Every failure is one line on standard error.\n"
    "Exit status: 0 when the thumbnail was written; 1 when INPUT has no\n"
    "extractable preview or its preview cannot be decoded (the reason on\n"
    "standard error), or the build has no thumbnails (Windows); 2 on a usage\n"
    "error, a refused OUTPUT or a write error.\n";

static_assert(imaging::kMaxThumbnailSize == 4096,
              "the help text and ParseThumbnailSize's digit count name the limit");

// One line, as for every failure of this command: a thumbnailer's caller
// keeps standard error for its log.
int UsageFault(FILE* err, const std::string& what) {
  std::fprintf(err, "rawlift thumbnail: %s (rawlift thumbnail --help shows the usage)\n",
               what.c_str());
  return kThumbnailUsageOrWrite;
}

}  // namespace

bool ParseThumbnailSize(const std::string& text, int* size) {
  // Digits only (no sign, space or suffix), and no more than the limit's
  // digits, so the value cannot overflow.
  if (text.empty() || text.size() > 4) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > imaging::kMaxThumbnailSize) return false;
  *size = value;
  return true;
}

int RunThumbnailWith(const Args& args, FILE* err) {
  static const std::vector<OptionSpec> kSpecs = {{"size", 's', true}, {"help", 'h', false}};
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args, kSpecs, &options, &error)) return UsageFault(err, error);
  if (options.Has("help")) {
    std::fprintf(stdout, "%s\n%s", kThumbnailHelp, kFormatsHelp);
    return kThumbnailWritten;
  }
  if (!imaging::ThumbnailsAvailable()) {
    std::fprintf(err, "rawlift thumbnail: %s\n",
                 imaging::ThumbnailFailureText(imaging::ThumbnailFailure::kNotInThisBuild));
    return kThumbnailNone;
  }
  if (!options.Has("size")) return UsageFault(err, "no SIZE given (-s SIZE)");
  int size = 0;
  if (!ParseThumbnailSize(options.Value("size"), &size)) {
    return UsageFault(err, "SIZE must be a whole number from 1 to " +
                               std::to_string(imaging::kMaxThumbnailSize) + ", not '" +
                               DisplayArgument(options.Value("size")) + "'");
  }
  if (options.operands.size() != 2) {
    return UsageFault(err, options.operands.size() < 2 ? "INPUT and OUTPUT are needed"
                                                       : "only one INPUT and one OUTPUT");
  }
  const std::string& input = options.operands[0];
  const std::string& output = options.operands[1];
  const std::string shown_input = DisplayArgument(input);
  const std::string shown_output = DisplayArgument(output);
  const bool to_stdout = output == "-";
  if (!to_stdout && IsSameFile(input, output)) {
    std::fprintf(err, "rawlift thumbnail: '%s' is the camera file itself\n", shown_output.c_str());
    return kThumbnailUsageOrWrite;
  }
  if (IsDirectory(input)) {
    std::fprintf(err, "rawlift thumbnail: '%s' is a folder\n", shown_input.c_str());
    return kThumbnailNone;
  }

  // The preview as `rawlift preview` writes it (the file named by the
  // argument's own bytes): its Exif, the camera's own or the one the engine
  // put in front, gives the orientation.
  const platform::NativePath native = NativeArgumentPath(input);
  const engine::FileSource source(native);
  engine::ExtractedPreview preview;
  preview.reason = engine::NoPreviewReason::kCannotOpen;
  if (source.IsOpen()) {
    engine::ExtractOptions extract;
    extract.software = job::kSoftwareText;
    // The smallest embedded JPEG that covers the size, converted files
    // included: a thumbnail shows the file, it extracts nothing.
    extract.use.cover = size;
    extract.use.accept_converted = true;
    preview = engine::ExtractEmbeddedPreviewFrom(source, shown_input, native, extract);
  }
  if (!preview.extracted()) {
    std::fprintf(err, "rawlift thumbnail: no extractable preview in '%s' (%s)\n",
                 shown_input.c_str(), engine::NoPreviewReasonText(preview.reason));
    return kThumbnailNone;
  }
  const int orientation = imaging::ExifOrientationOfJpeg(preview.bytes.get(), preview.length,
                                                         preview.camera_orientation);
  const imaging::PngThumbnail thumbnail =
      imaging::MakePngThumbnail(preview.bytes.get(), preview.length, size, orientation);
  if (!thumbnail.made()) {
    std::fprintf(err, "rawlift thumbnail: no thumbnail of '%s' (%s)\n", shown_input.c_str(),
                 imaging::ThumbnailFailureText(thumbnail.failure));
    return kThumbnailNone;
  }

  if (to_stdout) {
    if (!WriteStandardOutput(thumbnail.png.data(), thumbnail.png.size(), &error)) {
      std::fprintf(err, "rawlift thumbnail: cannot write to standard output: %s\n", error.c_str());
      return kThumbnailUsageOrWrite;
    }
    return kThumbnailWritten;
  }
  if (WriteOutputFile(output, thumbnail.png.data(), thumbnail.png.size(), true, &error) ==
      WriteOutcome::Written) {
    return kThumbnailWritten;
  }
  std::fprintf(err, "rawlift thumbnail: cannot write '%s': %s\n", shown_output.c_str(),
               error.c_str());
  return kThumbnailUsageOrWrite;
}

int RunThumbnail(const Args& args) {
  return RunThumbnailWith(args, stderr);
}

}  // namespace cli
