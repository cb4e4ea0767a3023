// A separable bicubic resampler (the cubic convolution kernel with a = -0.75)
// that works one row at a time, so a decoder can feed it and an encoder drain
// it without either image ever being held whole. When shrinking, the kernel
// is widened by the reduction factor so every output pixel averages all the
// source pixels it covers instead of aliasing; when enlarging it is the plain
// interpolating cubic.
//
// Use: Init once; then, for each output row in order, while NeedsSourceRow()
// fill SourceRow() with the next source row and call CommitSourceRow(); then
// call ProduceRow(). Source rows past those any output row needs are never
// asked for. Samples are 8-bit, channels interleaved (1 to 4 channels); all
// channels are filtered alike, in the samples' own space (gamma-encoded RGB,
// or YCbCr: the filter is linear, so filtering Y, Cb and Cr is filtering R,
// G and B up to rounding). Results are rounded to the nearest level and
// clamped to 0..255, as the kernel's negative lobes overshoot at hard edges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace imaging {

// Largest width or height accepted on either side (the JPEG format's own limit).
constexpr int32_t kMaxResampleDimension = 65500;
// Working memory (filter tables and the window of filtered rows) above which
// Init refuses. Proportional resizes need a few hundred KiB; only targets of
// wildly different proportions from the source come near this.
constexpr size_t kMaxResampleWorkBytes = size_t{256} << 20;

class RowResampler {
 public:
  // False, leaving the object unusable, when a size is outside
  // 1..kMaxResampleDimension, channels is outside 1..4, or the work memory
  // would exceed kMaxResampleWorkBytes.
  bool Init(int32_t sourceWidth, int32_t sourceHeight, int32_t targetWidth, int32_t targetHeight,
            int channels);

  // Whether the next output row still needs another source row.
  bool NeedsSourceRow() const;
  // Where the caller puts the next source row: sourceWidth * channels bytes.
  uint8_t* SourceRow();
  // Takes the row just written into SourceRow().
  void CommitSourceRow();
  // Writes the next output row (targetWidth * channels bytes). Only valid when
  // NeedsSourceRow() is false and fewer than targetHeight rows were produced.
  void ProduceRow(uint8_t* output);

  int32_t RowsProduced() const { return rowsProduced_; }

 private:
  // For one output position: the first source index and the weights of the
  // consecutive source samples from there (normalised to sum to 1).
  struct Contributions {
    std::vector<int32_t> first;
    std::vector<int32_t> count;
    std::vector<float> weights;  // `stride` floats per output position
    int32_t stride = 0;
  };
  static bool BuildContributions(int32_t sourceLength, int32_t targetLength, size_t byteBudget,
                                 Contributions* out);

  int32_t sourceWidth_ = 0, sourceHeight_ = 0, targetWidth_ = 0, targetHeight_ = 0;
  int channels_ = 0;
  Contributions horizontal_, vertical_;
  // The source rows the current output row can reach, source row r in slot
  // r % windowRows_. Filtering runs vertically first, over whole contiguous
  // rows (where the compiler vectorises), then horizontally on one row per
  // output row, so the costlier pass runs targetHeight times, not
  // sourceHeight times.
  std::vector<uint8_t> window_;
  int32_t windowRows_ = 0;
  int32_t rowsCommitted_ = 0;
  int32_t rowsProduced_ = 0;
  std::vector<float> column_;  // one vertically filtered row, source width
};

}  // namespace imaging
