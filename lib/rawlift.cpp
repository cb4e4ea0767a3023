// The C API of include/rawlift/rawlift.h over the engine and the thumbnail
// code of imaging/.
//
// A handle owns its byte source (a file, the caller's memory or the caller's
// reader) and, once asked, the file's identification with the UTF-8 texts
// handed out from it. Every entry point catches what the C++ below it may
// throw: nothing crosses into C but a status.
#include "rawlift/rawlift.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/extract.h"
#include "engine/images.h"
#include "engine/input.h"
#include "imaging/thumbnail.h"
#include "job/extraction_job.h"
#include "platform/fs.h"
#include "platform/memory.h"
#include "platform/path.h"

static_assert(RAWLIFT_MAX_THUMBNAIL_SIZE == imaging::kMaxThumbnailSize,
              "the header names the thumbnail code's limit");
static_assert(RAWLIFT_REASON_OUT_OF_MEMORY == int(engine::NoPreviewReason::kOutOfMemory) &&
                  RAWLIFT_REASON_PREVIEW_NOT_JPEG ==
                      int(engine::NoPreviewReason::kPreviewNotJpeg) &&
                  RAWLIFT_REASON_CONVERTED_FILE == int(engine::NoPreviewReason::kConvertedFile) &&
                  RAWLIFT_REASON_FILE_CUT_SHORT == int(engine::NoPreviewReason::kFileCutShort) &&
                  RAWLIFT_REASON_PREVIEW_TOO_LARGE ==
                      int(engine::NoPreviewReason::kPreviewTooLarge),
              "the header's reasons are the engine's codes");
static_assert(RAWLIFT_IMAGE_OTHER == int(engine::ImageKind::kOther) &&
                  RAWLIFT_IMAGE_BITMAP == int(engine::ImageKind::kBitmap),
              "the header's image kinds are the engine's");

namespace {

// The caller's reader as a byte source. A read the callback reports as
// failed (or answers with more bytes than asked) reads nothing and marks the
// call under way as failed; the handle checks the mark after each call.
class ReaderSource final : public engine::ByteSource {
 public:
  explicit ReaderSource(const rawlift_reader& reader) : reader_(reader) {}
  ~ReaderSource() override {
    if (reader_.close != nullptr) reader_.close(reader_.context);
  }
  int64_t Size() const override {
    return reader_.size > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(reader_.size);
  }
  size_t ReadAt(int64_t offset, void* buffer, size_t n) const override {
    if (failed_ || offset < 0 || uint64_t(offset) >= reader_.size) return 0;
    const uint64_t left = reader_.size - uint64_t(offset);
    if (n > left) n = size_t(left);
    size_t done = 0;
    while (done < n) {
      const int64_t got = reader_.read(reader_.context, uint64_t(offset) + done,
                                       static_cast<uint8_t*>(buffer) + done, n - done);
      if (got < 0 || uint64_t(got) > n - done) {
        failed_ = true;
        return 0;
      }
      if (got == 0) break;  // the end came early: the file is shorter than said
      done += size_t(got);
    }
    return done;
  }
  bool Failed() const { return failed_; }
  void ClearFailure() { failed_ = false; }

 private:
  rawlift_reader reader_;
  mutable bool failed_ = false;
};

std::string Latin1ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

// Mirrors of what rawlift_describe hands out; kept in the handle.
struct DescriptionTexts {
  std::string make, model, model2, artist, description;
};

rawlift_status StatusOfReason(engine::NoPreviewReason reason) {
  switch (reason) {
    case engine::NoPreviewReason::kNone:
      return RAWLIFT_OK;
    case engine::NoPreviewReason::kOutOfMemory:
      return RAWLIFT_ERROR_OUT_OF_MEMORY;
    default:
      return RAWLIFT_ERROR_NO_PREVIEW;
  }
}

}  // namespace

struct rawlift_file {
  std::unique_ptr<engine::ByteSource> source;
  ReaderSource* reader = nullptr;  // the source, when it is the caller's reader
  platform::NativePath path;       // where sidecar JPEGs are looked for; empty otherwise
  bool identified = false;
  engine::Identification identification;
  DescriptionTexts texts;

