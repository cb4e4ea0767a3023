// Benchmark of the reduced copy: time per ReduceJpeg (the preview in memory to
// the encoded copy in memory, as the job makes it), peak memory of a process
// that reads a JPEG, reduces it and writes the copy, and quality (SSIM of the
// luma) against a
// reference made by a Lanczos-3 reduction of the full-size decode, all side by
// side with vipsthumbnail on the same job when it is installed.
//
//   bench_reduce [--runs N] [--width W] [JPEG ...]
//
// Without JPEG arguments it makes a 6000x4000 (24 MP) test picture with fine
// gratings, edges, gradients and noise, and reduces it to 800 px wide.
// Internal mode used for the memory figure: bench_reduce --reduce-once IN W H OUT.
// bench_reduce --write-picture OUT.jpg writes the test picture for other tools.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>

#include "imaging/imaging.h"
#include "imaging/resampler.h"

// Debian's stb_image_resize (libstb-dev), as the well-known resampler to
// measure ours against.
#if __has_include(<stb/stb_image_resize.h>)
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#include <stb/stb_image_resize.h>
#define RAWLIFT_BENCH_HAVE_STB 1
#endif

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct Image {
  int width = 0, height = 0, channels = 0;
  std::vector<float> samples;
};

// Read in one piece into a vector of the file's size, as the engine reads a
// preview: the memory figure then counts the preview once.
Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : 0;
  Bytes bytes(size > 0 ? static_cast<size_t>(size) : 0);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!in) bytes.clear();
  return bytes;
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

bool DecodeFull(const Bytes& jpeg, Image* image) {
  if (jpeg.size() < 4) return false;
  jpeg_decompress_struct d;
  jpeg_error_mgr err;
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&d, TRUE);
  d.out_color_space = d.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_start_decompress(&d);
  image->width = static_cast<int>(d.output_width);
  image->height = static_cast<int>(d.output_height);
  image->channels = d.output_components;
  image->samples.resize(static_cast<size_t>(image->width) * image->height * image->channels);
  std::vector<uint8_t> row(static_cast<size_t>(image->width) * image->channels);
  while (d.output_scanline < d.output_height) {
    const size_t y = d.output_scanline;
    JSAMPROW p = row.data();
    jpeg_read_scanlines(&d, &p, 1);
    std::copy(row.begin(), row.end(), image->samples.begin() + y * row.size());
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  return true;
}

Bytes Encode(const std::vector<uint8_t>& rgb, int width, int height, int quality) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buffer, &size);
  c.image_width = static_cast<JDIMENSION>(width);
  c.image_height = static_cast<JDIMENSION>(height);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(&rgb[static_cast<size_t>(c.next_scanline) * width * 3]);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  Bytes out(buffer, buffer + size);
  jpeg_destroy_compress(&c);
  std::free(buffer);
  return out;
}

// A camera-like 24 MP picture that punishes both blur and aliasing: gratings
// up to the pixel pitch, hard-edged blocks, smooth gradients, sensor noise.
Bytes MakeTestPicture(int width, int height) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  uint32_t noise = 12345;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double u = static_cast<double>(x) / width, v = static_cast<double>(y) / height;
      double base[3] = {60 + 120 * u, 80 + 100 * v, 150 - 90 * u * v};
      if (v < 0.25) {  // chirp: frequency rises to the sampling limit
        const double phase = 3.14159 * x * (x / static_cast<double>(width)) * 0.9;
        for (double& b : base) b += 70 * std::sin(phase);
      } else if (v < 0.5 && u < 0.5) {  // zone plate
        const double dx = x - width * 0.25, dy = y - height * 0.375;
        const double s = std::sin((dx * dx + dy * dy) * 0.0009);
        for (double& b : base) b += 80 * s;
      } else if (((x / 97) + (y / 61)) % 5 == 0) {  // hard edges
        base[0] = 240, base[1] = 30, base[2] = 20;
      } else if (v > 0.75 && ((x / 3) % 7 == 0 || (y / 2) % 11 == 0)) {  // thin lines
        base[0] = base[1] = base[2] = 15;
      }
      for (int c = 0; c < 3; ++c) {
        noise = noise * 1664525u + 1013904223u;
        const double value = base[c] + ((static_cast<int>(noise >> 24)) - 128) * 0.03;
        rgb[(static_cast<size_t>(y) * width + x) * 3 + c] =
            static_cast<uint8_t>(std::clamp(value, 0.0, 255.0));
      }
    }
  }
  return Encode(rgb, width, height, 92);
}

