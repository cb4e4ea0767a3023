// The C API of librawlift over its three inputs (path, memory, reader),
// against the engine called directly on the same bytes; its error paths; and
// hostile inputs through the memory and reader inputs.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/extract.h"
#include "engine/images.h"
#include "job/extraction_job.h"
#include "rawlift/rawlift.h"
#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/jpeg.h"

namespace {

using fixtures::Bytes;

// A sized struct as a caller of this version fills it.
template <typename T>
T Sized() {
  T value{};
  value.struct_size = sizeof value;
  return value;
}

// The engine's answer for the default JPEG, with the command's options.
struct Expected {
  engine::NoPreviewReason reason = engine::NoPreviewReason::kNone;
  Bytes jpeg;
};

Expected EngineAnswer(const Bytes& file, engine::MetadataMode mode, int32_t cover = 0) {
  const engine::MemorySource source(file.data(), file.size());
  engine::ExtractOptions options;
  options.software = job::kSoftwareText;
  options.metadata = mode;
  options.use.cover = cover;
  options.use.accept_converted = cover != 0;
  const engine::ExtractedPreview got =
      engine::ExtractEmbeddedPreviewFrom(source, "", platform::NativePath(), options);
  Expected out;
  out.reason = got.reason;
  if (got.extracted()) out.jpeg.assign(got.bytes.get(), got.bytes.get() + got.length);
  return out;
}

// A reader over memory that can fail at an offset or lie about its count.
struct ReaderContext {
  const Bytes* bytes = nullptr;
  uint64_t fail_at = UINT64_MAX;  // a read touching this offset fails
  bool overreport = false;        // answers one byte more than asked
  int* closed = nullptr;
};

int64_t ReadContext(void* context, uint64_t offset, void* buffer, size_t length) {
  auto* c = static_cast<ReaderContext*>(context);
  if (offset >= c->bytes->size()) return 0;
  if (c->fail_at >= offset && c->fail_at < offset + length) return -1;
  const size_t n = std::min<uint64_t>(length, c->bytes->size() - offset);
  std::memcpy(buffer, c->bytes->data() + offset, n);
  return c->overreport ? int64_t(n) + 1 : int64_t(n);
}

void CloseContext(void* context) {
  auto* c = static_cast<ReaderContext*>(context);
  if (c->closed != nullptr) ++*c->closed;
}

rawlift_file* OpenReader(ReaderContext* context) {
  rawlift_reader reader{sizeof reader, context, context->bytes->size(), ReadContext, CloseContext};
  rawlift_file* file = nullptr;
  EXPECT_EQ(rawlift_open_reader(&reader, &file), RAWLIFT_OK);
  return file;
}

// The default JPEG through the library: its status and bytes.
struct Got {
  int status = -1;
  Bytes jpeg;
};

Got LibraryAnswer(rawlift_file* file, int metadata = RAWLIFT_METADATA_COMPACT, uint32_t cover = 0) {
  rawlift_jpeg_options options{sizeof options, cover, metadata, cover != 0};
  uint8_t* jpeg = nullptr;
  size_t length = 0;
  Got got;
  got.status = rawlift_get_jpeg(file, &options, &jpeg, &length);
  if (got.status == RAWLIFT_OK) got.jpeg.assign(jpeg, jpeg + length);
  rawlift_free(jpeg);
  return got;
}

// The library agrees with the engine: the same bytes, or NO_PREVIEW with
// the same reason in rawlift_describe.
void ExpectAgrees(rawlift_file* file, const Bytes& bytes, const std::string& what) {
  SCOPED_TRACE(what);
  for (const int metadata : {RAWLIFT_METADATA_COMPACT, RAWLIFT_METADATA_COMPLETE}) {
    const Expected expected = EngineAnswer(bytes, engine::MetadataMode(metadata));
    const Got got = LibraryAnswer(file, metadata);
    if (expected.reason == engine::NoPreviewReason::kNone) {
      EXPECT_EQ(got.status, RAWLIFT_OK);
      EXPECT_TRUE(got.jpeg == expected.jpeg);
    } else {
      EXPECT_EQ(got.status, expected.reason == engine::NoPreviewReason::kOutOfMemory
                                ? RAWLIFT_ERROR_OUT_OF_MEMORY
                                : RAWLIFT_ERROR_NO_PREVIEW);
    }
  }
  auto description = Sized<rawlift_description>();
  ASSERT_EQ(rawlift_describe(file, &description), RAWLIFT_OK);
  engine::Identification id;
  const engine::MemorySource source(bytes.data(), bytes.size());
  engine::IdentifyImages(source, "", platform::NativePath(), &id);
  EXPECT_EQ(description.reason, int(id.reason));
  EXPECT_STREQ(description.reason_text, engine::NoPreviewReasonText(id.reason));
  EXPECT_EQ(description.raw, id.raw ? 1 : 0);
  EXPECT_EQ(description.image_count, id.images.size());
  EXPECT_EQ(description.extraction_choice, id.extraction_choice);
  EXPECT_EQ(description.exif_orientation, id.camera.exif_orientation);
  EXPECT_EQ(description.timestamp, id.camera.timestamp);
  for (size_t i = 0; i < id.images.size(); ++i) {
    auto image = Sized<rawlift_image>();
    ASSERT_EQ(rawlift_image_at(file, i, &image), RAWLIFT_OK);
    EXPECT_EQ(image.where, id.images[i].where);
    EXPECT_EQ(image.offset, id.images[i].offset);
    EXPECT_EQ(image.length, id.images[i].length);
    EXPECT_EQ(image.width, id.images[i].width);
    EXPECT_EQ(image.complete, id.images[i].complete ? 1 : 0);
  }
}

std::string ScratchFile(const std::string& name, const Bytes& bytes) {
  const std::string path = testing::TempDir() + "rawlift_library_" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  EXPECT_NE(f, nullptr);
  if (f != nullptr) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  return path;
}

TEST(LibraryTest, VersionAndTexts) {
  const char* text = nullptr;
  EXPECT_EQ(rawlift_version(&text),
            RAWLIFT_VERSION_MAJOR * 10000 + RAWLIFT_VERSION_MINOR * 100 + RAWLIFT_VERSION_PATCH);
  EXPECT_EQ(std::string(text), std::to_string(RAWLIFT_VERSION_MAJOR) + "." +
                                   std::to_string(RAWLIFT_VERSION_MINOR) + "." +
                                   std::to_string(RAWLIFT_VERSION_PATCH));
  // Every status has its own words; unknown codes get a text, never NULL.
  std::vector<std::string> seen;
  for (int status = RAWLIFT_OK; status <= RAWLIFT_ERROR_INTERNAL; ++status) {
    const std::string words = rawlift_error_text(status);
    EXPECT_NE(words, "unknown status") << status;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), words), 0) << words;
    seen.push_back(words);
  }
  EXPECT_STREQ(rawlift_error_text(-1), "unknown status");
  EXPECT_STREQ(rawlift_error_text(1000), "unknown status");
  EXPECT_STREQ(rawlift_reason_text(RAWLIFT_REASON_NONE), "");
  EXPECT_STREQ(rawlift_reason_text(RAWLIFT_REASON_PLAIN_JPEG),
               engine::NoPreviewReasonText(engine::NoPreviewReason::kPlainJpeg));
  EXPECT_STREQ(rawlift_reason_text(99), "unknown reason");
}

