// The identify and preview commands: option parsing, the report formats and
// the commands' behaviour on files (exit codes, refusing to overwrite,
// byte-exact output).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "cli/files.h"
#include "cli/identify_command.h"
#include "cli/options.h"
#include "cli/preview_command.h"
#include "engine/extract.h"
#include "platform/path.h"
#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/jpeg.h"

namespace fs = std::filesystem;
using cli::ReportField;

namespace {

// A fresh folder per test, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = fs::temp_directory_path() /
            (std::string("rawlift_cli_") + info->test_suite_name() + "_" + info->name());
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string File(const std::string& name) const { return (path_ / name).u8string(); }
  std::string Write(const std::string& name, const fixtures::Bytes& bytes) const {
    std::ofstream out(path_ / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return File(name);
  }

 private:
  fs::path path_;
};

fixtures::Bytes ReadAll(const std::string& path) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  return fixtures::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs a command with its streams captured in files of the temp folder.
struct Captured {
  int code = -1;
  std::string out, err;
};

std::string Slurp(FILE* f) {
  std::string text;
  std::rewind(f);
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  std::fclose(f);
  return text;
}

Captured RunIdentify(const TempFolder& folder, const cli::Args& args) {
  FILE* out = std::fopen(folder.File("stdout.txt").c_str(), "w+b");
  FILE* err = std::fopen(folder.File("stderr.txt").c_str(), "w+b");
  Captured c;
  c.code = cli::RunIdentifyWith(args, out, err);
  c.out = Slurp(out);
  c.err = Slurp(err);
  return c;
}

Captured RunPreview(const TempFolder& folder, const cli::Args& args) {
  FILE* err = std::fopen(folder.File("stderr.txt").c_str(), "w+b");
  Captured c;
  c.code = cli::RunPreviewWith(args, err);
  c.err = Slurp(err);
  return c;
}

// What the engine itself returns for a file, for comparing with the commands.
struct EngineResult {
  bool ok = false;
  fixtures::Bytes bytes;
};

EngineResult Extract(const std::string& path,
                     engine::MetadataMode metadata = engine::MetadataMode::kCompact) {
  engine::ExtractOptions options;
  options.software = "Rawlift v1.00";
  options.metadata = metadata;
  const engine::ExtractedPreview got =
      engine::ExtractEmbeddedPreview(platform::Utf8ToUtf16(path), options);
  EngineResult r;
  r.ok = got.extracted();
  if (r.ok) r.bytes.assign(got.bytes.get(), got.bytes.get() + got.length);
  return r;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

fixtures::Bytes SampleNef() {
  fixtures::JpegOptions o;
  o.width = 320;
  o.height = 200;
  const fixtures::ShotInfo shot{"NIKON CORPORATION", "NIKON D70"};
  return fixtures::MakeNefLike(shot, fixtures::MakeJpeg(o));
}

}  // namespace

// ---------------------------------------------------------------------------
// Option parsing

TEST(Options, AcceptsEveryFormAndKeepsOperandsInOrder) {
  const std::vector<cli::OptionSpec> known_options = {
      {"output", 'o', true}, {"force", 'f', false}, {"json", 0, false}};
  cli::ParsedOptions p;
  std::string error;
  ASSERT_TRUE(cli::ParseOptions({"a", "--output=x.jpg", "b", "-f", "--", "--json", "-"},
                                known_options, &p, &error))
      << error;
  EXPECT_EQ(p.Value("output"), "x.jpg");
  EXPECT_TRUE(p.Has("force"));
  EXPECT_FALSE(p.Has("json"));  // after "--" it is an operand
  EXPECT_EQ(p.operands, (cli::Args{"a", "b", "--json", "-"}));

  ASSERT_TRUE(cli::ParseOptions({"-oout.jpg", "in"}, known_options, &p, &error));
  EXPECT_EQ(p.Value("output"), "out.jpg");
  ASSERT_TRUE(cli::ParseOptions({"-o", "-", "in", "--output", "last"}, known_options, &p, &error));
  EXPECT_EQ(p.Value("output"), "last");  // the last one wins
  EXPECT_EQ(p.operands, (cli::Args{"in"}));
  ASSERT_TRUE(cli::ParseOptions({"-o", "--force"}, known_options, &p, &error));
  EXPECT_EQ(p.Value("output"), "--force");  // a value is taken as it stands
  EXPECT_FALSE(p.Has("force"));
}

TEST(Options, RejectsUnknownMissingAndMisplacedValues) {
  const std::vector<cli::OptionSpec> known_options = {{"output", 'o', true}, {"force", 'f', false}};
  cli::ParsedOptions p;
  std::string error;
  EXPECT_FALSE(cli::ParseOptions({"--outputs", "x"}, known_options, &p, &error));
  EXPECT_NE(error.find("--outputs"), std::string::npos);
  EXPECT_FALSE(cli::ParseOptions({"-x"}, known_options, &p, &error));
  EXPECT_FALSE(cli::ParseOptions({"in", "-o"}, known_options, &p, &error));
  EXPECT_NE(error.find("needs a value"), std::string::npos);
  EXPECT_FALSE(cli::ParseOptions({"--force=yes"}, known_options, &p, &error));
  EXPECT_FALSE(cli::ParseOptions({"-fo"}, known_options, &p, &error));  // no bundling of flags
}

// ---------------------------------------------------------------------------
// Report values and formats

TEST(Report, CameraTextIsLatin1UpToNulOrFieldEnd) {
  const char latin1[8] = {'C', static_cast<char>(0xE9), 'a', 0, 'x', 'x', 'x', 'x'};
  EXPECT_EQ(cli::Latin1FieldToUtf8(latin1, sizeof latin1),
            "C\xC3\xA9"
            "a");
  const char full[4] = {'A', 'B', static_cast<char>(0xFF), static_cast<char>(0x80)};
  EXPECT_EQ(cli::Latin1FieldToUtf8(full, sizeof full), "AB\xC3\xBF\xC2\x80");  // no NUL: bounded
}

TEST(Report, FloatsPrintShortestRoundTrip) {
  EXPECT_EQ(cli::ShortestFloatText(0.004f), "0.004");
  EXPECT_EQ(cli::ShortestFloatText(200.0f), "200");
  EXPECT_EQ(cli::ShortestFloatText(0.0f), "0");
  EXPECT_EQ(cli::ShortestFloatText(5.6f), "5.6");
  const float third = 1.0f / 3.0f;
  EXPECT_EQ(std::strtof(cli::ShortestFloatText(third).c_str(), nullptr), third);
  EXPECT_EQ(cli::ShortestFloatText(1e-7f), "1e-07");
  EXPECT_EQ(cli::ShortestFloatText(3200.0f), "3200");
  EXPECT_EQ(cli::ShortestFloatText(1234567.0f), "1234567");
  EXPECT_EQ(cli::ShortestFloatText(-0.5f), "-0.5");
}

TEST(Report, JsonHasExactlyTheKeysInOrderAndEscapes) {
  auto state = std::make_unique<engine::ParseState>();
  engine::SetText(state->shot.make, "Ma\"ke\\");
  state->shot.model[0] = 'M';
  state->shot.model[1] = static_cast<char>(0xE4);  // Latin-1 a-umlaut
  engine::SetText(state->shot.description, "line1\nline2\t\x01");
  state->shot.shutter = 1.0f / 0.0f;  // a zero denominator in the file
  state->shot.aperture = 2.8f;
  state->shot.timestamp = 1199188800;
  engine::ClaimPreview(*state, engine::PreviewClaim().Kind(engine::PreviewKind::PackedRgb));
  state->shot.orientation = 6;
  const auto fields = cli::DescribeFile("dir/\"a\".nef", state.get(),
                                        engine::NoPreviewReason::kBitmapPreviewOnly, 6);
  const std::string json = cli::FormatJson(fields);

  const std::vector<std::string> keys = {
      "path",           "opened",         "make",           "model",
      "model2",         "artist",         "description",    "raw_count",
      "raw_decoder",    "preview_offset", "preview_length", "preview_width",
      "preview_height", "preview_kind",   "orientation",    "exif_orientation",
      "timestamp",      "iso_speed",      "shutter",        "aperture",
      "focal_length",   "shot_order",     "unique_id",      "raw_width",
      "raw_height",     "image_width",    "image_height",   "dng_version",
      "extractable",    "reason",         "images"};
  ASSERT_EQ(fields.size(), keys.size());
  size_t last = 0;
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(fields[i].key, keys[i]);
    const size_t at = json.find("\"" + keys[i] + "\": ");
    ASSERT_NE(at, std::string::npos) << keys[i];
    EXPECT_GE(at, last);
    last = at;
  }
  EXPECT_EQ(json.front(), '{');
  EXPECT_EQ(json.back(), '}');
  EXPECT_EQ(json.find('\n'), std::string::npos);
  EXPECT_NE(json.find("\"path\": \"dir/\\\"a\\\".nef\""), std::string::npos);
  EXPECT_NE(json.find("\"make\": \"Ma\\\"ke\\\\\""), std::string::npos);
  EXPECT_NE(json.find("\"model\": \"M\xC3\xA4\""), std::string::npos);
  EXPECT_NE(json.find("\"description\": \"line1\\nline2\\t\\u0001\""), std::string::npos);
  EXPECT_NE(json.find("\"shutter\": null"), std::string::npos);  // JSON has no infinity
  EXPECT_NE(json.find("\"aperture\": 2.8,"), std::string::npos);
  EXPECT_NE(json.find("\"timestamp\": 1199188800,"), std::string::npos);
  EXPECT_NE(json.find("\"preview_kind\": \"PackedRgb\""), std::string::npos);
  EXPECT_NE(json.find("\"raw_decoder\": \"none\""), std::string::npos);
  EXPECT_NE(json.find("\"opened\": true"), std::string::npos);
  EXPECT_NE(json.find("\"extractable\": false, \"reason\": \"raw file without a JPEG preview: "
                      "bitmap preview only\", \"images\": null}"),
            std::string::npos);
}

