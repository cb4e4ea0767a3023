#include "cli/identify_command.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "cli/files.h"
#include "cli/options.h"
#include "engine/extract.h"
#include "job/preview_file.h"
#include "platform/path.h"

namespace cli {

namespace {

const char kIdentifyHelp[] =
    "Usage: rawlift identify [--json] FILE...\n"
    "\n"
    "Shows what the preview extraction engine learns about each FILE: the camera,\n"
    "the shot, where the embedded preview lies and whether 'rawlift preview' can\n"
    "extract it. Nothing is written.\n"
    "\n"
    "Options:\n"
    "  --json      one JSON object per line and file, with exactly the keys\n"
    "              path, opened, make, model, model2, artist, description,\n"
    "              raw_count, raw_decoder, preview_offset, preview_length,\n"
    "              preview_width, preview_height, preview_kind, orientation,\n"
    "              exif_orientation, timestamp, iso_speed, shutter, aperture,\n"
    "              focal_length, shot_order, unique_id, raw_width, raw_height,\n"
    "              image_width, image_height, dng_version, extractable, reason,\n"
    "              images\n"
    "  -h, --help  show this help\n"
    "Without --json the same facts appear as aligned \"key: value\" lines, one\n"
    "block per file, blocks separated by an empty line.\n"
    "\n"
    "Values:\n"
    "  make ... description  the camera's text up to its first NUL byte; bytes\n"
    "              0x80 and above are the Latin-1 characters of those codes\n"
    "              (output is UTF-8). Control characters appear escaped (\\n, \\u0001).\n"
    "  raw_count   0 when the file is not a camera raw file\n"
    "  raw_decoder \"none\" or the name of the decoder that would read the raw data\n"
    "  preview_kind  Jpeg, PackedRgb, Layered, Rollei or Foveon; only Jpeg is extracted\n"
    "  orientation the engine's code after identification (bit 0 mirror\n"
    "              left-right, bit 1 mirror top-bottom, bit 2 transposed); some\n"
    "              containers leave a rotation in degrees there\n"
    "  exif_orientation  the Exif Orientation value (1-8) that a synthesized Exif\n"
    "              header would carry\n"
    "  timestamp   capture time as whole seconds since 1970-01-01 00:00:00 UTC,\n"
    "              0 when absent. Cameras record local time without a zone; it is\n"
    "              read in the zone named by the TZ environment variable (the\n"
    "              system's zone when TZ is unset), so TZ changes the number.\n"
    "              Without --json the number is followed by that time in the same\n"
    "              zone, as (YYYY-MM-DD HH:MM:SS).\n"
    "  iso_speed, shutter (seconds), aperture (f-number), focal_length (mm)\n"
    "              shortest decimals of the stored values, 0 when absent\n"
    "  dng_version the four DNGVersion bytes, first byte highest (16908288 is\n"
    "              1.2.0.0), 0 when the file is not DNG\n"
    "  extractable true exactly when 'rawlift preview' succeeds on the file\n"
    "  reason      null when extractable, else why not in a few words (\"not a\n"
    "              camera raw file: written by a raw converter\", \"preview lies\n"
    "              outside the file (cut short?)\", \"cannot be opened\"...)\n"
    "  images      every image embedded in the file, in the order the file's\n"
    "              structure names them: where (IFD0, IFD1, SubIFD, SubIFD1,\n"
    "              MakerNote PreviewImage, MakerNote PreviewIFD, JpgFromRaw, PRVW,\n"
    "              THMB, track N, RAF header...), kind (jpeg, jpegxl, bitmap,\n"
    "              other), offset, length (as the file states them), width and\n"
    "              height (a JPEG's from its own frame header), complete (lies\n"
    "              wholly in the file), own_exif, chosen (what 'rawlift preview'\n"
    "              writes without --size)\n"
    "A file that cannot be opened has opened false and null for every other\n"
    "value except path, extractable (false) and reason.\n"
    "\n"
    "Exit status: 0 when every FILE was opened, 1 when one could not be opened,\n"
    "2 on a usage error.\n";

// Position of the Orientation entry in the synthesized TIFF block: IFD0
// starts at 10 with its 2-byte count; Orientation is the fourth entry.
constexpr size_t kOrientationEntry = 12 + 3 * 12;
constexpr uint16_t kOrientationTag = 274;

template <size_t N>
ReportField CameraText(const char* key, const char (&field)[N]) {
  return TextField(key, Latin1FieldToUtf8(field, N));
}

void AppendUtf8(std::string* out, uint32_t code_point) {
  if (code_point < 0x80) {
    *out += static_cast<char>(code_point);
  } else {
    *out += static_cast<char>(0xC0 | (code_point >> 6));
    *out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

// Escapes for JSON strings. With escape_c1 the C1 controls (U+0080..U+009F,
// raw Latin-1 bytes 0x80..0x9F) and DEL are escaped too, which JSON does not
// need but a terminal does.
std::string Escape(const std::string& utf8, bool escape_c1) {
  std::string out;
  out.reserve(utf8.size() + 2);
  for (size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\b':
        out += "\\b";
        continue;
      case '\f':
        out += "\\f";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    uint32_t control = 0x100;  // none
    if (c < 0x20 || (escape_c1 && c == 0x7F)) {
      control = c;
    } else if (escape_c1 && c == 0xC2 && i + 1 < utf8.size()) {
      const unsigned char next = static_cast<unsigned char>(utf8[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        control = next;
        ++i;
      }
    }
    if (control != 0x100) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(control));
      out += buffer;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string LocalTimeText(int64_t timestamp) {
  const std::time_t t = static_cast<std::time_t>(timestamp);
  const std::tm* local = std::localtime(&t);
  if (local == nullptr) return "";
  char buffer[64];
  if (std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", local) == 0) return "";
  return buffer;
}

std::string FormatJsonObject(const std::vector<ReportField>& fields);

// An embedded image on one line of the text form: "IFD1 jpeg 160x120, 3598
// bytes at 32770, complete, own Exif, chosen".
std::string ImageLine(const std::vector<ReportField>& image) {
  auto field = [&](const char* key) -> const ReportField& {
    for (const ReportField& f : image)
      if (f.key == key) return f;
    static const ReportField kNone;
    return kNone;
  };
  std::string line = Escape(field("where").text, true) + ": " + field("kind").text + " " +
                     std::to_string(field("width").integer) + "x" +
                     std::to_string(field("height").integer) + ", " +
                     std::to_string(field("length").integer) + " bytes at " +
                     std::to_string(field("offset").integer);
  if (!field("complete").boolean) line += ", past the end of the file";
  if (field("own_exif").boolean) line += ", own Exif";
  if (field("chosen").boolean) line += ", chosen";
  return line;
}

std::string ValueText(const ReportField& f, bool json) {
  switch (f.kind) {
    case ReportField::Kind::Objects: {
      std::string out = json ? "[" : "";
      for (size_t i = 0; i < f.objects.size(); ++i) {
        if (json) {
          out += (i > 0 ? ", " : "") + FormatJsonObject(f.objects[i]);
        } else {
          out += "\n  " + ImageLine(f.objects[i]);
        }
      }
      return json ? out + "]" : (f.objects.empty() ? "none" : out);
    }
    case ReportField::Kind::Null:
      return "null";
    case ReportField::Kind::Bool:
      return f.boolean ? "true" : "false";
    case ReportField::Kind::Integer:
      return std::to_string(f.integer);
    case ReportField::Kind::Real:
      return f.text;
    case ReportField::Kind::Text:
      return json ? "\"" + Escape(f.text, false) + "\"" : Escape(f.text, true);
  }
  return "null";
}

bool IdentifyOne(const std::string& path, FILE* out, FILE* err, bool json) {
  // The report must stay valid UTF-8 whatever bytes the argument holds; the
  // file itself is opened by the argument as given.
  const std::string shown = DisplayArgument(path);
  const platform::NativePath native = NativeArgumentPath(path);

  std::vector<ReportField> fields;
  bool opened = false;
  engine::FileSource source(native);
  if (const char* refusal = InputRefusal(path)) {
    std::fprintf(err, "rawlift identify: '%s' %s\n", shown.c_str(), refusal);
  } else if (!source.IsOpen()) {
    std::fprintf(err, "rawlift identify: cannot open '%s'\n", shown.c_str());
  } else {
    opened = true;
  }

  if (!opened) {
    fields = DescribeFile(shown, nullptr, engine::NoPreviewReason::kCannotOpen, -1);
  } else {
    // ParseState holds the camera texts, the directory table and more: keep it
    // off the stack.
    auto state = std::make_unique<engine::ParseState>();
    // The extraction below reads the file again and reports the same
    // diagnostics; let only that pass speak.
    state->diagnostics = nullptr;
    engine::IdentifySource(source, shown, native, state.get());
    engine::Identification images;
    engine::DescribeIdentified(*state, &images);
    // The same call ExtractEmbeddedPreview makes once it has opened the file,
    // on a source of its own as that would be.
    // The software text `rawlift preview` writes (the default), so that
    // `extractable` answers for exactly the call it makes.
    const engine::NoPreviewReason reason =
        job::ExtractPreviewOfFile(native, shown, engine::ExtractOptions()).reason;
    fields = DescribeFile(shown, state.get(), reason, SynthesizedExifOrientation(*state), &images);
  }

  const std::string report = json ? FormatJson(fields) + "\n" : FormatText(fields);
  std::fputs(report.c_str(), out);
  return opened;
}

}  // namespace

std::string Latin1FieldToUtf8(const char* field, size_t capacity) {
  std::string out;
  for (size_t i = 0; i < capacity && field[i] != 0; ++i) {
    AppendUtf8(&out, static_cast<unsigned char>(field[i]));
  }
  return out;
}

std::string ShortestFloatText(float value) {
  // Nine significant digits always read back as the same float; take the
  // fewest that do. %g switches to exponent form as soon as the exponent
  // reaches the precision (200 at one digit is "2e+02"): print ordinary
  // magnitudes in plain decimals with the same significant digits instead.
  char buffer[64];
  int precision = 1;
  for (; precision < 9; ++precision) {
    std::snprintf(buffer, sizeof buffer, "%.*g", precision, static_cast<double>(value));
    if (std::strtof(buffer, nullptr) == value) break;
  }
  std::snprintf(buffer, sizeof buffer, "%.*g", precision, static_cast<double>(value));
  const double magnitude = std::fabs(static_cast<double>(value));
  if (std::strchr(buffer, 'e') != nullptr && magnitude >= 1 && magnitude < 1e15) {
    std::snprintf(buffer, sizeof buffer, "%.0f", static_cast<double>(value));
  }
  return buffer;
}

int SynthesizedExifOrientation(const engine::ParseState& state) {
  uint8_t block[engine::kExifHeaderBlockSize] = {};
  engine::BuildExifHeaderBlock(state.shot, block);
  // The block is in the host's byte order.
  uint16_t tag, value;
  std::memcpy(&tag, block + kOrientationEntry, 2);
  std::memcpy(&value, block + kOrientationEntry + 8, 2);
  return tag == kOrientationTag ? value : -1;
}

ReportField NullField(const char* key) {
  ReportField f;
  f.key = key;
  return f;
}

ReportField BoolField(const char* key, bool value) {
  ReportField f = NullField(key);
  f.kind = ReportField::Kind::Bool;
  f.boolean = value;
  return f;
}

ReportField IntegerField(const char* key, int64_t value) {
  ReportField f = NullField(key);
  f.kind = ReportField::Kind::Integer;
  f.integer = value;
  return f;
}

ReportField RealField(const char* key, float value) {
  ReportField f = NullField(key);
  if (!std::isfinite(value)) return f;  // JSON has no infinity or NaN
  f.kind = ReportField::Kind::Real;
  f.real = value;
  f.text = ShortestFloatText(value);
  return f;
}

ReportField TextField(const char* key, std::string utf8) {
  ReportField f = NullField(key);
  f.kind = ReportField::Kind::Text;
  f.text = std::move(utf8);
  return f;
}

std::vector<ReportField> DescribeFile(const std::string& path, const engine::ParseState* state,
                                      engine::NoPreviewReason reason, int exif_orientation,
                                      const engine::Identification* images) {
  const bool extractable = reason == engine::NoPreviewReason::kNone;
  const ReportField reason_field =
      extractable ? NullField("reason") : TextField("reason", engine::NoPreviewReasonText(reason));
  std::vector<ReportField> f;
  f.push_back(TextField("path", path));
  f.push_back(BoolField("opened", state != nullptr));
  if (state == nullptr) {
    for (const char* key :
         {"make",           "model",        "model2",         "artist",           "description",
          "raw_count",      "raw_decoder",  "preview_offset", "preview_length",   "preview_width",
          "preview_height", "preview_kind", "orientation",    "exif_orientation", "timestamp",
          "iso_speed",      "shutter",      "aperture",       "focal_length",     "shot_order",
          "unique_id",      "raw_width",    "raw_height",     "image_width",      "image_height",
          "dng_version"}) {
      f.push_back(NullField(key));
    }
    f.push_back(BoolField("extractable", false));
    f.push_back(reason_field);
    f.push_back(NullField("images"));
    return f;
  }
  const engine::ParseState& s = *state;
  f.push_back(CameraText("make", s.shot.make));
  f.push_back(CameraText("model", s.shot.model));
  f.push_back(CameraText("model2", s.shot.model2));
  f.push_back(CameraText("artist", s.shot.artist));
  f.push_back(CameraText("description", s.shot.description));
  f.push_back(IntegerField("raw_count", s.raw.raw_count));
  f.push_back(TextField("raw_decoder", engine::RawDecoderName(s.raw.raw_decoder)));
  const engine::RulesPreview preview = engine::RulesChoice(s);
  f.push_back(IntegerField("preview_offset", preview.offset));
  f.push_back(IntegerField("preview_length", preview.length));
  f.push_back(IntegerField("preview_width", preview.width));
  f.push_back(IntegerField("preview_height", preview.height));
  f.push_back(TextField("preview_kind", engine::PreviewKindName(preview.kind)));
  f.push_back(IntegerField("orientation", s.shot.orientation));
  f.push_back(exif_orientation < 0 ? NullField("exif_orientation")
                                   : IntegerField("exif_orientation", exif_orientation));
  f.push_back(IntegerField("timestamp", s.shot.timestamp));
  f.push_back(RealField("iso_speed", s.shot.iso_speed));
  f.push_back(RealField("shutter", s.shot.shutter));
  f.push_back(RealField("aperture", s.shot.aperture));
  f.push_back(RealField("focal_length", s.shot.focal_length));
  f.push_back(IntegerField("shot_order", s.shot.shot_order));
  f.push_back(IntegerField("unique_id", s.shot.unique_id));
  f.push_back(IntegerField("raw_width", s.raw.raw_width));
  f.push_back(IntegerField("raw_height", s.raw.raw_height));
  f.push_back(IntegerField("image_width", s.raw.image_width));
  f.push_back(IntegerField("image_height", s.raw.image_height));
  f.push_back(IntegerField("dng_version", s.raw.dng_version));
  f.push_back(BoolField("extractable", extractable));
  f.push_back(reason_field);
  f.push_back(images ? ImagesField(*images) : NullField("images"));
  return f;
}

std::string FormatJson(const std::vector<ReportField>& fields) {
  return FormatJsonObject(fields);
}

namespace {
std::string FormatJsonObject(const std::vector<ReportField>& fields) {
  std::string out = "{";
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += ", ";
    out += "\"" + Escape(fields[i].key, false) + "\": " + ValueText(fields[i], true);
  }
  return out + "}";
}
}  // namespace

ReportField ImagesField(const engine::Identification& id) {
  ReportField f = NullField("images");
  f.kind = ReportField::Kind::Objects;
  for (size_t i = 0; i < id.images.size(); ++i) {
    const engine::EmbeddedImage& image = id.images[i];
    f.objects.push_back({
        TextField("where", image.where),
        TextField("kind", engine::ImageKindName(image.kind)),
        IntegerField("offset", static_cast<int64_t>(image.offset)),
        IntegerField("length", static_cast<int64_t>(image.length)),
        IntegerField("width", image.width),
        IntegerField("height", image.height),
        BoolField("complete", image.complete),
        BoolField("own_exif", image.own_exif),
        BoolField("chosen", static_cast<int>(i) == id.extraction_choice),
    });
  }
  return f;
}

std::string FormatText(const std::vector<ReportField>& fields) {
  size_t width = 0;
  for (const ReportField& f : fields) width = f.key.size() > width ? f.key.size() : width;
  std::string out;
  for (const ReportField& f : fields) {
    // A list starts on the lines below its key.
    const bool list = f.kind == ReportField::Kind::Objects && !f.objects.empty();
    out += f.key + ":" + (list ? "" : std::string(width + 1 - f.key.size(), ' ')) +
           ValueText(f, false);
    if (f.key == "timestamp" && f.kind == ReportField::Kind::Integer && f.integer != 0) {
      const std::string local = LocalTimeText(f.integer);
      if (!local.empty()) out += " (" + local + ")";
    }
    out += "\n";
  }
  return out;
}

int RunIdentifyWith(const Args& args, FILE* out, FILE* err) {
  static const std::vector<OptionSpec> kSpecs = {{"json", 0, false}, {"help", 'h', false}};
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args, kSpecs, &options, &error)) {
    std::fprintf(err, "rawlift identify: %s\n\n%s", error.c_str(), kIdentifyHelp);
    return 2;
  }
  if (options.Has("help")) {
    std::fputs(kIdentifyHelp, out);
    return 0;
  }
  if (options.operands.empty()) {
    std::fprintf(err, "rawlift identify: no FILE given\n\n%s", kIdentifyHelp);
    return 2;
  }
  const bool json = options.Has("json");
  bool all_opened = true;
  for (size_t i = 0; i < options.operands.size(); ++i) {
    if (!json && i > 0) std::fputs("\n", out);
    if (!IdentifyOne(options.operands[i], out, err, json)) all_opened = false;
  }
  std::fflush(out);
  return all_opened ? 0 : 1;
}

int RunIdentify(const Args& args) {
  return RunIdentifyWith(args, stdout, stderr);
}

}  // namespace cli