// Every demo file (one per container family, with the ones that give no
// preview) through each input agrees with the engine.
TEST(LibraryTest, EveryInputAgreesWithTheEngine) {
  for (const fixtures::DemoFile& demo : fixtures::MakeDemoFiles()) {
    const std::string path = ScratchFile(demo.name, demo.bytes);
    rawlift_file* by_path = nullptr;
    ASSERT_EQ(rawlift_open_path(path.c_str(), &by_path), RAWLIFT_OK) << demo.name;
    ExpectAgrees(by_path, demo.bytes, demo.name + " by path");
    rawlift_close(by_path);
    std::remove(path.c_str());

    rawlift_file* in_memory = nullptr;
    ASSERT_EQ(rawlift_open_memory(demo.bytes.data(), demo.bytes.size(), &in_memory), RAWLIFT_OK);
    ExpectAgrees(in_memory, demo.bytes, demo.name + " in memory");
    EXPECT_EQ(LibraryAnswer(in_memory).status == RAWLIFT_OK, demo.extractable) << demo.name;
    rawlift_close(in_memory);

    int closed = 0;
    ReaderContext context{&demo.bytes, UINT64_MAX, false, &closed};
    rawlift_file* by_reader = OpenReader(&context);
    ExpectAgrees(by_reader, demo.bytes, demo.name + " by reader");
    rawlift_close(by_reader);
    EXPECT_EQ(closed, 1) << "the reader's close runs once, at rawlift_close";
  }
}