TEST(Report, UnopenedFileHasNullsButPathAndFlags) {
  const auto fields =
      cli::DescribeFile("missing.cr2", nullptr, engine::NoPreviewReason::kCannotOpen, -1);
  ASSERT_EQ(fields.size(), 31u);
  for (const ReportField& f : fields) {
    if (f.key == "path") {
      EXPECT_EQ(f.text, "missing.cr2");
    } else if (f.key == "reason") {
      EXPECT_EQ(f.text, "cannot be opened");
    } else if (f.key == "opened" || f.key == "extractable") {
      EXPECT_EQ(f.kind, ReportField::Kind::Bool);
      EXPECT_FALSE(f.boolean);
    } else {
      EXPECT_EQ(f.kind, ReportField::Kind::Null) << f.key;
    }
  }
}

TEST(Report, TextLinesAreAlignedAndOneLinePerFact) {
  auto state = std::make_unique<engine::ParseState>();
  engine::SetText(state->shot.description, "two\nlines");
  state->shot.model[0] = static_cast<char>(0x85);  // a C1 control in Latin-1
  const auto fields = cli::DescribeFile("x.nef", state.get(), engine::NoPreviewReason::kNone, 1);
  const auto lines = Lines(cli::FormatText(fields));
  ASSERT_EQ(lines.size(), fields.size());
  const size_t column = lines[0].find("x.nef");
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].compare(0, fields[i].key.size() + 1, fields[i].key + ":"), 0) << lines[i];
    EXPECT_NE(lines[i][column], ' ') << lines[i];
    EXPECT_EQ(lines[i][column - 1], ' ') << lines[i];
  }
  EXPECT_NE(cli::FormatText(fields).find("two\\nlines"), std::string::npos);
  EXPECT_NE(cli::FormatText(fields).find("model:            \\u0085"), std::string::npos);
}

