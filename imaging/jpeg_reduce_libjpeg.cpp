// Measuring and reducing JPEGs with libjpeg-turbo (builds without GDI+).
//
// A reduction streams: the decoder, reading the preview where it lies in
// memory and scaling in the DCT domain to a size a little above the target,
// hands rows to the bicubic resampler, whose rows go straight to the encoder
// filling the output vector. YCbCr sources stay YCbCr all the way (no colour
// conversion at either end), and the reduced copy keeps its colour at full
// resolution. Besides the two compressed pictures, only a window of rows is
// ever in memory.
//
// libjpeg's fatal errors end in the trap of libjpeg_support.h.
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "imaging/imaging.h"
#include "imaging/libjpeg_support.h"
#include "imaging/resampler.h"
#include "platform/file.h"

namespace imaging {
namespace {

// Source bytes of a file are read in chunks of this size.
constexpr size_t kInputChunkBytes = size_t{64} << 10;
// The encoded copy grows in a vector that starts at this size and doubles.
constexpr size_t kOutputChunkBytes = size_t{64} << 10;
// Total APPn and COM payload kept from one source for copying into the
// reduced file. Exif, ICC and XMP together rarely pass a megabyte.
constexpr size_t kMaxMetadataBytes = size_t{16} << 20;

// ---- libjpeg plumbing: reading a file, writing a vector ----

struct FileSource {
  jpeg_source_mgr manager;
  const platform::ReadOnlyFile* file = nullptr;
  int64_t offset = 0;
  uint8_t buffer[kInputChunkBytes];
};

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

boolean FillInput(j_decompress_ptr cinfo) {
  auto* source = reinterpret_cast<FileSource*>(cinfo->src);
  size_t n = source->file->ReadAt(source->offset, source->buffer, kInputChunkBytes);
  source->offset += static_cast<int64_t>(n);
  if (n == 0) {
    // Past the end: hand the decoder an end-of-image marker, as many times as
    // it asks, so a truncated file ends the scan instead of blocking it.
    cinfo->err->msg_code = JWRN_JPEG_EOF;
    cinfo->err->emit_message(reinterpret_cast<j_common_ptr>(cinfo), -1);
    source->buffer[0] = 0xFF;
    source->buffer[1] = JPEG_EOI;
    n = 2;
  }
  source->manager.next_input_byte = source->buffer;
  source->manager.bytes_in_buffer = n;
  return TRUE;
}

void SkipInput(j_decompress_ptr cinfo, long count) {
  if (count <= 0) return;
  auto* source = reinterpret_cast<FileSource*>(cinfo->src);
  const size_t skip = static_cast<size_t>(count);
  if (skip <= source->manager.bytes_in_buffer) {
    source->manager.next_input_byte += skip;
    source->manager.bytes_in_buffer -= skip;
    return;
  }
  // Jump the file position; a skip past the end reads as end of file later.
  source->offset += static_cast<int64_t>(skip - source->manager.bytes_in_buffer);
  source->manager.bytes_in_buffer = 0;
}

void AttachFileSource(j_decompress_ptr cinfo, FileSource* source,
                      const platform::ReadOnlyFile* file) {
  source->file = file;
  source->offset = 0;
  source->manager.init_source = InitSource;
  source->manager.fill_input_buffer = FillInput;
  source->manager.skip_input_data = SkipInput;
  source->manager.resync_to_restart = jpeg_resync_to_restart;
  source->manager.term_source = TermSource;
  source->manager.next_input_byte = nullptr;
  source->manager.bytes_in_buffer = 0;
  cinfo->src = &source->manager;
}

// Attaches the source: the bytes in memory when `memory` is set, else the file.
void AttachSource(j_decompress_ptr cinfo, const uint8_t* memory, size_t length, FileSource* source,
                  const platform::ReadOnlyFile* file) {
  if (memory == nullptr) {
    AttachFileSource(cinfo, source, file);
    return;
  }
  // libjpeg's own memory source: past the end it inserts an end-of-image
  // marker, as FillInput does for a file. An empty source is an error.
  if (length > ULONG_MAX) Fail(reinterpret_cast<j_common_ptr>(cinfo), JERR_INPUT_EMPTY);
  jpeg_mem_src(cinfo, memory, static_cast<unsigned long>(length));
}

struct VectorDestination {
  jpeg_destination_mgr manager;
  std::vector<uint8_t>* bytes = nullptr;
};

// Makes the vector `size` long with its first `used` bytes kept and the rest
// handed to the encoder. Running out of memory is a libjpeg error like any
// other: no exception may cross libjpeg's frames.
void GrowOutput(j_compress_ptr cinfo, size_t used, size_t size) {
  auto* destination = reinterpret_cast<VectorDestination*>(cinfo->dest);
  bool grown = true;
  try {
    destination->bytes->resize(size);
  } catch (const std::bad_alloc&) {
    grown = false;
  }
  if (!grown) Fail(reinterpret_cast<j_common_ptr>(cinfo), JERR_OUT_OF_MEMORY);
  destination->manager.next_output_byte = destination->bytes->data() + used;
  destination->manager.free_in_buffer = size - used;
}

void InitDestination(j_compress_ptr cinfo) {
  reinterpret_cast<VectorDestination*>(cinfo->dest)->bytes->clear();
  GrowOutput(cinfo, 0, kOutputChunkBytes);
}

// Called when the whole vector is full.
boolean EmptyOutput(j_compress_ptr cinfo) {
  const size_t used = reinterpret_cast<VectorDestination*>(cinfo->dest)->bytes->size();
  GrowOutput(cinfo, used, used * 2);
  return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
  auto* destination = reinterpret_cast<VectorDestination*>(cinfo->dest);
  destination->bytes->resize(destination->bytes->size() - destination->manager.free_in_buffer);
}

void AttachVectorDestination(j_compress_ptr cinfo, VectorDestination* destination,
                             std::vector<uint8_t>* bytes) {
  destination->bytes = bytes;
  destination->manager.init_destination = InitDestination;
  destination->manager.empty_output_buffer = EmptyOutput;
  destination->manager.term_destination = TermDestination;
  destination->manager.next_output_byte = nullptr;
  destination->manager.free_in_buffer = 0;
  cinfo->dest = &destination->manager;
}

// ---- What a source must be for us to reduce it ----

struct PixelLayout {
  J_COLOR_SPACE decodeAs = JCS_UNKNOWN;  // what the decoder hands out
  int components = 0;
};

// The sample layout kept from a source colour space: grey stays one channel,
// YCbCr is filtered as YCbCr and RGB as RGB, CMYK and YCCK become CMYK
// samples (and are encoded back into the colour space they came in). Keeping
// YCbCr saves two colour conversions and the rounding of an RGB stage in
// between, which measurably costs luma fidelity at quality 94.
bool LayoutFor(J_COLOR_SPACE coded, PixelLayout* layout) {
  switch (coded) {
    case JCS_GRAYSCALE:
      *layout = {JCS_GRAYSCALE, 1};
      return true;
    case JCS_YCbCr:
      *layout = {JCS_YCbCr, 3};
      return true;
    case JCS_RGB:
      *layout = {JCS_RGB, 3};
      return true;
    case JCS_CMYK:
    case JCS_YCCK:
      *layout = {JCS_CMYK, 4};
      return true;
    default:
      return false;
  }
}

bool AcceptableSource(const jpeg_decompress_struct& d, PixelLayout* layout) {
  const uint64_t pixels = uint64_t{d.image_width} * d.image_height;
  return d.image_width > 0 && d.image_height > 0 && pixels <= kMaxSourcePixels &&
         LayoutFor(d.jpeg_color_space, layout);
}

// ---- Metadata segments: kept whole, in file order ----

struct MetadataSegment {
  int marker = 0;
  std::vector<uint8_t> body;  // without the marker and length bytes
};

struct SourceReader {
  std::vector<MetadataSegment> segments;
  size_t metadataBytes = 0;
  bool metadataOverflow = false;
};

uint8_t NextSourceByte(j_decompress_ptr cinfo) {
  jpeg_source_mgr* source = cinfo->src;
  if (source->bytes_in_buffer == 0) source->fill_input_buffer(cinfo);
  --source->bytes_in_buffer;
  return *source->next_input_byte++;
}

// Tells the decoder what the JFIF and Adobe segments say, as its own reader
// would: the colour space of a three- or four-component file depends on them.
void NoteColourMarkers(j_decompress_ptr cinfo, const MetadataSegment& segment) {
  const std::vector<uint8_t>& b = segment.body;
  if (segment.marker == JPEG_APP0 && b.size() >= 14 && std::memcmp(b.data(), "JFIF\0", 5) == 0) {
    cinfo->saw_JFIF_marker = TRUE;
    cinfo->JFIF_major_version = b[5];
    cinfo->JFIF_minor_version = b[6];
    cinfo->density_unit = b[7];
    cinfo->X_density = static_cast<UINT16>((b[8] << 8) | b[9]);
    cinfo->Y_density = static_cast<UINT16>((b[10] << 8) | b[11]);
  } else if (segment.marker == JPEG_APP0 + 14 && b.size() >= 12 &&
             std::memcmp(b.data(), "Adobe", 5) == 0) {
    cinfo->saw_Adobe_marker = TRUE;
    cinfo->Adobe_transform = b[11];
  }
}

// The multi-picture index (APP2 "MPF") is not about the picture but about
// the file: byte offsets of further images stored after this one. In the
// re-encoded file those images and offsets no longer exist, so the index is
// the one segment not carried over.
bool IsMultiPictureIndex(const MetadataSegment& segment) {
  return segment.marker == JPEG_APP0 + 2 && segment.body.size() >= 4 &&
         std::memcmp(segment.body.data(), "MPF\0", 4) == 0;
}

boolean KeepMetadataSegment(j_decompress_ptr cinfo) {
  auto* reader = static_cast<SourceReader*>(cinfo->client_data);
  const uint8_t high = NextSourceByte(cinfo);
  const uint8_t low = NextSourceByte(cinfo);
  const size_t length = (size_t{high} << 8) | low;
  if (length < 2) Fail(reinterpret_cast<j_common_ptr>(cinfo), JERR_BAD_LENGTH);
  size_t remaining = length - 2;
  std::vector<uint8_t>* body = nullptr;
  if (reader->metadataBytes + remaining <= kMaxMetadataBytes) {
    reader->metadataBytes += remaining;
    reader->segments.push_back(MetadataSegment{cinfo->unread_marker, {}});
    body = &reader->segments.back().body;
    body->resize(remaining);
  } else {
    reader->metadataOverflow = true;  // the reduction is refused later
  }
  size_t filled = 0;
  jpeg_source_mgr* source = cinfo->src;
  while (remaining > 0) {
    if (source->bytes_in_buffer == 0) source->fill_input_buffer(cinfo);
    const size_t n = remaining < source->bytes_in_buffer ? remaining : source->bytes_in_buffer;
    if (body != nullptr) std::memcpy(body->data() + filled, source->next_input_byte, n);
    source->next_input_byte += n;
    source->bytes_in_buffer -= n;
    filled += n;
    remaining -= n;
  }
  if (body == nullptr) return TRUE;
  NoteColourMarkers(cinfo, reader->segments.back());
  if (IsMultiPictureIndex(reader->segments.back())) {
    reader->metadataBytes -= reader->segments.back().body.size();
    reader->segments.pop_back();
  }
  return TRUE;
}

// ---- Measuring ----

struct MeasureContext {
  ErrorTrap trap;
  jpeg_progress_mgr progress;
  jpeg_decompress_struct decoder;
  bool decoderCreated = false;
};

// The headers of the JPEG in memory, or in `file` through `source` when
// `memory` is null: the same read either way, so a preview measures alike
// before and after it is written.
bool RunMeasure(MeasureContext* m, const uint8_t* memory, size_t length, FileSource* source,
                const platform::ReadOnlyFile* file, ImageSize* size) {
  InstallErrorTrap(&m->trap);
  m->decoder.err = &m->trap.manager;
  if (setjmp(m->trap.jump) != 0) return false;
  jpeg_create_decompress(&m->decoder);
  m->decoderCreated = true;
  m->progress.progress_monitor = LimitScans;
  m->decoder.progress = &m->progress;
  AttachSource(&m->decoder, memory, length, source, file);
  jpeg_read_header(&m->decoder, TRUE);
  PixelLayout layout;
  if (!AcceptableSource(m->decoder, &layout)) return false;
  size->width = static_cast<int32_t>(m->decoder.image_width);
  size->height = static_cast<int32_t>(m->decoder.image_height);
  return true;
}

// A file's measure, with its 64 KiB input buffer: on the heap, not on a
// worker thread's stack.
struct FileMeasure {
  platform::ReadOnlyFile file;
  FileSource source;
  MeasureContext context;
};

// ---- Reducing ----

struct ReduceContext {
  ErrorTrap trap;
  jpeg_progress_mgr progress;
  SourceReader reader;
  jpeg_decompress_struct decoder;
  bool decoderCreated = false;
  jpeg_compress_struct encoder;
  bool encoderCreated = false;
  RowResampler resampler;
  std::vector<uint8_t> outputRow;
  VectorDestination destination;
};

// The DCT-domain scale n/8 to decode at. Scaling there is most of the speed
// (the inverse transform makes fewer pixels), but it works block by block and
// its small transforms alias, so the bicubic pass is left a reduction of at
// least kMinBicubicReduction to average that away: the smallest scale whose
// output is that much larger than the target, else the smallest that still
// covers the target, else full size (an enlargement). Measured (SSIM of the
// luma against a Lanczos reduction of the full decode) on camera pictures and
// bench_reduce's test chart: a margin of 3 or 4 is no better on the former
// and worse on the chart's fine gratings; decoding at full size gains on the
// chart alone, for two to three times the time.
constexpr unsigned kMinBicubicReduction = 2;

void ChooseDecodeScale(jpeg_decompress_struct* d, int32_t targetWidth, int32_t targetHeight) {
  const auto covers = [&](unsigned factor) {
    return uint64_t{d->output_width} >= uint64_t{factor} * static_cast<uint32_t>(targetWidth) &&
           uint64_t{d->output_height} >= uint64_t{factor} * static_cast<uint32_t>(targetHeight);
  };
  d->scale_denom = 8;
  for (unsigned factor : {kMinBicubicReduction, 1u}) {
    for (unsigned n = 1; n <= 8; ++n) {
      d->scale_num = n;
      jpeg_calc_output_dimensions(d);
      if (covers(factor)) return;
    }
  }
}

bool RunReduce(ReduceContext* r, const uint8_t* jpeg, size_t length, int32_t targetWidth,
               int32_t targetHeight, std::vector<uint8_t>* reduced) {
  InstallErrorTrap(&r->trap);
  r->decoder.err = &r->trap.manager;
  r->encoder.err = &r->trap.manager;
  if (setjmp(r->trap.jump) != 0) return false;

  jpeg_create_decompress(&r->decoder);
  r->decoderCreated = true;
  r->decoder.client_data = &r->reader;
  r->decoder.mem->max_memory_to_use = kMaxDecoderMemoryBytes;
  r->progress.progress_monitor = LimitScans;
  r->decoder.progress = &r->progress;
  AttachSource(&r->decoder, jpeg, length, nullptr, nullptr);
  jpeg_set_marker_processor(&r->decoder, JPEG_COM, KeepMetadataSegment);
  for (int app = 0; app < 16; ++app) {
    jpeg_set_marker_processor(&r->decoder, JPEG_APP0 + app, KeepMetadataSegment);
  }
  jpeg_read_header(&r->decoder, TRUE);
  PixelLayout layout;
  if (!AcceptableSource(r->decoder, &layout) || r->reader.metadataOverflow) return false;
  const J_COLOR_SPACE codedAs = r->decoder.jpeg_color_space;
  r->decoder.out_color_space = layout.decodeAs;
  ChooseDecodeScale(&r->decoder, targetWidth, targetHeight);
  jpeg_start_decompress(&r->decoder);
  if (r->decoder.output_components != layout.components) return false;
  if (!r->resampler.Init(static_cast<int32_t>(r->decoder.output_width),
                         static_cast<int32_t>(r->decoder.output_height), targetWidth, targetHeight,
                         layout.components)) {
    return false;
  }

  jpeg_create_compress(&r->encoder);
  r->encoderCreated = true;
  AttachVectorDestination(&r->encoder, &r->destination, reduced);
  r->encoder.image_width = static_cast<JDIMENSION>(targetWidth);
  r->encoder.image_height = static_cast<JDIMENSION>(targetHeight);
  r->encoder.input_components = layout.components;
  r->encoder.in_color_space = layout.decodeAs;
  jpeg_set_defaults(&r->encoder);
  // Code the samples as the source did (RGB stays RGB, YCCK stays YCCK).
  if (codedAs == JCS_RGB || codedAs == JCS_CMYK || codedAs == JCS_YCCK) {
    jpeg_set_colorspace(&r->encoder, codedAs);
  }
  jpeg_set_quality(&r->encoder, kReducedJpegQuality, TRUE);
  // Every component at full resolution. Halving the colour planes is the
  // largest loss left at quality 94 on a picture this small: it blurs
  // coloured edges and, through rounding and clamping on the way back to RGB,
  // even the brightness of saturated ones. The file grows by about half.
  for (int i = 0; i < r->encoder.num_components; ++i) {
    r->encoder.comp_info[i].h_samp_factor = 1;
    r->encoder.comp_info[i].v_samp_factor = 1;
  }
  // The source's own JFIF and Adobe segments are copied below with the rest
  // of its metadata; the encoder must not add a second one of either.
  r->encoder.write_JFIF_header = FALSE;
  r->encoder.write_Adobe_marker = FALSE;
  jpeg_start_compress(&r->encoder, TRUE);
  for (const MetadataSegment& segment : r->reader.segments) {
    jpeg_write_marker(&r->encoder, segment.marker, segment.body.data(),
                      static_cast<unsigned>(segment.body.size()));
  }

  r->outputRow.assign(static_cast<size_t>(targetWidth) * layout.components, 0);
  JSAMPROW outputRow = r->outputRow.data();
  for (int32_t y = 0; y < targetHeight; ++y) {
    while (r->resampler.NeedsSourceRow()) {
      JSAMPROW sourceRow = r->resampler.SourceRow();
      if (jpeg_read_scanlines(&r->decoder, &sourceRow, 1) != 1) return false;
      r->resampler.CommitSourceRow();
    }
    r->resampler.ProduceRow(outputRow);
    jpeg_write_scanlines(&r->encoder, &outputRow, 1);
  }
  jpeg_finish_compress(&r->encoder);
  // Source rows below the last one the filter needed are never decoded.
  jpeg_abort_decompress(&r->decoder);
  return true;
}

}  // namespace

ImageSize MeasureJpeg(const uint8_t* jpeg, size_t length) {
  if (jpeg == nullptr || length == 0) return ImageSize{};
  MeasureContext m;
  ImageSize size;
  const bool measured = RunMeasure(&m, jpeg, length, nullptr, nullptr, &size);
  if (m.decoderCreated) jpeg_destroy_decompress(&m.decoder);
  return measured ? size : ImageSize{};
}

ImageSize MeasureJpegFile(const std::u16string& path) {
  auto f = std::make_unique<FileMeasure>();
  if (!f->file.Open(path)) return ImageSize{};
  ImageSize size;
  const bool measured = RunMeasure(&f->context, nullptr, 0, &f->source, &f->file, &size);
  if (f->context.decoderCreated) jpeg_destroy_decompress(&f->context.decoder);
  return measured ? size : ImageSize{};
}

bool ReduceJpeg(const uint8_t* jpeg, size_t length, int32_t targetWidth, int32_t targetHeight,
                std::vector<uint8_t>* reduced) {
  reduced->clear();
  if (jpeg == nullptr || length == 0 || targetWidth < 1 || targetHeight < 1 ||
      targetWidth > kMaxResampleDimension || targetHeight > kMaxResampleDimension ||
      uint64_t{static_cast<uint32_t>(targetWidth)} * static_cast<uint32_t>(targetHeight) >
          kMaxSourcePixels) {
    return false;
  }
  auto r = std::make_unique<ReduceContext>();
  const bool done = RunReduce(r.get(), jpeg, length, targetWidth, targetHeight, reduced);
  if (r->encoderCreated) jpeg_destroy_compress(&r->encoder);
  if (r->decoderCreated) jpeg_destroy_decompress(&r->decoder);
  if (!done) reduced->clear();
  return done;
}

}  // namespace imaging