TEST(LibraryTest, CallerBufferAndCover) {
  fixtures::JpegOptions large;
  large.width = 640;
  large.height = 480;
  const Bytes nef = fixtures::MakeNefLike({"NIKON CORPORATION", "NIKON D850"}, MakeJpeg(large));
  rawlift_file* file = nullptr;
  ASSERT_EQ(rawlift_open_memory(nef.data(), nef.size(), &file), RAWLIFT_OK);
  const Got whole = LibraryAnswer(file);
  ASSERT_EQ(whole.status, RAWLIFT_OK);

  // A NULL buffer of 0 bytes asks for the size; one byte short copies nothing.
  size_t length = 0;
  EXPECT_EQ(rawlift_copy_jpeg(file, nullptr, nullptr, 0, &length), RAWLIFT_ERROR_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, whole.jpeg.size());
  Bytes buffer(whole.jpeg.size(), 0xAA);
  EXPECT_EQ(rawlift_copy_jpeg(file, nullptr, buffer.data(), buffer.size() - 1, &length),
            RAWLIFT_ERROR_BUFFER_TOO_SMALL);
  EXPECT_EQ(buffer[0], 0xAA) << "nothing is copied into a buffer that is too small";
  EXPECT_EQ(rawlift_copy_jpeg(file, nullptr, buffer.data(), buffer.size(), &length), RAWLIFT_OK);
  EXPECT_TRUE(buffer == whole.jpeg);

  // A covering JPEG is the engine's choice for that use.
  for (const uint32_t cover : {1u, 160u, 640u, 100000u}) {
    const Expected expected = EngineAnswer(nef, engine::MetadataMode::kCompact, int32_t(cover));
    const Got got = LibraryAnswer(file, RAWLIFT_METADATA_COMPACT, cover);
    EXPECT_EQ(got.status, RAWLIFT_OK) << cover;
    EXPECT_TRUE(got.jpeg == expected.jpeg) << cover;
  }
  // Options from an older caller: only the struct's first field known.
  rawlift_jpeg_options old{};
  old.struct_size = sizeof(size_t);
  uint8_t* jpeg = nullptr;
  EXPECT_EQ(rawlift_get_jpeg(file, &old, &jpeg, &length), RAWLIFT_OK);
  EXPECT_EQ(length, whole.jpeg.size());
  rawlift_free(jpeg);
  rawlift_close(file);
}

