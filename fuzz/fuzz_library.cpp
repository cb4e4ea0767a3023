// The public C API over arbitrary bytes, through memory and through a
// reader: every call ends with a status, both inputs give the same answers,
// a JPEG handed out starts with SOI and is readable to its last byte, and
// every text and image entry handed out is readable.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "rawlift/rawlift.h"

namespace {

struct Bytes {
  const uint8_t* data;
  size_t size;
};

int64_t ReadBytes(void* context, uint64_t offset, void* buffer, size_t length) {
  const auto* bytes = static_cast<const Bytes*>(context);
  if (offset >= bytes->size) return 0;
  // Short reads on purpose: the library must gather the rest itself.
  size_t n = bytes->size - offset < length ? bytes->size - offset : length;
  if (n > 4096) n = 4096;
  std::memcpy(buffer, bytes->data + offset, n);
  return static_cast<int64_t>(n);
}

void Touch(const char* text) {
  if (text == nullptr) std::abort();
  volatile size_t sink = std::strlen(text);
  (void)sink;
}

// What one handle answers, reduced to what must agree between inputs.
struct Answers {
  int jpeg_status = -1;
  size_t jpeg_length = 0;
  uint32_t jpeg_sum = 0;
  int reason = -1;
  size_t images = 0;
};

Answers Exercise(rawlift_file* file, bool thumbnail) {
  Answers a;
  rawlift_description d{};
  d.struct_size = sizeof d;
  if (rawlift_describe(file, &d) == RAWLIFT_OK) {
    for (const char* text : {d.make, d.model, d.model2, d.artist, d.description, d.reason_text})
      Touch(text);
    a.reason = d.reason;
    a.images = d.image_count;
    for (size_t i = 0; i < d.image_count; ++i) {
      rawlift_image image{};
      image.struct_size = sizeof image;
      if (rawlift_image_at(file, i, &image) != RAWLIFT_OK) std::abort();
      Touch(image.where);
      Touch(image.kind_name);
    }
    rawlift_image past{};
    past.struct_size = sizeof past;
    if (rawlift_image_at(file, d.image_count, &past) != RAWLIFT_ERROR_INVALID_ARGUMENT)
      std::abort();
  }
  for (const int metadata : {RAWLIFT_METADATA_COMPACT, RAWLIFT_METADATA_COMPLETE}) {
    rawlift_jpeg_options options{};
    options.struct_size = sizeof options;
    options.metadata = metadata;
    uint8_t* jpeg = nullptr;
    size_t length = 0;
    const int status = rawlift_get_jpeg(file, &options, &jpeg, &length);
    if (status == RAWLIFT_OK) {
      if (jpeg == nullptr || length < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) std::abort();
      uint32_t sum = 0;
      for (size_t i = 0; i < length; i += 512) sum = sum * 31 + jpeg[i];
      sum = sum * 31 + jpeg[length - 1];
      if (metadata == RAWLIFT_METADATA_COMPACT) {
        a.jpeg_length = length;
        a.jpeg_sum = sum;
      }
    } else if (jpeg != nullptr || status == RAWLIFT_ERROR_READ) {
      std::abort();
    }
    if (metadata == RAWLIFT_METADATA_COMPACT) a.jpeg_status = status;
    rawlift_free(jpeg);
  }
  if (thumbnail) {
    uint8_t* pixels = nullptr;
    uint32_t width = 0, height = 0;
    const int status = rawlift_thumbnail(file, 32, &pixels, &width, &height);
    if (status == RAWLIFT_OK) {
      if (width < 1 || height < 1 || width > 32 || height > 32) std::abort();
      volatile uint8_t sink = pixels[size_t(width) * height * 3 - 1];
      (void)sink;
    }
    rawlift_free(pixels);
  }
  return a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rawlift_file* in_memory = nullptr;
  if (rawlift_open_memory(size ? data : nullptr, size, &in_memory) != RAWLIFT_OK) std::abort();
  const Answers from_memory = Exercise(in_memory, true);
  rawlift_close(in_memory);

  Bytes bytes{data, size};
  rawlift_reader reader{};
  reader.struct_size = sizeof reader;
  reader.context = &bytes;
  reader.size = size;
  reader.read = ReadBytes;
  rawlift_file* by_reader = nullptr;
  if (rawlift_open_reader(&reader, &by_reader) != RAWLIFT_OK) std::abort();
  const Answers from_reader = Exercise(by_reader, false);
  rawlift_close(by_reader);

  if (from_memory.jpeg_status != from_reader.jpeg_status ||
      from_memory.jpeg_length != from_reader.jpeg_length ||
      from_memory.jpeg_sum != from_reader.jpeg_sum || from_memory.reason != from_reader.reason ||
      from_memory.images != from_reader.images)
    std::abort();
  return 0;
}
