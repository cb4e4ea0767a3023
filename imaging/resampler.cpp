#include "imaging/resampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace imaging {
namespace {

// The cubic convolution kernel with B = 0 and C = kCubicSharpness (Keys'
// a = -C). It interpolates (1 at 0, 0 at every other integer) for any C;
// 0.75 rather than Catmull-Rom's 0.5 deepens the negative lobes a little, so
// the pass-band stays flatter up to the target's limit and reduced copies
// keep the fine detail that a Lanczos reduction of the full picture keeps
// (bench/bench_reduce measures it). Overshoot at hard edges grows by a few
// levels and is clamped like any other.
constexpr double kCubicRadius = 2.0;
constexpr double kCubicSharpness = 0.75;

double SharpCubic(double x) {
  constexpr double c = kCubicSharpness;
  x = std::fabs(x);
  if (x < 1.0) return ((2.0 - c) * x - (3.0 - c)) * x * x + 1.0;
  if (x < 2.0) return ((-c * x + 5.0 * c) * x - 8.0 * c) * x + 4.0 * c;
  return 0.0;
}

uint8_t ToSample(float value) {
  if (!(value > 0.0f)) return 0;  // also catches NaN
  if (value >= 255.0f) return 255;
  return static_cast<uint8_t>(value + 0.5f);
}

template <int kChannels>
void FilterRow(const float* source, uint8_t* target, int32_t targetWidth, const int32_t* first,
               const int32_t* count, const float* weights, int32_t stride) {
  for (int32_t x = 0; x < targetWidth; ++x) {
    float sum[kChannels] = {};
    const float* pixel = source + static_cast<size_t>(first[x]) * kChannels;
    const float* w = weights + static_cast<size_t>(x) * stride;
    for (int32_t k = 0; k < count[x]; ++k, pixel += kChannels) {
      for (int c = 0; c < kChannels; ++c) sum[c] += w[k] * pixel[c];
    }
    for (int c = 0; c < kChannels; ++c) target[c] = ToSample(sum[c]);
    target += kChannels;
  }
}

#if defined(__GNUC__)
// One pixel's three or four channels filtered together in one register.
// Each lane takes the same multiplications and additions in the same order
// as the plain loop gives one channel, so the samples are the same to the
// bit; it takes a third of the instructions of the horizontal pass. For
// three channels the next pixel's first sample rides along in the fourth
// lane, unused: the filtered row keeps one sample of room past its end.
typedef float Float4 __attribute__((vector_size(16)));
constexpr bool kFilterPixelsTogether = true;

template <int kChannels>
void FilterRowTogether(const float* source, uint8_t* target, int32_t targetWidth,
                       const int32_t* first, const int32_t* count, const float* weights,
                       int32_t stride) {
  static_assert(kChannels == 3 || kChannels == 4, "one pixel per register");
  for (int32_t x = 0; x < targetWidth; ++x) {
    Float4 sum = {0.0f, 0.0f, 0.0f, 0.0f};
    const float* pixel = source + static_cast<size_t>(first[x]) * kChannels;
    const float* w = weights + static_cast<size_t>(x) * stride;
    for (int32_t k = 0; k < count[x]; ++k, pixel += kChannels) {
      Float4 samples;
      std::memcpy(&samples, pixel, sizeof samples);
      sum += w[k] * samples;
    }
    for (int c = 0; c < kChannels; ++c) target[c] = ToSample(sum[c]);
    target += kChannels;
  }
}
#else
constexpr bool kFilterPixelsTogether = false;
template <int kChannels>
void FilterRowTogether(const float* source, uint8_t* target, int32_t targetWidth,
                       const int32_t* first, const int32_t* count, const float* weights,
                       int32_t stride) {
  FilterRow<kChannels>(source, target, targetWidth, first, count, weights, stride);
}
#endif

}  // namespace

bool RowResampler::BuildContributions(int32_t sourceLength, int32_t targetLength, size_t byteBudget,
                                      Contributions* out) {
  const double scale = static_cast<double>(targetLength) / sourceLength;
  // Shrinking stretches the kernel over the source pixels that one target
  // pixel covers; enlarging keeps it at its natural width.
  const double kernelWidth = scale < 1.0 ? 1.0 / scale : 1.0;
  const double support = kCubicRadius * kernelWidth;
  const int32_t stride = static_cast<int32_t>(std::ceil(2.0 * support)) + 1;
  const size_t bytes = static_cast<size_t>(targetLength) *
                       (static_cast<size_t>(stride) * sizeof(float) + 2 * sizeof(int32_t));
  if (bytes > byteBudget) return false;

  out->stride = stride;
  out->first.assign(targetLength, 0);
  out->count.assign(targetLength, 0);
  out->weights.assign(static_cast<size_t>(targetLength) * stride, 0.0f);
  std::vector<double> raw(stride);
  for (int32_t i = 0; i < targetLength; ++i) {
    // Pixel centres: target pixel i covers source [i / scale, (i + 1) / scale).
    const double centre = (i + 0.5) / scale - 0.5;
    const int32_t low = std::max<int32_t>(0, static_cast<int32_t>(std::ceil(centre - support)));
    const int32_t high =
        std::min<int32_t>(sourceLength - 1, static_cast<int32_t>(std::floor(centre + support)));
    int32_t n = 0;
    double total = 0.0;
    for (int32_t j = low; j <= high && n < stride; ++j, ++n) {
      raw[n] = SharpCubic((j - centre) / kernelWidth);
      total += raw[n];
    }
    float* w = &out->weights[static_cast<size_t>(i) * stride];
    // Taps beyond the edges are dropped and the rest renormalised, so the
    // border keeps its brightness. The kernel's centre lobe dominates, so the
    // total cannot vanish; the fallback only guards rounding.
    if (n == 0 || total < 1e-9) {
      out->first[i] = std::min<int32_t>(sourceLength - 1,
                                        std::max<int32_t>(0, static_cast<int32_t>(centre + 0.5)));
      out->count[i] = 1;
      w[0] = 1.0f;
      continue;
    }
    out->first[i] = low;
    out->count[i] = n;
    for (int32_t k = 0; k < n; ++k) w[k] = static_cast<float>(raw[k] / total);
  }
  return true;
}