// ---- Reference: separable Lanczos-3, widened when shrinking ----

double Lanczos3(double x) {
  x = std::fabs(x);
  if (x < 1e-9) return 1.0;
  if (x >= 3.0) return 0.0;
  const double px = 3.14159265358979 * x;
  return 3.0 * std::sin(px) * std::sin(px / 3.0) / (px * px);
}

// Resamples along one axis: `count` lines of `length` samples, `step` apart.
Image ResampleAxis(const Image& in, int targetWidth, int targetHeight, bool horizontal) {
  Image out;
  out.width = targetWidth;
  out.height = targetHeight;
  out.channels = in.channels;
  out.samples.assign(static_cast<size_t>(targetWidth) * targetHeight * in.channels, 0.0f);
  const int sourceLength = horizontal ? in.width : in.height;
  const int targetLength = horizontal ? targetWidth : targetHeight;
  const double scale = static_cast<double>(targetLength) / sourceLength;
  const double widen = scale < 1 ? 1 / scale : 1;
  const double support = 3 * widen;
  for (int t = 0; t < targetLength; ++t) {
    const double centre = (t + 0.5) / scale - 0.5;
    const int lo = std::max(0, static_cast<int>(std::ceil(centre - support)));
    const int hi = std::min(sourceLength - 1, static_cast<int>(std::floor(centre + support)));
    std::vector<double> w;
    double total = 0;
    for (int j = lo; j <= hi; ++j) total += w.emplace_back(Lanczos3((j - centre) / widen));
    const int lines = horizontal ? in.height : in.width;
    for (int line = 0; line < lines; ++line) {
      for (int c = 0; c < in.channels; ++c) {
        double sum = 0;
        for (int j = lo; j <= hi; ++j) {
          const size_t at = horizontal ? (static_cast<size_t>(line) * in.width + j)
                                       : (static_cast<size_t>(j) * in.width + line);
          sum += w[j - lo] * in.samples[at * in.channels + c];
        }
        const size_t to = horizontal ? (static_cast<size_t>(line) * targetWidth + t)
                                     : (static_cast<size_t>(t) * targetWidth + line);
        out.samples[to * in.channels + c] = static_cast<float>(std::clamp(sum / total, 0.0, 255.0));
      }
    }
  }
  return out;
}

Image LanczosReference(const Image& full, int width, int height) {
  return ResampleAxis(ResampleAxis(full, width, full.height, true), width, height, false);
}

// ---- SSIM of the luma, 11x11 Gaussian window (sigma 1.5) ----

std::vector<float> Luma(const Image& image) {
  std::vector<float> y(static_cast<size_t>(image.width) * image.height);
  for (size_t i = 0; i < y.size(); ++i) {
    const float* p = &image.samples[i * image.channels];
    y[i] = image.channels == 1 ? p[0] : 0.299f * p[0] + 0.587f * p[1] + 0.114f * p[2];
  }
  return y;
}

std::vector<float> Blur(const std::vector<float>& in, int w, int h) {
  float kernel[11];
  float total = 0;
  for (int i = 0; i < 11; ++i)
    total += kernel[i] = std::exp(-(i - 5) * (i - 5) / (2 * 1.5f * 1.5f));
  for (float& k : kernel) k /= total;
  std::vector<float> tmp(in.size()), out(in.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float s = 0;
      for (int k = 0; k < 11; ++k) s += kernel[k] * in[y * w + std::clamp(x + k - 5, 0, w - 1)];
      tmp[y * w + x] = s;
    }
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float s = 0;
      for (int k = 0; k < 11; ++k) s += kernel[k] * tmp[std::clamp(y + k - 5, 0, h - 1) * w + x];
      out[y * w + x] = s;
    }
  return out;
}