TEST(LibraryTest, InvalidArguments) {
  const Bytes nef =
      fixtures::MakeNefLike({"NIKON CORPORATION", "NIKON D850"}, fixtures::MakeJpeg());
  rawlift_file* file = nullptr;
  ASSERT_EQ(rawlift_open_memory(nef.data(), nef.size(), &file), RAWLIFT_OK);
  uint8_t* block = nullptr;
  size_t length = 0;
  uint32_t w = 0, h = 0;
  auto description = Sized<rawlift_description>();
  rawlift_description no_size{};
  auto image = Sized<rawlift_image>();
  rawlift_jpeg_options bad_metadata{sizeof bad_metadata, 0, 7, 0};
  rawlift_jpeg_options no_options_size{};
  rawlift_reader no_read{sizeof(rawlift_reader), nullptr, 10, nullptr, nullptr};
  rawlift_reader too_small{sizeof(size_t), nullptr, 10, ReadContext, nullptr};
  rawlift_file* out = nullptr;
  Bytes buffer(8);
  size_t count = 0;
  const struct {
    const char* call;
    int status;
  } cases[] = {
      {"open_path NULL path", rawlift_open_path(nullptr, &out)},
      {"open_path NULL handle", rawlift_open_path("x", nullptr)},
      {"open_memory NULL data with a size", rawlift_open_memory(nullptr, 4, &out)},
      {"open_reader NULL", rawlift_open_reader(nullptr, &out)},
      {"open_reader without read", rawlift_open_reader(&no_read, &out)},
      {"open_reader size too small", rawlift_open_reader(&too_small, &out)},
      {"describe NULL handle", rawlift_describe(nullptr, &description)},
      {"describe struct_size 0", rawlift_describe(file, &no_size)},
      {"image_count NULL", rawlift_image_count(file, nullptr)},
      {"image_at past the list", rawlift_image_at(file, 1000, &image)},
      {"get_jpeg NULL out", rawlift_get_jpeg(file, nullptr, nullptr, &length)},
      {"get_jpeg metadata 7", rawlift_get_jpeg(file, &bad_metadata, &block, &length)},
      {"get_jpeg options struct_size 0", rawlift_get_jpeg(file, &no_options_size, &block, &length)},
      {"copy_jpeg NULL buffer with capacity",
       rawlift_copy_jpeg(file, nullptr, nullptr, 8, &length)},
      {"copy_jpeg NULL length", rawlift_copy_jpeg(file, nullptr, buffer.data(), 8, nullptr)},
      {"thumbnail size 0", rawlift_thumbnail(file, 0, &block, &w, &h)},
      {"thumbnail size 4097",
       rawlift_thumbnail(file, RAWLIFT_MAX_THUMBNAIL_SIZE + 1, &block, &w, &h)},
      {"thumbnail NULL width", rawlift_thumbnail(file, 64, &block, nullptr, &h)},
  };
  for (const auto& c : cases) EXPECT_EQ(c.status, RAWLIFT_ERROR_INVALID_ARGUMENT) << c.call;
  EXPECT_EQ(out, nullptr) << "a failed open hands out no handle";
  EXPECT_EQ(block, nullptr) << "a failed call hands out no block";
  EXPECT_EQ(rawlift_image_count(file, &count), RAWLIFT_OK);
  rawlift_close(file);
  rawlift_close(nullptr);
  rawlift_free(nullptr);

  // An empty file opens and says why it has nothing.
  ASSERT_EQ(rawlift_open_memory(nullptr, 0, &file), RAWLIFT_OK);
  EXPECT_EQ(LibraryAnswer(file).status, RAWLIFT_ERROR_NO_PREVIEW);
  rawlift_close(file);
}

// A caller built against an older, shorter struct: only the fields its
// size holds are written, nothing past them (its memory ends there).
TEST(LibraryTest, ShorterStructsAreFilledOnlyAsFarAsTheyReach) {
  fixtures::JpegOptions jpeg;
  jpeg.width = 640;
  jpeg.height = 480;
  const Bytes nef = fixtures::MakeNefLike({"NIKON CORPORATION", "NIKON D850"}, MakeJpeg(jpeg));
  rawlift_file* file = nullptr;
  ASSERT_EQ(rawlift_open_memory(nef.data(), nef.size(), &file), RAWLIFT_OK);
  rawlift_description description{};
  std::memset(&description, 0xAB, sizeof description);
  description.struct_size = offsetof(rawlift_description, timestamp);
  ASSERT_EQ(rawlift_describe(file, &description), RAWLIFT_OK);
  EXPECT_STREQ(description.make, "NIKON");
  const auto* bytes = reinterpret_cast<const uint8_t*>(&description);
  for (size_t i = offsetof(rawlift_description, timestamp); i < sizeof description; ++i) {
    ASSERT_EQ(bytes[i], 0xAB) << "byte " << i << " past the caller's struct was written";
  }
  rawlift_image image{};
  std::memset(&image, 0xCD, sizeof image);
  image.struct_size = offsetof(rawlift_image, kind);
  ASSERT_EQ(rawlift_image_at(file, 0, &image), RAWLIFT_OK);
  EXPECT_NE(image.where, nullptr);
  EXPECT_EQ(image.kind, int(0xCDCDCDCD));
  rawlift_close(file);
}