bool RowResampler::Init(int32_t sourceWidth, int32_t sourceHeight, int32_t targetWidth,
                        int32_t targetHeight, int channels) {
  rowsCommitted_ = rowsProduced_ = 0;
  targetHeight_ = 0;  // unusable until everything below succeeds
  auto inRange = [](int32_t v) { return v >= 1 && v <= kMaxResampleDimension; };
  if (!inRange(sourceWidth) || !inRange(sourceHeight) || !inRange(targetWidth) ||
      !inRange(targetHeight) || channels < 1 || channels > 4) {
    return false;
  }
  size_t budget = kMaxResampleWorkBytes;
  if (!BuildContributions(sourceWidth, targetWidth, budget, &horizontal_)) return false;
  budget -= horizontal_.weights.size() * sizeof(float);
  if (!BuildContributions(sourceHeight, targetHeight, budget, &vertical_)) return false;
  budget -= vertical_.weights.size() * sizeof(float);

  const int32_t windowRows = *std::max_element(vertical_.count.begin(), vertical_.count.end());
  const size_t rowSamples = static_cast<size_t>(sourceWidth) * channels;
  const size_t windowBytes = static_cast<size_t>(windowRows) * rowSamples;
  const size_t columnBytes = (rowSamples + 1) * sizeof(float);
  if (windowBytes > budget || columnBytes > budget - windowBytes) return false;

  sourceWidth_ = sourceWidth;
  sourceHeight_ = sourceHeight;
  targetWidth_ = targetWidth;
  channels_ = channels;
  windowRows_ = windowRows;
  window_.assign(windowBytes, 0);
  // One sample of room past the row for the last pixel's register.
  column_.assign(rowSamples + (kFilterPixelsTogether ? 1 : 0), 0.0f);
  targetHeight_ = targetHeight;
  return true;
}

bool RowResampler::NeedsSourceRow() const {
  if (rowsProduced_ >= targetHeight_) return false;
  const int32_t last = vertical_.first[rowsProduced_] + vertical_.count[rowsProduced_] - 1;
  return rowsCommitted_ <= last && rowsCommitted_ < sourceHeight_;
}

uint8_t* RowResampler::SourceRow() {
  const size_t rowSamples = static_cast<size_t>(sourceWidth_) * channels_;
  const int32_t slot = windowRows_ == 0 ? 0 : rowsCommitted_ % windowRows_;
  return window_.data() + static_cast<size_t>(slot) * rowSamples;
}

void RowResampler::CommitSourceRow() {
  if (rowsCommitted_ < sourceHeight_ && windowRows_ > 0) ++rowsCommitted_;
}

void RowResampler::ProduceRow(uint8_t* output) {
  if (rowsProduced_ >= targetHeight_ || NeedsSourceRow()) return;
  const size_t rowSamples = static_cast<size_t>(sourceWidth_) * channels_;
  float* column = column_.data();
  const int32_t first = vertical_.first[rowsProduced_];
  const int32_t count = vertical_.count[rowsProduced_];
  const float* w = &vertical_.weights[static_cast<size_t>(rowsProduced_) * vertical_.stride];
  for (int32_t k = 0; k < count; ++k) {
    const uint8_t* row = &window_[static_cast<size_t>((first + k) % windowRows_) * rowSamples];
    const float weight = w[k];
    if (k == 0) {
      for (size_t i = 0; i < rowSamples; ++i) column[i] = weight * row[i];
    } else {
      for (size_t i = 0; i < rowSamples; ++i) column[i] += weight * row[i];
    }
  }
  const int32_t* hFirst = horizontal_.first.data();
  const int32_t* hCount = horizontal_.count.data();
  const float* hWeights = horizontal_.weights.data();
  const int32_t stride = horizontal_.stride;
  switch (channels_) {
    case 1:
      FilterRow<1>(column, output, targetWidth_, hFirst, hCount, hWeights, stride);
      break;
    case 2:
      FilterRow<2>(column, output, targetWidth_, hFirst, hCount, hWeights, stride);
      break;
    case 3:
      FilterRowTogether<3>(column, output, targetWidth_, hFirst, hCount, hWeights, stride);
      break;
    default:
      FilterRowTogether<4>(column, output, targetWidth_, hFirst, hCount, hWeights, stride);
      break;
  }
  ++rowsProduced_;
}

}  // namespace imaging
