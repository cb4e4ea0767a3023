// Thumbnails with libjpeg-turbo and libpng (builds without GDI+).
//
// The decoder reads the preview where it lies in memory and scales in the
// DCT domain: an inverse transform of n/8 of the block size gives n/8 of the
// pixels for a fraction of the work, and at 1/8 only the DC coefficient is
// used. The smallest n whose picture still covers the target is taken, so
// the bicubic resampler is left less than a halving (its widened kernel
// averages what it covers) and the decoder's own work is as small as it can
// be; entropy decoding of the whole stream is then most of the cost. Rows
// stream from the decoder through the resampler, straight into the PNG
// encoder when the picture is shown as stored, or else into a picture that
// is turned upright and then encoded. libjpeg's and libpng's fatal errors
// become a failure (their traps longjmp back to the setjmp of the step that
// called them; see libjpeg_support.h), their warnings are dropped unprinted.
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "imaging/libjpeg_support.h"
#include "imaging/resampler.h"
#include "imaging/thumbnail.h"

namespace imaging {
namespace {

// zlib level of the PNG. Thumbnails are written once into a cache; measured
// by bench/bench_thumbnail over a 24 MP preview, level 3 makes files about a
// sixth larger than zlib's default (6) and saves 8 ms of 44 at 256 px and
// half the time at 1024 px; level 1 saves little more and grows them by a
// third.
constexpr int kPngCompressionLevel = 3;
// zlib's strategy: run lengths only (Z_RLE), after PNG's row filters. Over
// the sample folder's previews the files are 1.5% larger in all than with
// the default strategy (some smaller, 38% larger from a 160x120 source), and
// the command at 256 px from a 1620x1080 preview takes 14.7 ms of CPU
// instead of 17.0 (1024 px: 68 instead of 95, measured by
// bench/speed_before_after.sh's corpora): zlib's string matching was the
// largest part of the work once the smallest covering JPEG is decoded.
constexpr int kPngStrategy = Z_RLE;
// Run lengths only look one byte back, so a 4 KiB window finds every match
// the default 32 KiB one would (the same deflate stream), and the hash table
// that string matching needs is never read: a memory level of 6 in place of
// 8 spares clearing it and shortens the symbol buffer, for blocks a little
// less well coded (256 px thumbnails of the sample folder 0.6% larger in
// all). Both take fresh pages off a thumbnail (322 to 261 page faults from a
// CR3's PRVW), which a short-lived process pays for one fault each. zlib
// still shifts its window and rebases the whole hash table each time the
// window fills, so the window is not made smaller than 4 KiB: at its least
// (512 bytes) that rebasing was a fifth of the instructions of a 256 px
// thumbnail from a 1616x1080 preview (71 million against 58 million at
// 4 KiB, counted by callgrind), and 4 KiB still fits in the pages the
// encoder touches anyway (the same page faults).
constexpr int kPngWindowBits = 12;
constexpr int kPngMemoryLevel = 6;
// PNG's row filter: Paeth alone. libpng's default tries all five filters on
// every row and keeps the one whose output looks most compressible, which
// took a seventh of a 256 px thumbnail's instructions (callgrind). Paeth
// alone makes the sample folder's 256 px thumbnails only 1.2% larger in all
// (Up alone: 15%, Average alone: 14%).
constexpr int kPngFilters = PNG_FILTER_PAETH;
// The PNG grows in a vector that starts at this size and doubles.
constexpr size_t kPngInitialBytes = size_t{64} << 10;

// ---- Decoding to the bounded size ----

// The error trap, and what the decoder's warnings said about the data.
struct DecodeTrap {
  ErrorTrap trap;           // first: libjpeg sees its jpeg_error_mgr
  bool ranPastEnd = false;  // the memory source was asked for bytes after the last
  bool hitMarker = false;   // the entropy decoder needed data where a marker (or the end) was
};

void NoteWarning(j_common_ptr cinfo, int level) {
  if (level >= 0) return;  // trace messages
  auto* trap = reinterpret_cast<DecodeTrap*>(cinfo->err);
  if (cinfo->err->msg_code == JWRN_JPEG_EOF) trap->ranPastEnd = true;
  if (cinfo->err->msg_code == JWRN_HIT_MARKER) trap->hitMarker = true;
  ++cinfo->err->num_warnings;
}

// The decoder, started on a JPEG and then drained one row of the bounded
// picture at a time, so the rows can go straight into the PNG encoder when
// nothing needs the whole picture. Each step sets its own trap: a fatal error
// inside libjpeg jumps back to the step that called it, never further.
class BoundedDecoder {
 public:
  BoundedDecoder() = default;
  BoundedDecoder(const BoundedDecoder&) = delete;
  BoundedDecoder& operator=(const BoundedDecoder&) = delete;
  ~BoundedDecoder() {
    if (created_) jpeg_destroy_decompress(&decoder_);
  }