double Ssim(const Image& a, const Image& b) {
  if (a.width != b.width || a.height != b.height) return -1;
  const int w = a.width, h = a.height;
  const std::vector<float> x = Luma(a), y = Luma(b);
  std::vector<float> xx(x.size()), yy(x.size()), xy(x.size());
  for (size_t i = 0; i < x.size(); ++i)
    xx[i] = x[i] * x[i], yy[i] = y[i] * y[i], xy[i] = x[i] * y[i];
  const auto mx = Blur(x, w, h), my = Blur(y, w, h);
  const auto sxx = Blur(xx, w, h), syy = Blur(yy, w, h), sxy = Blur(xy, w, h);
  const double c1 = 6.5025, c2 = 58.5225;  // (0.01 * 255)^2, (0.03 * 255)^2
  double sum = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double vx = sxx[i] - mx[i] * mx[i], vy = syy[i] - my[i] * my[i];
    const double cov = sxy[i] - mx[i] * my[i];
    sum += ((2 * mx[i] * my[i] + c1) * (2 * cov + c2)) /
           ((mx[i] * mx[i] + my[i] * my[i] + c1) * (vx + vy + c2));
  }
  return sum / x.size();
}

// ---- Resampler alone: ours against stb_image_resize on the same rows ----
// (RGB rows, so the SSIM's luma can be taken from them; the reducer itself
// filters YCbCr sources as YCbCr.)

// Decodes at the DCT scale ReduceJpeg picks (smallest n/8 at least twice
// the target, else at least the target).
std::vector<uint8_t> DecodeLikeTheReducer(const Bytes& jpeg, int tw, int th, int* w, int* h) {
  jpeg_decompress_struct d;
  jpeg_error_mgr err;
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&d, TRUE);
  d.out_color_space = JCS_RGB;
  d.scale_denom = 8;
  bool chosen = false;
  for (unsigned factor : {2u, 1u}) {
    for (unsigned n = 1; n <= 8 && !chosen; ++n) {
      d.scale_num = n;
      jpeg_calc_output_dimensions(&d);
      chosen = d.output_width >= factor * tw && d.output_height >= factor * th;
    }
    if (chosen) break;
  }
  jpeg_start_decompress(&d);
  *w = static_cast<int>(d.output_width);
  *h = static_cast<int>(d.output_height);
  std::vector<uint8_t> pixels(static_cast<size_t>(*w) * *h * 3);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = &pixels[static_cast<size_t>(d.output_scanline) * *w * 3];
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  return pixels;
}

Image ToImage(const std::vector<uint8_t>& pixels, int w, int h) {
  Image image;
  image.width = w;
  image.height = h;
  image.channels = 3;
  image.samples.assign(pixels.begin(), pixels.end());
  return image;
}

double Ssim(const Image& a, const Image& b);
double ProcessCpuMs();

void CompareResamplers(const Bytes& jpeg, const Image& reference, int runs) {
  int w = 0, h = 0;
  const int tw = reference.width, th = reference.height;
  const std::vector<uint8_t> decoded = DecodeLikeTheReducer(jpeg, tw, th, &w, &h);
  std::vector<uint8_t> ours(static_cast<size_t>(tw) * th * 3);
  std::vector<double> oursCpu;
  for (int i = 0; i < runs; ++i) {
    const double start = ProcessCpuMs();
    imaging::RowResampler r;
    if (!r.Init(w, h, tw, th, 3)) return;
    int32_t read = 0;
    for (int y = 0; y < th; ++y) {
      while (r.NeedsSourceRow()) {
        std::memcpy(r.SourceRow(), &decoded[static_cast<size_t>(read++) * w * 3],
                    static_cast<size_t>(w) * 3);
        r.CommitSourceRow();
      }
      r.ProduceRow(&ours[static_cast<size_t>(y) * tw * 3]);
    }
    oursCpu.push_back(ProcessCpuMs() - start);
  }
  std::sort(oursCpu.begin(), oursCpu.end());
  std::printf("  resampler alone, %dx%d -> %dx%d (before encoding):\n", w, h, tw, th);
  std::printf("    rawlift rows   %6.1f ms cpu, SSIM %.4f, streams rows (holds a few rows)\n",
              oursCpu[oursCpu.size() / 2], Ssim(ToImage(ours, tw, th), reference));
#ifdef RAWLIFT_BENCH_HAVE_STB
  std::vector<uint8_t> stb(ours.size());
  std::vector<double> stbCpu;
  for (int i = 0; i < runs; ++i) {
    const double start = ProcessCpuMs();
    stbir_resize_uint8_generic(decoded.data(), w, h, 0, stb.data(), tw, th, 0, 3, -1, 0,
                               STBIR_EDGE_CLAMP, STBIR_FILTER_CATMULLROM, STBIR_COLORSPACE_LINEAR,
                               nullptr);
    stbCpu.push_back(ProcessCpuMs() - start);
  }
  std::sort(stbCpu.begin(), stbCpu.end());
  std::printf(
      "    stb_image_resize %4.1f ms cpu, SSIM %.4f (Catmull-Rom), needs the whole decoded "
      "picture (%.1f MiB)\n",
      stbCpu[stbCpu.size() / 2], Ssim(ToImage(stb, tw, th), reference), decoded.size() / 1048576.0);
#endif
}