TEST(Report, ExifOrientationIsReadFromTheSynthesizedHeader) {
  auto state = std::make_unique<engine::ParseState>();
  uint8_t block[engine::kExifHeaderBlockSize] = {};
  engine::BuildExifHeaderBlock(state->shot, block);
  const int value = cli::SynthesizedExifOrientation(*state);
  uint16_t tag;
  std::memcpy(&tag, block + 48, 2);
  if (tag != 274) {
    EXPECT_EQ(value, -1);  // a header without the entry reports unknown
  } else {
    state->shot.orientation = 6;
    EXPECT_EQ(cli::SynthesizedExifOrientation(*state), 6);
    state->shot.orientation = 5;
    EXPECT_EQ(cli::SynthesizedExifOrientation(*state), 8);
  }
}

// ---------------------------------------------------------------------------
// rawlift identify on files

TEST(IdentifyCommand, OneJsonLinePerFileAndExit1ForAnUnopenedOne) {
  TempFolder folder;
  const std::string nef = folder.Write("DSC_0001.NEF", SampleNef());
  const std::string text = folder.Write("notes.txt", {'h', 'i', '\n'});
  const std::string missing = folder.File("missing.NEF");
  const Captured c = RunIdentify(folder, {"--json", nef, missing, text});
  EXPECT_EQ(c.code, 1);
  const auto lines = Lines(c.out);
  ASSERT_EQ(lines.size(), 3u) << c.out;
  EXPECT_NE(lines[0].find("\"opened\": true"), std::string::npos);
  EXPECT_NE(lines[1].find("\"opened\": false"), std::string::npos);
  EXPECT_NE(lines[1].find("\"make\": null"), std::string::npos);
  EXPECT_NE(lines[2].find("\"opened\": true"), std::string::npos);
  EXPECT_NE(lines[2].find("\"extractable\": false"), std::string::npos);
  EXPECT_NE(c.err.find("missing.NEF"), std::string::npos);

  // extractable answers for exactly the call that `preview` makes.
  const bool expected = Extract(nef).ok;
  EXPECT_NE(lines[0].find(expected ? "\"extractable\": true" : "\"extractable\": false"),
            std::string::npos);

  EXPECT_EQ(RunIdentify(folder, {nef, text}).code, 0);
}