  // Reads the headers and starts decoding at the scale that covers the
  // bounded size: kNone, or why not.
  ThumbnailFailure Start(const uint8_t* jpeg, size_t length, int32_t bound) {
    try {
      if (!RunStart(jpeg, length, bound)) return failure_;
    } catch (const std::bad_alloc&) {
      return ThumbnailFailure::kOutOfMemory;  // the resampler's tables, outside libjpeg's frames
    }
    return ThumbnailFailure::kNone;
  }
  // The bounded size (after a successful Start).
  ImageSize size() const { return target_; }
  // The next row of the bounded picture, size().width * 3 bytes into `out`.
  ThumbnailFailure ReadRow(uint8_t* out) {
    return RunReadRow(out) ? ThumbnailFailure::kNone : failure_;
  }
  // After the last row: whether the rows were all in the data.
  ThumbnailFailure Finish() const {
    // Decoding for the last rows needed data the stream did not have: the
    // decoder filled them in grey, which would show as a damaged
    // photograph. (Running past the end without needing data is only a
    // missing end marker.) Source rows below the last one the filter needed
    // are never decoded.
    if (trap_.ranPastEnd && trap_.hitMarker) return ThumbnailFailure::kTruncated;
    return ThumbnailFailure::kNone;
  }

 private:
  bool RunStart(const uint8_t* jpeg, size_t length, int32_t bound);
  bool RunReadRow(uint8_t* out);