// ---- Processes ----

struct ChildResult {
  bool ok = false;
  double wallMs = 0;  // includes process start-up
  double cpuMs = 0;   // user + system
  long peakKiB = 0;   // largest resident set
};

// Runs a program and waits for it. Its resident-set peak is only honest when
// the process that forks it is small (Linux carries the forking process's
// peak across exec), so the bench runs every measured program through a
// fresh copy of itself in --measure mode, which reports on one line.
ChildResult SpawnAndWait(const std::vector<std::string>& argv, int stdoutFd) {
  ChildResult result;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) return result;
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int devnull = ::open("/dev/null", O_WRONLY);
    if (devnull >= 0) ::dup2(devnull, 2);
    if (stdoutFd >= 0) ::dup2(stdoutFd, 1);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (::wait4(pid, &status, 0, &usage) != pid) return result;
  result.wallMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  result.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  result.peakKiB = usage.ru_maxrss;
  return result;
}

std::string SelfPath();

ChildResult RunChild(const std::vector<std::string>& argv) {
  std::vector<std::string> measured = {SelfPath(), "--measure"};
  measured.insert(measured.end(), argv.begin(), argv.end());
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const ChildResult outer = SpawnAndWait(measured, fds[1]);
  ::close(fds[1]);
  char line[256] = {};
  const ssize_t n = ::read(fds[0], line, sizeof line - 1);
  ::close(fds[0]);
  ChildResult inner;
  int ok = 0;
  if (n <= 0 ||
      std::sscanf(line, "%d %lf %lf %ld", &ok, &inner.wallMs, &inner.cpuMs, &inner.peakKiB) != 4) {
    return {};
  }
  inner.ok = outer.ok && ok == 1;
  return inner;
}

int MeasureMode(int argc, char** argv) {
  std::vector<std::string> args(argv + 2, argv + argc);
  if (args.empty()) return 2;
  const ChildResult r = SpawnAndWait(args, -1);
  std::printf("%d %.3f %.3f %ld\n", r.ok ? 1 : 0, r.wallMs, r.cpuMs, r.peakKiB);
  return 0;
}

double ProcessCpuMs() {
  struct rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

std::string SelfPath() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string("bench_reduce");
}

bool HaveProgram(const char* name) {
  return SpawnAndWait({"sh", "-c", std::string("command -v ") + name + " >/dev/null"}, -1).ok;
}