TEST(IdentifyCommand, FolderIsNotOpenedAndUsageFaultsExit2) {
  TempFolder folder;
  const Captured dir = RunIdentify(folder, {"--json", folder.File("")});
  EXPECT_EQ(dir.code, 1);
  EXPECT_NE(dir.out.find("\"opened\": false"), std::string::npos);

  EXPECT_EQ(RunIdentify(folder, {}).code, 2);
  EXPECT_EQ(RunIdentify(folder, {"--jsn", "x"}).code, 2);
  const Captured help = RunIdentify(folder, {"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("Exit status"), std::string::npos);
  EXPECT_NE(help.out.find("TZ"), std::string::npos);
}

TEST(IdentifyCommand, TextBlocksAreSeparatedByAnEmptyLine) {
  TempFolder folder;
  const std::string a = folder.Write("a.txt", {'a'});
  const std::string b = folder.Write("b.txt", {'b'});
  const Captured c = RunIdentify(folder, {a, b});
  EXPECT_EQ(c.code, 0);
  const auto lines = Lines(c.out);
  ASSERT_EQ(lines.size(), 31u * 2 + 1);
  EXPECT_EQ(lines[29], "reason:           not a camera raw file: unknown container");
  EXPECT_EQ(lines[30], "images:           none");
  EXPECT_EQ(lines[31], "");
  EXPECT_EQ(lines[32].rfind("path:", 0), 0u);
}

// ---------------------------------------------------------------------------
// rawlift preview

TEST(PreviewCommand, WritesExactlyTheEngineBytesOrExits1WithoutAFile) {
  TempFolder folder;
  const std::string nef = folder.Write("DSC_0001.NEF", SampleNef());
  const std::string out = folder.File("out.jpg");
  const EngineResult engine_result = Extract(nef);
  const Captured c = RunPreview(folder, {nef, "-o", out});
  if (engine_result.ok) {
    EXPECT_EQ(c.code, cli::kPreviewWritten) << c.err;
    EXPECT_EQ(ReadAll(out), engine_result.bytes);
  } else {
    EXPECT_EQ(c.code, cli::kPreviewNone);
    EXPECT_FALSE(fs::exists(fs::u8path(out)));
  }

  const std::string text = folder.Write("notes.txt", {'n', 'o'});
  const Captured none = RunPreview(folder, {text, "-o", folder.File("none.jpg")});
  EXPECT_EQ(none.code, cli::kPreviewNone);
  EXPECT_FALSE(fs::exists(fs::u8path(folder.File("none.jpg"))));
  EXPECT_EQ(RunPreview(folder, {folder.File("missing.NEF"), "-o", folder.File("m.jpg")}).code,
            cli::kPreviewNone);
  EXPECT_EQ(RunPreview(folder, {folder.File(""), "-o", folder.File("d.jpg")}).code,
            cli::kPreviewNone);
}

TEST(PreviewCommand, MetadataCompleteGivesTheEnginesCompleteBytes) {
  TempFolder folder;
  const std::string nef = folder.Write("DSC_0001.NEF", SampleNef());
  const EngineResult complete = Extract(nef, engine::MetadataMode::kComplete);
  ASSERT_TRUE(complete.ok);
  ASSERT_NE(complete.bytes, Extract(nef).bytes) << "the modes differ for this file";
  const std::string out = folder.File("complete.jpg");
  EXPECT_EQ(RunPreview(folder, {nef, "--metadata", "complete", "-o", out}).code,
            cli::kPreviewWritten);
  EXPECT_EQ(ReadAll(out), complete.bytes);
  const std::string compact = folder.File("compact.jpg");
  EXPECT_EQ(RunPreview(folder, {nef, "--metadata=compact", "-o", compact}).code,
            cli::kPreviewWritten);
  EXPECT_EQ(ReadAll(compact), Extract(nef).bytes);

  const Captured bad = RunPreview(folder, {nef, "--metadata", "all", "-o", folder.File("x.jpg")});
  EXPECT_EQ(bad.code, cli::kPreviewUsageOrWrite);
  EXPECT_NE(bad.err.find("--metadata needs compact or complete"), std::string::npos) << bad.err;
  EXPECT_FALSE(fs::exists(fs::u8path(folder.File("x.jpg"))));
}

// --size picks the smallest embedded JPEG covering the size (a CR2 holds a
// 160x120 thumbnail beside its preview); --converted takes a converted file.
TEST(PreviewCommand, SizeAndConvertedChooseTheImage) {
  TempFolder folder;
  fixtures::JpegOptions o;
  o.width = 600;
  o.height = 400;
  const std::string cr2 = folder.Write(
      "IMG_0001.CR2", fixtures::MakeCr2Like({"Canon", "Canon EOS 5D"}, fixtures::MakeJpeg(o)));
  fixtures::ShotInfo converted{"NIKON CORPORATION", "NIKON D70"};
  converted.software = "Adobe Photoshop Lightroom 6.0";
  const std::string dng =
      folder.Write("DSC_0004.DNG", fixtures::MakeDngLike(converted, fixtures::MakeJpeg(o)));
  const struct {
    std::string file;
    std::vector<std::string> options;
    int code;
    int width;  // of the JPEG written; 0: none written
  } runs[] = {
      {cr2, {}, cli::kPreviewWritten, 600},
      {cr2, {"--size", "100"}, cli::kPreviewWritten, 160},
      {cr2, {"--size", "160"}, cli::kPreviewWritten, 160},
      {cr2, {"--size", "161"}, cli::kPreviewWritten, 600},
      {cr2, {"--size", "65535"}, cli::kPreviewWritten, 600},  // none covers: the largest
      {cr2, {"--size", "0"}, cli::kPreviewUsageOrWrite, 0},
      {cr2, {"--size", "65536"}, cli::kPreviewUsageOrWrite, 0},
      {cr2, {"--size", "-5"}, cli::kPreviewUsageOrWrite, 0},
      {dng, {}, cli::kPreviewNone, 0},
      {dng, {"--size", "256"}, cli::kPreviewNone, 0},  // refused for every size
      {dng, {"--converted"}, cli::kPreviewWritten, 600},
  };
  int n = 0;
  for (const auto& run : runs) {
    const std::string out = folder.File("out" + std::to_string(n++) + ".jpg");
    cli::Args args = {run.file, "-o", out};
    args.insert(args.end(), run.options.begin(), run.options.end());
    const Captured c = RunPreview(folder, args);
    SCOPED_TRACE(run.file + " " + (run.options.empty() ? "" : run.options[0]) + " " +
                 (run.options.size() > 1 ? run.options[1] : ""));
    EXPECT_EQ(c.code, run.code) << c.err;
    if (run.width == 0) {
      EXPECT_FALSE(fs::exists(fs::u8path(out)));
      continue;
    }
    fixtures::JpegFrame frame;
    ASSERT_TRUE(fixtures::ReadJpegFrame(ReadAll(out), &frame));
    EXPECT_EQ(frame.width, run.width);
  }
}

TEST(PreviewCommand, RefusesAnExistingOutputUnlessForced) {
  TempFolder folder;
  const std::string nef = folder.Write("DSC_0001.NEF", SampleNef());
  const fixtures::Bytes old_bytes = {'o', 'l', 'd'};
  const std::string out = folder.Write("out.jpg", old_bytes);
  const Captured refused = RunPreview(folder, {nef, "-o", out});
  EXPECT_EQ(refused.code, cli::kPreviewUsageOrWrite);
  EXPECT_NE(refused.err.find("--force"), std::string::npos);
  EXPECT_EQ(ReadAll(out), old_bytes);

  const EngineResult engine_result = Extract(nef);
  const Captured forced = RunPreview(folder, {"--force", nef, "-o", out});
  if (engine_result.ok) {
    EXPECT_EQ(forced.code, cli::kPreviewWritten);
    EXPECT_EQ(ReadAll(out), engine_result.bytes);
  } else {
    EXPECT_EQ(forced.code, cli::kPreviewNone);
    EXPECT_EQ(ReadAll(out), old_bytes);  // nothing to write: the old file stays
  }
}

TEST(PreviewCommand, NeverWritesOverTheCameraFile) {
  TempFolder folder;
  const fixtures::Bytes original = SampleNef();
  const std::string nef = folder.Write("DSC_0001.NEF", original);
  EXPECT_EQ(RunPreview(folder, {"--force", nef, "-o", nef}).code, cli::kPreviewUsageOrWrite);
  const std::string same_file_other_spelling = folder.File(".") + "/DSC_0001.NEF";
  EXPECT_EQ(RunPreview(folder, {"-f", nef, "-o", same_file_other_spelling}).code,
            cli::kPreviewUsageOrWrite);
  EXPECT_EQ(ReadAll(nef), original);
}

TEST(PreviewCommand, UsageFaultsExit2) {
  TempFolder folder;
  const std::string nef = folder.Write("DSC_0001.NEF", SampleNef());
  EXPECT_EQ(RunPreview(folder, {nef}).code, cli::kPreviewUsageOrWrite);            // no -o
  EXPECT_EQ(RunPreview(folder, {"-o", "x.jpg"}).code, cli::kPreviewUsageOrWrite);  // no FILE
  EXPECT_EQ(RunPreview(folder, {nef, nef, "-o", "x.jpg"}).code, cli::kPreviewUsageOrWrite);
  EXPECT_EQ(RunPreview(folder, {nef, "-o", ""}).code, cli::kPreviewUsageOrWrite);
  EXPECT_EQ(RunPreview(folder, {nef, "--out", "x.jpg"}).code, cli::kPreviewUsageOrWrite);
}

// ---------------------------------------------------------------------------
// The output file helper

TEST(OutputFile, CreatesNewRefusesExistingAndReplacesOnlyWhenAsked) {
  TempFolder folder;
  const std::string path = folder.File("a.bin");
  const uint8_t first[] = {1, 2, 3};
  const uint8_t second[] = {9};
  std::string error;
  EXPECT_EQ(cli::WriteOutputFile(path, first, sizeof first, false, &error),
            cli::WriteOutcome::Written);
  EXPECT_EQ(cli::WriteOutputFile(path, second, sizeof second, false, &error),
            cli::WriteOutcome::AlreadyExists);
  EXPECT_EQ(ReadAll(path), fixtures::Bytes({1, 2, 3}));
  EXPECT_EQ(cli::WriteOutputFile(path, second, sizeof second, true, &error),
            cli::WriteOutcome::Written);
  EXPECT_EQ(ReadAll(path), fixtures::Bytes({9}));

  const std::string nowhere = folder.File("no_such_folder") + "/x.bin";
  EXPECT_EQ(cli::WriteOutputFile(nowhere, first, sizeof first, false, &error),
            cli::WriteOutcome::Failed);
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(cli::PathExists(nowhere));
}

#ifndef _WIN32
namespace {

// Names in a folder that the output helper may have left behind.
std::vector<std::string> Leftovers(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(fs::u8path(folder))) {
    const std::string name = entry.path().filename().u8string();
    if (name.rfind(".rlft-", 0) == 0) names.push_back(name);
  }
  return names;
}

}  // namespace

// --force used to truncate OUT and write into it: another name for the same
// file (a hard link, a reader holding it open) saw it emptied and rewritten,
// and a failed write destroyed the old OUT. The replacement is now a new file.
TEST(OutputFile, ReplacingPutsANewFileInPlaceAndKeepsTheOldOnFailure) {
  TempFolder folder;
  const std::string path = folder.File("out.jpg");
  const std::string other_name = folder.File("kept.jpg");
  const uint8_t old_bytes[] = {'o', 'l', 'd'};
  std::string error;
  ASSERT_EQ(cli::WriteOutputFile(path, old_bytes, sizeof old_bytes, false, &error),
            cli::WriteOutcome::Written);
  ASSERT_EQ(::link(path.c_str(), other_name.c_str()), 0);
  const fixtures::Bytes nef = SampleNef();
  const Captured forced = RunPreview(folder, {"--force", folder.Write("A.NEF", nef), "-o", path});
  ASSERT_EQ(forced.code, cli::kPreviewWritten) << forced.err;
  EXPECT_EQ(ReadAll(path), Extract(folder.File("A.NEF")).bytes);
  EXPECT_EQ(ReadAll(other_name), fixtures::Bytes({'o', 'l', 'd'})) << "OUT was written in place";

  // A write that fails half way (a file size limit stands in for a full
  // disk) in a child process: OUT keeps its old bytes, no temporary stays.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit = {16, 16};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::vector<uint8_t> big(4096, 0xAB);
    std::string child_error;
    ::_exit(cli::WriteOutputFile(path, big.data(), big.size(), true, &child_error) ==
                    cli::WriteOutcome::Failed
                ? 0
                : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the failed write was not reported";
  EXPECT_EQ(ReadAll(path), Extract(folder.File("A.NEF")).bytes);
  EXPECT_TRUE(Leftovers(folder.File(".")).empty());
}

// Hostile OUT: a pipe with a reader (or a device) must not be replaced by a
// plain file, nor written into, even with --force.
TEST(OutputFile, ReplacingRefusesWhatIsNoPlainFile) {
  TempFolder folder;
  const std::string fifo = folder.File("pipe.jpg");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A reader, so that a writer opening the pipe would not block the test.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const uint8_t bytes[] = {0xFF, 0xD8};
  std::string error;
  EXPECT_EQ(cli::WriteOutputFile(fifo, bytes, sizeof bytes, true, &error),
            cli::WriteOutcome::Failed);
  EXPECT_EQ(error, "not a plain file");
  struct stat info;
  ASSERT_EQ(::stat(fifo.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  char got[4];
  EXPECT_LE(::read(reader, got, sizeof got), 0) << "bytes were written into the pipe";
  ::close(reader);
  EXPECT_EQ(cli::WriteOutputFile(folder.File("."), bytes, sizeof bytes, true, &error),
            cli::WriteOutcome::Failed)
      << "a folder is no file to replace";
  EXPECT_TRUE(Leftovers(folder.File(".")).empty());
}
#endif

#ifdef _WIN32
// A Windows name may hold a lone surrogate: the argument used to pass through
// plain UTF-8, which replaced it, so the command looked for another file.
TEST(Arguments, LoneSurrogatesInTheCommandLineNameTheSameFile) {
  const std::wstring argument = std::wstring(L"C:\\shots\\a") + wchar_t(0xD834) + L".NEF";
  const std::string text = cli::ArgumentFromCommandLine(argument);
  EXPECT_EQ(cli::ArgumentPath(text), std::u16string(argument.begin(), argument.end()));
  EXPECT_EQ(cli::NativeArgumentPath(text), argument);
  EXPECT_EQ(cli::DisplayArgument(text), "C:\\shots\\a\xef\xbf\xbd.NEF");
}
#endif

TEST(OutputFile, NonAsciiNamesRoundTrip) {
  TempFolder folder;
  const std::string path = folder.File("j\xC3\xB8lstravatnet.jpg");
  const uint8_t bytes[] = {0xFF, 0xD8};
  std::string error;
  ASSERT_EQ(cli::WriteOutputFile(path, bytes, sizeof bytes, false, &error),
            cli::WriteOutcome::Written);
  EXPECT_TRUE(cli::PathExists(path));
  EXPECT_TRUE(fs::exists(fs::u8path(path)));
  EXPECT_TRUE(cli::IsSameFile(path, path));
  EXPECT_FALSE(cli::IsSameFile(path, folder.File("other.jpg")));
}

// ---------------------------------------------------------------------------
// The demo folder: every synthetic camera file gives the outcome it was built for

namespace {

uint64_t JsonNumber(const std::string& json, const std::string& key) {
  const std::string marker = "\"" + key + "\": ";
  const size_t at = json.find(marker);
  if (at == std::string::npos) {
    ADD_FAILURE() << "no " << key << " in " << json;
    return 0;
  }
  return std::strtoull(json.c_str() + at + marker.size(), nullptr, 10);
}

}  // namespace

TEST(DemoFolder, EveryFileGivesTheOutcomeItWasBuiltFor) {
  TempFolder folder;
  for (const fixtures::DemoFile& file : fixtures::MakeDemoFiles()) {
    SCOPED_TRACE(file.name + ": " + file.about);
    const std::string path = folder.Write(file.name, file.bytes);
    const Captured id = RunIdentify(folder, {"--json", path});
    ASSERT_EQ(id.code, 0) << id.err;
    EXPECT_NE(id.out.find(file.extractable ? "\"extractable\": true" : "\"extractable\": false"),
              std::string::npos)
        << id.out;

    const std::string out = folder.File(file.name + ".jpg");
    const Captured preview = RunPreview(folder, {path, "-o", out});
    if (!file.extractable) {
      EXPECT_EQ(preview.code, cli::kPreviewNone);
      EXPECT_FALSE(fs::exists(fs::u8path(out)));
      continue;
    }
    EXPECT_EQ(JsonNumber(id.out, "preview_offset"), file.preview.offset);
    EXPECT_EQ(JsonNumber(id.out, "preview_length"), file.preview.length);
    ASSERT_EQ(preview.code, cli::kPreviewWritten) << preview.err;

    // The stored JPEG, behind a synthesized Exif segment unless it has its own.
    const fixtures::Bytes written = ReadAll(out);
    const fixtures::Bytes stored(file.bytes.begin() + file.preview.offset,
                                 file.bytes.begin() + file.preview.offset + file.preview.length);
    const size_t inserted = file.preview_has_exif ? 0 : engine::kExifSegmentSize;
    ASSERT_EQ(written.size(), stored.size() + inserted);
    EXPECT_TRUE(std::equal(stored.begin() + 2, stored.end(), written.begin() + 2 + inserted));
    if (!file.preview_has_exif) {
      EXPECT_EQ(std::string(written.begin() + 6, written.begin() + 12), std::string("Exif\0\0", 6));
      // The synthesized header carries the camera's make and the software text.
      const std::string header(written.begin(), written.begin() + 12 + 1136);
      EXPECT_NE(header.find("Rawlift v1.00"), std::string::npos);
    }
    fixtures::JpegFrame frame;
    EXPECT_TRUE(fixtures::ReadJpegFrame(written, &frame));
  }
}

#ifndef _WIN32
// A POSIX file name is bytes: one that is not UTF-8 is still opened by its
// own name, while the report shows it as valid UTF-8.
TEST(IdentifyCommand, OpensNamesThatAreNotUtf8) {
  TempFolder folder;
  const std::string name = "bad\xFFname.NEF";
  const std::string path = folder.Write(name, SampleNef());
  const Captured id = RunIdentify(folder, {"--json", path});
  EXPECT_EQ(id.code, 0) << id.err;
  EXPECT_NE(id.out.find("bad\xEF\xBF\xBDname.NEF"), std::string::npos);  // U+FFFD
  EXPECT_EQ(id.out.find("\xFF"), std::string::npos);
  EXPECT_NE(id.out.find("\"opened\": true"), std::string::npos);

  const std::string out = folder.File("out\xFF.jpg");
  const bool extractable = id.out.find("\"extractable\": true") != std::string::npos;
  EXPECT_EQ(RunPreview(folder, {path, "-o", out}).code,
            extractable ? cli::kPreviewWritten : cli::kPreviewNone);
  EXPECT_EQ(fs::exists(fs::path(out)), extractable);
}
#endif