  DecodeTrap trap_;
  jpeg_progress_mgr progress_{};
  jpeg_decompress_struct decoder_{};
  bool created_ = false;
  bool resample_ = false;
  RowResampler resampler_;
  ImageSize target_;
  ThumbnailFailure failure_ = ThumbnailFailure::kCorrupt;  // what a jump out of libjpeg means
};

// The DCT-domain scale: the smallest n/8 whose output still covers the target.
void ChooseDecodeScale(jpeg_decompress_struct* d, ImageSize target) {
  d->scale_denom = 8;
  for (unsigned n = 1; n <= 8; ++n) {
    d->scale_num = n;
    jpeg_calc_output_dimensions(d);
    if (d->output_width >= static_cast<JDIMENSION>(target.width) &&
        d->output_height >= static_cast<JDIMENSION>(target.height)) {
      return;
    }
  }
}

// The size within bound by bound: the proportions kept, never enlarged, and
// no side below 1 (a 4000x3 strip within 128 gives 128x1).
ImageSize BoundedSize(ImageSize full, int32_t bound) {
  if (full.width <= bound && full.height <= bound) return full;
  ImageSize fitted = FitWithinBounds(full.width, full.height, bound, bound);
  if (fitted.width < 1) fitted.width = 1;
  if (fitted.height < 1) fitted.height = 1;
  return fitted;
}

bool ReserveRgb(RgbImage* image, ImageSize size) {
  try {
    image->pixels.assign(size_t(size.width) * size_t(size.height) * 3, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  image->width = size.width;
  image->height = size.height;
  return true;
}

bool BoundedDecoder::RunStart(const uint8_t* jpeg, size_t length, int32_t bound) {
  InstallErrorTrap(&trap_.trap);
  trap_.trap.manager.emit_message = NoteWarning;
  decoder_.err = &trap_.trap.manager;
  if (setjmp(trap_.trap.jump) != 0) return false;

  jpeg_create_decompress(&decoder_);
  created_ = true;
  decoder_.mem->max_memory_to_use = kMaxDecoderMemoryBytes;
  progress_.progress_monitor = LimitScans;
  decoder_.progress = &progress_;
  // libjpeg's memory source: past the end it inserts an end-of-image marker
  // (and warns, which NoteWarning records).
  failure_ = ThumbnailFailure::kNotJpeg;
  if (length > ULONG_MAX) return false;
  jpeg_mem_src(&decoder_, jpeg, static_cast<unsigned long>(length));
  jpeg_read_header(&decoder_, TRUE);
  const ImageSize full{static_cast<int32_t>(decoder_.image_width),
                       static_cast<int32_t>(decoder_.image_height)};
  const J_COLOR_SPACE coded = decoder_.jpeg_color_space;
  if (full.width < 1 || full.height < 1 ||
      uint64_t(full.width) * uint64_t(full.height) > kMaxSourcePixels ||
      (coded != JCS_GRAYSCALE && coded != JCS_YCbCr && coded != JCS_RGB)) {
    failure_ = ThumbnailFailure::kUnsupported;
    return false;
  }
  target_ = BoundedSize(full, bound);
  decoder_.out_color_space = JCS_RGB;  // grey is expanded by the decoder
  ChooseDecodeScale(&decoder_, target_);
  failure_ = ThumbnailFailure::kCorrupt;
  jpeg_start_decompress(&decoder_);
  const ImageSize decoded{static_cast<int32_t>(decoder_.output_width),
                          static_cast<int32_t>(decoder_.output_height)};
  if (decoder_.output_components != 3) return false;
  resample_ = decoded != target_;
  if (resample_ &&
      !resampler_.Init(decoded.width, decoded.height, target_.width, target_.height, 3)) {
    failure_ = ThumbnailFailure::kOutOfMemory;
    return false;
  }
  return true;
}

bool BoundedDecoder::RunReadRow(uint8_t* out) {
  if (setjmp(trap_.trap.jump) != 0) return false;
  if (!resample_) return jpeg_read_scanlines(&decoder_, &out, 1) == 1;
  while (resampler_.NeedsSourceRow()) {
    JSAMPROW sourceRow = resampler_.SourceRow();
    if (jpeg_read_scanlines(&decoder_, &sourceRow, 1) != 1) return false;
    resampler_.CommitSourceRow();
  }
  resampler_.ProduceRow(out);
  return true;
}

ThumbnailFailure DecodeBounded(const uint8_t* jpeg, size_t length, int32_t bound, RgbImage* image) {
  BoundedDecoder decoder;
  ThumbnailFailure failure = decoder.Start(jpeg, length, bound);
  if (failure != ThumbnailFailure::kNone) return failure;
  if (!ReserveRgb(image, decoder.size())) return ThumbnailFailure::kOutOfMemory;
  const size_t rowBytes = size_t(image->width) * 3;
  for (int32_t y = 0; y < image->height; ++y) {
    failure = decoder.ReadRow(image->pixels.data() + size_t(y) * rowBytes);
    if (failure != ThumbnailFailure::kNone) return failure;
  }
  return decoder.Finish();
}

// ---- PNG ----

struct PngContext {
  png_structp png = nullptr;
  png_infop info = nullptr;
  std::vector<uint8_t>* bytes = nullptr;
  bool outOfMemory = false;
};

[[noreturn]] void PngError(png_structp png, png_const_charp) {
  png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

void PngWrite(png_structp png, png_bytep data, size_t length) {
  auto* c = static_cast<PngContext*>(png_get_io_ptr(png));
  std::vector<uint8_t>& bytes = *c->bytes;
  // Room is reserved, not filled: only the pages the PNG reaches are touched.
  if (bytes.capacity() - bytes.size() < length) {
    size_t capacity = std::max(bytes.capacity(), kPngInitialBytes);
    while (capacity - bytes.size() < length) capacity *= 2;
    bool grown = true;
    try {
      bytes.reserve(capacity);
    } catch (const std::bad_alloc&) {
      grown = false;
    }
    // No exception may cross libpng's frames.
    if (!grown) {
      c->outOfMemory = true;
      png_error(png, "out of memory");
    }
  }
  bytes.insert(bytes.end(), data, data + length);
}

void PngFlush(png_structp) {}

// Where the PNG's rows come from: a picture decoded whole, or the decoder
// itself. Row(y) is asked for y = 0, 1, ... in turn; nullptr stops the
// encoding, with `failure` saying why.
class PngRows {
 public:
  virtual ~PngRows() = default;
  virtual const uint8_t* Row(int32_t y) = 0;
  ThumbnailFailure failure = ThumbnailFailure::kNone;
};

class ImageRows final : public PngRows {
 public:
  explicit ImageRows(const RgbImage& image) : image_(image) {}
  const uint8_t* Row(int32_t y) override {
    return image_.pixels.data() + size_t(y) * size_t(image_.width) * 3;
  }

 private:
  const RgbImage& image_;
};

class DecoderRows final : public PngRows {
 public:
  DecoderRows(BoundedDecoder* decoder, uint8_t* row) : decoder_(decoder), row_(row) {}
  const uint8_t* Row(int32_t) override {
    failure = decoder_->ReadRow(row_);
    return failure == ThumbnailFailure::kNone ? row_ : nullptr;
  }

 private:
  BoundedDecoder* decoder_;
  uint8_t* row_;
};

// libpng's trap is set here; a row source's own traps (the decoder's) lie in
// frames below this one and are done with before libpng is called again.
bool RunPng(PngContext* c, ImageSize size, PngRows* rows) {
  if (setjmp(png_jmpbuf(c->png)) != 0) return false;
  png_set_write_fn(c->png, c, PngWrite, PngFlush);
  png_set_IHDR(c->png, c->info, static_cast<png_uint_32>(size.width),
               static_cast<png_uint_32>(size.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(c->png, kPngCompressionLevel);
  png_set_compression_strategy(c->png, kPngStrategy);
  png_set_compression_window_bits(c->png, kPngWindowBits);
  png_set_compression_mem_level(c->png, kPngMemoryLevel);
  png_set_filter(c->png, PNG_FILTER_TYPE_BASE, kPngFilters);
  png_write_info(c->png, c->info);
  for (int32_t y = 0; y < size.height; ++y) {
    const uint8_t* row = rows->Row(y);
    if (row == nullptr) return false;
    png_write_row(c->png, row);
  }
  png_write_end(c->png, c->info);
  return true;
}

ThumbnailFailure EncodePng(ImageSize size, PngRows* rows, std::vector<uint8_t>* png) {
  PngContext c;
  png->clear();
  c.bytes = png;
  c.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
  if (c.png == nullptr) return ThumbnailFailure::kOutOfMemory;
  c.info = png_create_info_struct(c.png);
  const bool done = c.info != nullptr && RunPng(&c, size, rows);
  png_destroy_write_struct(&c.png, &c.info);
  if (done) return ThumbnailFailure::kNone;
  png->clear();
  if (rows->failure != ThumbnailFailure::kNone) return rows->failure;
  // libpng fails on nothing else here: the image's size is within its limits.
  return ThumbnailFailure::kOutOfMemory;
}

ThumbnailFailure CheckArguments(const uint8_t* jpeg, size_t length, int32_t bound) {
  if (bound < 1 || bound > kMaxThumbnailSize) return ThumbnailFailure::kBadBound;
  if (jpeg == nullptr || length == 0) return ThumbnailFailure::kNotJpeg;
  return ThumbnailFailure::kNone;
}

// A picture shown as stored goes from the decoder into the encoder row by
// row: the whole RGB picture is never held, which spares a short-lived
// process the fresh pages it would take (a 256 px thumbnail's are a sixth of
// all it touches).
ThumbnailFailure EncodeAsStored(const uint8_t* jpeg, size_t length, int32_t bound,
                                PngThumbnail* result) {
  BoundedDecoder decoder;
  ThumbnailFailure failure = decoder.Start(jpeg, length, bound);
  if (failure != ThumbnailFailure::kNone) return failure;
  std::vector<uint8_t> row(size_t(decoder.size().width) * 3);
  DecoderRows rows(&decoder, row.data());
  failure = EncodePng(decoder.size(), &rows, &result->png);
  if (failure != ThumbnailFailure::kNone) return failure;
  result->size = decoder.size();
  return decoder.Finish();
}

}  // namespace

bool ThumbnailsAvailable() {
  return true;
}

RgbThumbnail MakeRgbThumbnail(const uint8_t* jpeg, size_t length, int32_t bound, int orientation) {
  RgbThumbnail result;
  result.failure = CheckArguments(jpeg, length, bound);
  if (!result.made()) return result;
  try {
    result.failure = DecodeBounded(jpeg, length, bound, &result.image);
    if (result.made() && orientation >= 2 && orientation <= 8) {
      result.image = OrientImage(result.image, orientation);
    }
  } catch (const std::bad_alloc&) {
    result.failure = ThumbnailFailure::kOutOfMemory;
  }
  if (!result.made()) result.image = RgbImage{};
  return result;
}

PngThumbnail MakePngThumbnail(const uint8_t* jpeg, size_t length, int32_t bound, int orientation) {
  PngThumbnail result;
  result.failure = CheckArguments(jpeg, length, bound);
  if (!result.made()) return result;
  try {
    if (orientation >= 2 && orientation <= 8) {
      const RgbThumbnail shown = MakeRgbThumbnail(jpeg, length, bound, orientation);
      result.failure = shown.failure;
      if (result.made()) {
        ImageRows rows(shown.image);
        const ImageSize size{shown.image.width, shown.image.height};
        result.failure = EncodePng(size, &rows, &result.png);
        result.size = size;
      }
    } else {
      result.failure = EncodeAsStored(jpeg, length, bound, &result);
    }
  } catch (const std::bad_alloc&) {
    result.failure = ThumbnailFailure::kOutOfMemory;
  }
  if (!result.made()) {
    result.png.clear();
    result.size = ImageSize{};
  }
  return result;
}

}  // namespace imaging