void BenchOne(const fs::path& source, int boundWidth, int runs, const fs::path& work) {
  const Bytes original = ReadFile(source);
  const imaging::ImageSize full = imaging::MeasureJpeg(original.data(), original.size());
  if (full.width == 0) {
    std::printf("%s: not a JPEG we can decode\n", source.c_str());
    return;
  }
  const imaging::ImageSize target =
      imaging::FitWithinBounds(full.width, full.height, boundWidth, boundWidth);
  std::printf("\n%s: %dx%d, %.1f MB -> %dx%d\n", source.filename().c_str(), full.width, full.height,
              original.size() / 1e6, target.width, target.height);

  const fs::path ours = work / "ours.jpg";
  std::vector<double> wall, cpu;
  Bytes reduced;
  for (int i = 0; i < runs; ++i) {
    const double cpuStart = ProcessCpuMs();
    const auto start = std::chrono::steady_clock::now();
    if (!imaging::ReduceJpeg(original.data(), original.size(), target.width, target.height,
                             &reduced)) {
      std::printf("  ReduceJpeg failed\n");
      return;
    }
    wall.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    cpu.push_back(ProcessCpuMs() - cpuStart);
  }
  WriteFile(ours, reduced);
  const int spawnedRuns = std::max(3, runs / 2);
  const ChildResult idle = RunChild({SelfPath(), "--idle"});
  std::vector<double> oursWall, oursCpu;
  ChildResult oursChild;
  for (int i = 0; i < spawnedRuns; ++i) {
    oursChild =
        RunChild({SelfPath(), "--reduce-once", source.string(), std::to_string(target.width),
                  std::to_string(target.height), (work / "once.jpg").string()});
    oursWall.push_back(oursChild.wallMs);
    oursCpu.push_back(oursChild.cpuMs);
  }

  Image fullImage, oursImage;
  DecodeFull(original, &fullImage);
  DecodeFull(ReadFile(ours), &oursImage);
  const Image reference = LanczosReference(fullImage, target.width, target.height);

  std::printf("  %-14s %8s %8s %8s %8s %9s %8s %9s\n", "", "wall ms", "cpu ms", "proc wall",
              "proc cpu", "peak MiB", "SSIM", "bytes");
  std::printf("  %-14s %8.1f %8.1f %8.1f %8.1f %9.1f %8.4f %9zu\n", "rawlift", Median(wall),
              Median(cpu), Median(oursWall), Median(oursCpu), oursChild.peakKiB / 1024.0,
              Ssim(oursImage, reference), ReadFile(ours).size());

  if (!HaveProgram("vipsthumbnail")) {
    std::printf("  vipsthumbnail: not installed (apt-get install libvips-tools)\n");
  } else {
    const fs::path vipsOut = work / "vips.jpg";
    std::vector<double> vipsWall, vipsCpu;
    ChildResult vips;
    const std::string size = std::to_string(target.width) + "x" + std::to_string(target.height);
    for (int i = 0; i < spawnedRuns; ++i) {
      vips = RunChild(
          {"vipsthumbnail", source.string(), "--size", size, "-o", vipsOut.string() + "[Q=94]"});
      if (!vips.ok) break;
      vipsWall.push_back(vips.wallMs);
      vipsCpu.push_back(vips.cpuMs);
    }
    Image vipsImage;
    if (!vips.ok || !DecodeFull(ReadFile(vipsOut), &vipsImage)) {
      std::printf("  vipsthumbnail: failed\n");
    } else {
      // vips rounds sizes its own way; compare against a reference of its size.
      const bool sameSize = vipsImage.width == target.width && vipsImage.height == target.height;
      const Image vipsReference =
          sameSize ? reference : LanczosReference(fullImage, vipsImage.width, vipsImage.height);
      std::printf("  %-14s %8s %8s %8.1f %8.1f %9.1f %8.4f %9zu%s\n", "vipsthumbnail", "-", "-",
                  Median(vipsWall), Median(vipsCpu), vips.peakKiB / 1024.0,
                  Ssim(vipsImage, vipsReference), ReadFile(vipsOut).size(),
                  sameSize ? "" : " (other size)");
    }
  }
  std::printf("  (an idle process of this program peaks at %.1f MiB)\n", idle.peakKiB / 1024.0);
  if (fullImage.channels == 3) CompareResamplers(original, reference, runs);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--idle") == 0) return 0;
  if (argc >= 3 && std::strcmp(argv[1], "--measure") == 0) return MeasureMode(argc, argv);
  if (argc == 3 && std::strcmp(argv[1], "--write-picture") == 0) {
    WriteFile(argv[2], MakeTestPicture(6000, 4000));
    return 0;
  }
  if (argc == 6 && std::strcmp(argv[1], "--reduce-once") == 0) {
    // As the job does it: the preview is in memory, the copy is written once.
    const Bytes preview = ReadFile(argv[2]);
    Bytes reduced;
    if (!imaging::ReduceJpeg(preview.data(), preview.size(), std::atoi(argv[3]), std::atoi(argv[4]),
                             &reduced)) {
      return 1;
    }
    WriteFile(argv[5], reduced);
    return 0;
  }
  int runs = 15, boundWidth = 800;
  std::vector<fs::path> sources;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--width") == 0 && i + 1 < argc) {
      boundWidth = std::max(1, std::atoi(argv[++i]));
    } else {
      sources.push_back(argv[i]);
    }
  }
  const fs::path work = fs::temp_directory_path() / ("rawlift_bench_" + std::to_string(::getpid()));
  fs::create_directories(work);
  if (sources.empty()) {
    std::printf("making a 6000x4000 test picture...\n");
    WriteFile(work / "picture24mp.jpg", MakeTestPicture(6000, 4000));
    sources.push_back(work / "picture24mp.jpg");
  }
  for (const fs::path& source : sources) BenchOne(source, boundWidth, runs, work);
  std::error_code ignored;
  fs::remove_all(work, ignored);
  return 0;
}