  // Runs before each call that reads.
  void BeginReading() {
    if (reader != nullptr) reader->ClearFailure();
  }
  bool ReadFailed() const { return reader != nullptr && reader->Failed(); }

  rawlift_status Identify() {
    if (identified) return RAWLIFT_OK;
    BeginReading();
    engine::Identification fresh;
    engine::IdentifyImages(*source, std::string(), path, &fresh);
    if (ReadFailed()) return RAWLIFT_ERROR_READ;
    identification = std::move(fresh);
    const engine::CameraDescription& camera = identification.camera;
    texts.make = Latin1ToUtf8(camera.make);
    texts.model = Latin1ToUtf8(camera.model);
    texts.model2 = Latin1ToUtf8(camera.model2);
    texts.artist = Latin1ToUtf8(camera.artist);
    texts.description = Latin1ToUtf8(camera.description);
    identified = true;
    return RAWLIFT_OK;
  }

  // The JPEG for `options` (NULL: the defaults), or the status saying why
  // there is none.
  rawlift_status Extract(const rawlift_jpeg_options* options, engine::ExtractedPreview* out) {
    rawlift_jpeg_options chosen{sizeof chosen, 0, RAWLIFT_METADATA_COMPACT, 0};
    if (options != nullptr) {
      if (options->struct_size < sizeof(size_t)) return RAWLIFT_ERROR_INVALID_ARGUMENT;
      std::memcpy(reinterpret_cast<char*>(&chosen) + sizeof(size_t),
                  reinterpret_cast<const char*>(options) + sizeof(size_t),
                  (options->struct_size < sizeof chosen ? options->struct_size : sizeof chosen) -
                      sizeof(size_t));
    }
    if (chosen.metadata != RAWLIFT_METADATA_COMPACT &&
        chosen.metadata != RAWLIFT_METADATA_COMPLETE) {
      return RAWLIFT_ERROR_INVALID_ARGUMENT;
    }
    if (chosen.cover > uint32_t(INT32_MAX)) chosen.cover = uint32_t(INT32_MAX);
    engine::ExtractOptions extract;
    // The text `rawlift preview` writes: the same bytes as the command.
    extract.software = job::kSoftwareText;
    extract.metadata = chosen.metadata == RAWLIFT_METADATA_COMPLETE
                           ? engine::MetadataMode::kComplete
                           : engine::MetadataMode::kCompact;
    extract.use.cover = int32_t(chosen.cover);
    extract.use.accept_converted = chosen.accept_converted != 0;
    BeginReading();
    *out = engine::ExtractEmbeddedPreviewFrom(*source, std::string(), path, extract);
    if (ReadFailed()) return RAWLIFT_ERROR_READ;
    if (!out->extracted()) {
      const rawlift_status status = StatusOfReason(out->reason);
      return status == RAWLIFT_OK ? RAWLIFT_ERROR_INTERNAL : status;
    }
    return RAWLIFT_OK;
  }
};

namespace {

// Runs `body`, turning whatever it throws into a status.
template <typename Body>
rawlift_status Guarded(Body body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return RAWLIFT_ERROR_OUT_OF_MEMORY;
  } catch (...) {
    return RAWLIFT_ERROR_INTERNAL;
  }
}

rawlift_status Adopt(std::unique_ptr<rawlift_file> handle, rawlift_file** file) {
  *file = handle.release();
  return RAWLIFT_OK;
}

rawlift_status OpenNativePath(const platform::NativePath& native, rawlift_file** file) {
  // Only plain files: a FIFO or device would block or read forever.
  if (platform::KindOfPath(platform::FromNativePath(native)) != platform::PathKind::kPlainFile) {
    return RAWLIFT_ERROR_CANNOT_OPEN;
  }
  auto handle = std::make_unique<rawlift_file>();
  auto source = std::make_unique<engine::FileSource>(native);
  if (!source->IsOpen() || source->Size() < 0) return RAWLIFT_ERROR_CANNOT_OPEN;
  handle->source = std::move(source);
  handle->path = native;
  return Adopt(std::move(handle), file);
}