// Guards: a folder, a missing name or a FIFO (which would block a reader
// forever) opened by path.
TEST(LibraryTest, PathsThatAreNoFile) {
  rawlift_file* file = nullptr;
  const std::string folder = testing::TempDir();
  std::vector<std::string> paths = {folder, folder + "rawlift-no-such-file.nef"};
#ifndef _WIN32
  const std::string fifo = folder + "rawlift_library_fifo";
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  paths.push_back(fifo);
#endif
  for (const std::string& path : paths) {
    EXPECT_EQ(rawlift_open_path(path.c_str(), &file), RAWLIFT_ERROR_CANNOT_OPEN) << path;
    EXPECT_EQ(file, nullptr);
  }
#ifndef _WIN32
  std::remove(fifo.c_str());
#endif
}

// A name outside ASCII: UTF-8 everywhere, and UTF-16 on Windows.
TEST(LibraryTest, NamesOutsideAscii) {
  fixtures::JpegOptions jpeg;
  jpeg.width = 640;
  jpeg.height = 480;
  const Bytes nef = fixtures::MakeNefLike({"NIKON CORPORATION", "NIKON D850"}, MakeJpeg(jpeg));
  const std::string utf8 = testing::TempDir() + "rawlift_library_caf\xC3\xA9_\xE5\x86\x99.nef";
#ifdef _WIN32
  std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], int(wide.size()));
  FILE* f = _wfopen(wide.c_str(), L"wb");
#else
  FILE* f = std::fopen(utf8.c_str(), "wb");
#endif
  ASSERT_NE(f, nullptr);
  std::fwrite(nef.data(), 1, nef.size(), f);
  std::fclose(f);
  rawlift_file* file = nullptr;
  ASSERT_EQ(rawlift_open_path(utf8.c_str(), &file), RAWLIFT_OK);
  EXPECT_EQ(LibraryAnswer(file).status, RAWLIFT_OK);
  rawlift_close(file);
#ifdef _WIN32
  ASSERT_EQ(rawlift_open_path_w(wide.c_str(), &file), RAWLIFT_OK);
  EXPECT_EQ(LibraryAnswer(file).status, RAWLIFT_OK);
  rawlift_close(file);
  _wremove(wide.c_str());
#else
  std::remove(utf8.c_str());
#endif
}

// Guards: a reader that fails (anywhere in the file) or answers more bytes
// than asked must end the call with RAWLIFT_ERROR_READ, never with a result
// read from a buffer the reader did not fill, and the handle stays usable.
TEST(LibraryTest, ReaderFaults) {
  fixtures::JpegOptions jpeg;
  jpeg.width = 320;
  jpeg.height = 240;
  const Bytes nef = fixtures::MakeNefLike({"NIKON CORPORATION", "NIKON D850"}, MakeJpeg(jpeg));
  const Expected expected = EngineAnswer(nef, engine::MetadataMode::kCompact);
  ASSERT_EQ(expected.reason, engine::NoPreviewReason::kNone);
  for (uint64_t fail_at = 0; fail_at < nef.size(); fail_at += nef.size() / 97 + 1) {
    ReaderContext context{&nef, fail_at, false, nullptr};
    rawlift_file* file = OpenReader(&context);
    const Got got = LibraryAnswer(file);
    EXPECT_TRUE(got.status == RAWLIFT_ERROR_READ ||
                (got.status == RAWLIFT_OK && got.jpeg == expected.jpeg))
        << "failing at " << fail_at << ": " << rawlift_error_text(got.status);
    auto description = Sized<rawlift_description>();
    const int described = rawlift_describe(file, &description);
    EXPECT_TRUE(described == RAWLIFT_OK || described == RAWLIFT_ERROR_READ) << fail_at;
    // The fault passes: the same handle answers in full.
    context.fail_at = UINT64_MAX;
    const Got again = LibraryAnswer(file);
    EXPECT_EQ(again.status, RAWLIFT_OK) << fail_at;
    EXPECT_TRUE(again.jpeg == expected.jpeg) << fail_at;
    EXPECT_EQ(rawlift_describe(file, &description), RAWLIFT_OK);
    rawlift_close(file);
  }
  ReaderContext liar{&nef, UINT64_MAX, true, nullptr};
  rawlift_file* file = OpenReader(&liar);
  EXPECT_EQ(LibraryAnswer(file).status, RAWLIFT_ERROR_READ);
  rawlift_close(file);
}

// Guards: every cut of every demo file (a file cut short in a download or a
// copy) through memory and the reader: the library agrees with the engine,
// never reads past the bytes it was given, and ends.
TEST(LibraryTest, HostileCutsThroughMemoryAndReader) {
  for (const fixtures::DemoFile& demo : fixtures::MakeDemoFiles()) {
    std::vector<size_t> cuts;
    for (size_t cut = 0; cut < demo.bytes.size() && cut < 600; cut += 7) cuts.push_back(cut);
    for (size_t cut = 600; cut < demo.bytes.size(); cut += cut / 4) cuts.push_back(cut);
    if (demo.preview.length != 0) {
      cuts.push_back(demo.preview.offset + demo.preview.length - 1);
      cuts.push_back(demo.preview.offset + 1);
    }
    for (const size_t cut : cuts) {
      if (cut > demo.bytes.size()) continue;
      // A block of exactly the cut's size: AddressSanitizer sees any read past it.
      const Bytes part(demo.bytes.begin(), demo.bytes.begin() + cut);
      const std::string what = demo.name + " cut at " + std::to_string(cut);
      rawlift_file* file = nullptr;
      ASSERT_EQ(rawlift_open_memory(part.data(), part.size(), &file), RAWLIFT_OK);
      ExpectAgrees(file, part, what + " in memory");
      rawlift_close(file);
      ReaderContext context{&part, UINT64_MAX, false, nullptr};
      file = OpenReader(&context);
      ExpectAgrees(file, part, what + " by reader");
      rawlift_close(file);
    }
  }
}