// The sized struct `out` filled from `full`: only the bytes the caller's size holds.
template <typename T>
rawlift_status CopySized(const T& full, T* out) {
  const size_t size = out->struct_size < sizeof(T) ? out->struct_size : sizeof(T);
  std::memcpy(reinterpret_cast<char*>(out) + sizeof(size_t),
              reinterpret_cast<const char*>(&full) + sizeof(size_t), size - sizeof(size_t));
  return RAWLIFT_OK;
}

}  // namespace

extern "C" {

#define RAWLIFT_TEXT_OF(n) #n
#define RAWLIFT_NUMBER_TEXT(n) RAWLIFT_TEXT_OF(n)

int rawlift_version(const char** text) {
  if (text != nullptr) {
    *text = RAWLIFT_NUMBER_TEXT(RAWLIFT_VERSION_MAJOR) "." RAWLIFT_NUMBER_TEXT(
        RAWLIFT_VERSION_MINOR) "." RAWLIFT_NUMBER_TEXT(RAWLIFT_VERSION_PATCH);
  }
  return RAWLIFT_VERSION_MAJOR * 10000 + RAWLIFT_VERSION_MINOR * 100 + RAWLIFT_VERSION_PATCH;
}

int rawlift_reuse_large_allocations(void) {
  platform::ReuseLargeAllocations();
  return RAWLIFT_OK;
}

const char* rawlift_error_text(int status) {
  switch (status) {
    case RAWLIFT_OK:
      return "success";
    case RAWLIFT_ERROR_INVALID_ARGUMENT:
      return "an argument is invalid";
    case RAWLIFT_ERROR_CANNOT_OPEN:
      return "the file cannot be opened";
    case RAWLIFT_ERROR_READ:
      return "the reader reported an error";
    case RAWLIFT_ERROR_NO_PREVIEW:
      return "the file has no extractable JPEG preview";
    case RAWLIFT_ERROR_BUFFER_TOO_SMALL:
      return "the buffer is too small";
    case RAWLIFT_ERROR_UNDECODABLE_PREVIEW:
      return "the preview cannot be decoded";
    case RAWLIFT_ERROR_NOT_IN_THIS_BUILD:
      return "not available in this build";
    case RAWLIFT_ERROR_OUT_OF_MEMORY:
      return "out of memory";
    case RAWLIFT_ERROR_INTERNAL:
      return "internal error";
  }
  return "unknown status";
}

const char* rawlift_reason_text(int reason) {
  if (reason < RAWLIFT_REASON_NONE || reason > RAWLIFT_REASON_PREVIEW_TOO_LARGE) {
    return "unknown reason";
  }
  return engine::NoPreviewReasonText(static_cast<engine::NoPreviewReason>(reason));
}

rawlift_status rawlift_open_path(const char* path, rawlift_file** file) {
  if (path == nullptr || file == nullptr) return RAWLIFT_ERROR_INVALID_ARGUMENT;
  return Guarded([&] {
#ifdef _WIN32
    return OpenNativePath(platform::ToNativePath(platform::Utf8ToUtf16(path)), file);
#else
    return OpenNativePath(platform::NativePath(path), file);
#endif
  });
}

#ifdef _WIN32
rawlift_status rawlift_open_path_w(const wchar_t* path, rawlift_file** file) {
  if (path == nullptr || file == nullptr) return RAWLIFT_ERROR_INVALID_ARGUMENT;
  return Guarded([&] { return OpenNativePath(platform::NativePath(path), file); });
}
#endif

rawlift_status rawlift_open_memory(const void* data, size_t size, rawlift_file** file) {
  if (file == nullptr || (data == nullptr && size != 0)) return RAWLIFT_ERROR_INVALID_ARGUMENT;
  return Guarded([&] {
    auto handle = std::make_unique<rawlift_file>();
    handle->source =
        std::make_unique<engine::MemorySource>(static_cast<const uint8_t*>(data), size);
    return Adopt(std::move(handle), file);
  });
}

rawlift_status rawlift_open_reader(const rawlift_reader* reader, rawlift_file** file) {
  if (reader == nullptr || file == nullptr) return RAWLIFT_ERROR_INVALID_ARGUMENT;
  if (reader->struct_size < offsetof(rawlift_reader, close) || reader->read == nullptr) {
    return RAWLIFT_ERROR_INVALID_ARGUMENT;
  }
  rawlift_reader copy{};
  std::memcpy(&copy, reader, reader->struct_size < sizeof copy ? reader->struct_size : sizeof copy);
  const rawlift_status status = Guarded([&] {
    auto handle = std::make_unique<rawlift_file>();
    auto source = std::make_unique<ReaderSource>(copy);
    copy.close = nullptr;  // the source owns the context now
    handle->reader = source.get();
    handle->source = std::move(source);
    return Adopt(std::move(handle), file);
  });
  if (status != RAWLIFT_OK && copy.close != nullptr) copy.close(copy.context);
  return status;
}

void rawlift_close(rawlift_file* file) {
  // The reader's close callback is the caller's: it must not throw.
  delete file;
}

rawlift_status rawlift_describe(rawlift_file* file, rawlift_description* out) {
  if (file == nullptr || out == nullptr || out->struct_size < sizeof(size_t)) {
    return RAWLIFT_ERROR_INVALID_ARGUMENT;
  }
  return Guarded([&] {
    const rawlift_status status = file->Identify();
    if (status != RAWLIFT_OK) return status;
    const engine::Identification& id = file->identification;
    rawlift_description full{};
    full.struct_size = sizeof full;
    full.make = file->texts.make.c_str();
    full.model = file->texts.model.c_str();
    full.model2 = file->texts.model2.c_str();
    full.artist = file->texts.artist.c_str();
    full.description = file->texts.description.c_str();
    full.timestamp = id.camera.timestamp;
    full.exif_orientation = id.camera.exif_orientation;
    full.iso_speed = id.camera.iso_speed;
    full.shutter = id.camera.shutter;
    full.aperture = id.camera.aperture;
    full.focal_length = id.camera.focal_length;
    full.raw = id.raw ? 1 : 0;
    full.reason = int(id.reason);
    full.reason_text = engine::NoPreviewReasonText(id.reason);
    full.image_count = id.images.size();
    full.extraction_choice = id.extraction_choice;
    return CopySized(full, out);
  });
}

rawlift_status rawlift_image_count(rawlift_file* file, size_t* count) {
  if (file == nullptr || count == nullptr) return RAWLIFT_ERROR_INVALID_ARGUMENT;
  return Guarded([&] {
    const rawlift_status status = file->Identify();
    if (status == RAWLIFT_OK) *count = file->identification.images.size();
    return status;
  });
}

rawlift_status rawlift_image_at(rawlift_file* file, size_t index, rawlift_image* out) {
  if (file == nullptr || out == nullptr || out->struct_size < sizeof(size_t)) {
    return RAWLIFT_ERROR_INVALID_ARGUMENT;
  }
  return Guarded([&] {
    const rawlift_status status = file->Identify();
    if (status != RAWLIFT_OK) return status;
    if (index >= file->identification.images.size()) return RAWLIFT_ERROR_INVALID_ARGUMENT;
    const engine::EmbeddedImage& image = file->identification.images[index];
    rawlift_image full{};
    full.struct_size = sizeof full;
    full.where = image.where.c_str();
    full.kind = int(image.kind);
    full.kind_name = engine::ImageKindName(image.kind);
    full.offset = image.offset;
    full.length = image.length;
    full.width = image.width;
    full.height = image.height;
    full.complete = image.complete ? 1 : 0;
    full.own_exif = image.own_exif ? 1 : 0;
    return CopySized(full, out);
  });
}

rawlift_status rawlift_get_jpeg(rawlift_file* file, const rawlift_jpeg_options* options,
                                uint8_t** jpeg, size_t* length) {
  if (file == nullptr || jpeg == nullptr || length == nullptr) {
    return RAWLIFT_ERROR_INVALID_ARGUMENT;
  }
  return Guarded([&] {
    engine::ExtractedPreview preview;
    const rawlift_status status = file->Extract(options, &preview);
    if (status != RAWLIFT_OK) return status;
    // The engine's block comes from malloc: rawlift_free gives it back.
    *length = preview.length;
    *jpeg = preview.bytes.release();
    return RAWLIFT_OK;
  });
}

rawlift_status rawlift_copy_jpeg(rawlift_file* file, const rawlift_jpeg_options* options,
                                 void* buffer, size_t capacity, size_t* length) {
  if (file == nullptr || length == nullptr || (buffer == nullptr && capacity != 0)) {
    return RAWLIFT_ERROR_INVALID_ARGUMENT;
  }
  return Guarded([&] {
    engine::ExtractedPreview preview;
    const rawlift_status status = file->Extract(options, &preview);
    if (status != RAWLIFT_OK) return status;
    *length = preview.length;
    if (preview.length > capacity) return RAWLIFT_ERROR_BUFFER_TOO_SMALL;
    std::memcpy(buffer, preview.bytes.get(), preview.length);
    return RAWLIFT_OK;
  });
}

void rawlift_free(void* block) {
  std::free(block);
}

rawlift_status rawlift_thumbnail(rawlift_file* file, uint32_t size, uint8_t** pixels,
                                 uint32_t* width, uint32_t* height) {
  if (file == nullptr || pixels == nullptr || width == nullptr || height == nullptr || size < 1 ||
      size > RAWLIFT_MAX_THUMBNAIL_SIZE) {
    return RAWLIFT_ERROR_INVALID_ARGUMENT;
  }
  if (!imaging::ThumbnailsAvailable()) return RAWLIFT_ERROR_NOT_IN_THIS_BUILD;
  return Guarded([&] {
    // The JPEG that best covers the size, as whatever shows files takes it.
    rawlift_jpeg_options options{sizeof options, size, RAWLIFT_METADATA_COMPACT, 1};
    engine::ExtractedPreview preview;
    rawlift_status status = file->Extract(&options, &preview);
    if (status != RAWLIFT_OK) return status;
    // The preview's own Orientation when its Exif has one, else the camera's.
    int orientation = imaging::ExifOrientationTagOfJpeg(preview.bytes.get(), preview.length);
    if (orientation == 0) {
      status = file->Identify();
      if (status != RAWLIFT_OK) return status;
      orientation = file->identification.camera.exif_orientation;
    }
    const imaging::RgbThumbnail thumbnail =
        imaging::MakeRgbThumbnail(preview.bytes.get(), preview.length, int32_t(size), orientation);
    switch (thumbnail.failure) {
      case imaging::ThumbnailFailure::kNone:
        break;
      case imaging::ThumbnailFailure::kOutOfMemory:
        return RAWLIFT_ERROR_OUT_OF_MEMORY;
      case imaging::ThumbnailFailure::kNotInThisBuild:
        return RAWLIFT_ERROR_NOT_IN_THIS_BUILD;
      case imaging::ThumbnailFailure::kBadBound:
        return RAWLIFT_ERROR_INVALID_ARGUMENT;
      default:
        return RAWLIFT_ERROR_UNDECODABLE_PREVIEW;
    }
    const size_t bytes = thumbnail.image.pixels.size();
    auto* block = static_cast<uint8_t*>(std::malloc(bytes == 0 ? 1 : bytes));
    if (block == nullptr) return RAWLIFT_ERROR_OUT_OF_MEMORY;
    std::memcpy(block, thumbnail.image.pixels.data(), bytes);
    *pixels = block;
    *width = uint32_t(thumbnail.image.width);
    *height = uint32_t(thumbnail.image.height);
    return RAWLIFT_OK;
  });
}

}  // extern "C"