// The thumbnail is upright: a preview stored 640x480 in a file whose camera
// was held on its side (Orientation 6, 8) comes out taller than wide; as
// stored (1, 3) wider; and it never exceeds the size asked for nor the
// preview's own size.
TEST(LibraryTest, ThumbnailIsUpright) {
  const struct {
    uint16_t orientation;
    uint32_t size;
    uint32_t width, height;
  } cases[] = {
      {1, 64, 64, 48}, {3, 64, 64, 48}, {6, 64, 48, 64},     {8, 64, 48, 64},
      {1, 32, 32, 24}, {6, 16, 12, 16}, {1, 4096, 640, 480},
  };
  for (const auto& c : cases) {
    fixtures::ShotInfo shot{"NIKON CORPORATION", "NIKON D850"};
    shot.orientation = c.orientation;
    fixtures::JpegOptions jpeg;
    jpeg.width = 640;
    jpeg.height = 480;
    const Bytes nef = fixtures::MakeNefLike(shot, fixtures::MakeJpeg(jpeg));
    rawlift_file* file = nullptr;
    ASSERT_EQ(rawlift_open_memory(nef.data(), nef.size(), &file), RAWLIFT_OK);
    uint8_t* pixels = nullptr;
    uint32_t width = 0, height = 0;
#ifdef _WIN32
    // No thumbnails in the Windows build: a status that says so.
    EXPECT_EQ(rawlift_thumbnail(file, c.size, &pixels, &width, &height),
              RAWLIFT_ERROR_NOT_IN_THIS_BUILD);
    rawlift_close(file);
    continue;
#endif
    ASSERT_EQ(rawlift_thumbnail(file, c.size, &pixels, &width, &height), RAWLIFT_OK);
    EXPECT_EQ(width, c.width) << c.orientation << " at " << c.size;
    EXPECT_EQ(height, c.height) << c.orientation << " at " << c.size;
    rawlift_free(pixels);
    rawlift_close(file);
  }
  // A preview the decoder cannot read is a status, not a crash.
  const Bytes broken = fixtures::MakeNefLike(
      {"NIKON CORPORATION", "D850"}, Bytes{0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x04, 1, 2, 0xFF, 0xD9});
  rawlift_file* file = nullptr;
  ASSERT_EQ(rawlift_open_memory(broken.data(), broken.size(), &file), RAWLIFT_OK);
  uint8_t* pixels = nullptr;
  uint32_t width = 0, height = 0;
  const int status = rawlift_thumbnail(file, 64, &pixels, &width, &height);
  EXPECT_TRUE(status == RAWLIFT_ERROR_UNDECODABLE_PREVIEW || status == RAWLIFT_ERROR_NO_PREVIEW ||
              status == RAWLIFT_ERROR_NOT_IN_THIS_BUILD)
      << rawlift_error_text(status);
  EXPECT_EQ(pixels, nullptr);
  rawlift_close(file);
}

// Camera texts are handed out as UTF-8 (the file's bytes read as Latin-1).
TEST(LibraryTest, TextsAreUtf8) {
  const Bytes nef = fixtures::MakeNefLike({"NIKON", "Caf\xE9 \xB5"}, fixtures::MakeJpeg());
  rawlift_file* file = nullptr;
  ASSERT_EQ(rawlift_open_memory(nef.data(), nef.size(), &file), RAWLIFT_OK);
  auto description = Sized<rawlift_description>();
  ASSERT_EQ(rawlift_describe(file, &description), RAWLIFT_OK);
  EXPECT_STREQ(description.make, "NIKON");
  EXPECT_STREQ(description.model, "Caf\xC3\xA9 \xC2\xB5");
  EXPECT_STREQ(description.artist, "");
  rawlift_close(file);
}

// One handle per thread: the same answers as one thread.
TEST(LibraryTest, ThreadsGiveTheSameAnswers) {
  const std::vector<fixtures::DemoFile> demos = fixtures::MakeDemoFiles();
  std::vector<Got> single;
  for (const auto& demo : demos) {
    rawlift_file* file = nullptr;
    rawlift_open_memory(demo.bytes.data(), demo.bytes.size(), &file);
    single.push_back(LibraryAnswer(file));
    rawlift_close(file);
  }
  constexpr int kThreads = 4;
  std::vector<std::vector<Got>> per_thread(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round) {
        for (const auto& demo : demos) {
          rawlift_file* file = nullptr;
          rawlift_open_memory(demo.bytes.data(), demo.bytes.size(), &file);
          if (round == 0) per_thread[t].push_back(LibraryAnswer(file));
          uint8_t* pixels = nullptr;
          uint32_t w = 0, h = 0;
          if (rawlift_thumbnail(file, 32, &pixels, &w, &h) == RAWLIFT_OK) rawlift_free(pixels);
          rawlift_close(file);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(per_thread[t].size(), single.size());
    for (size_t i = 0; i < single.size(); ++i) {
      EXPECT_EQ(per_thread[t][i].status, single[i].status) << demos[i].name;
      EXPECT_TRUE(per_thread[t][i].jpeg == single[i].jpeg) << demos[i].name;
    }
  }
}

}  // namespace
