// Benchmark (not a test) of the thumbnail handler as the Explorer runs it:
// for every file given (or every file of every folder given), a handler
// created through RididaViz.DLL's class factory, initialised with a stream
// on the file, GetThumbnail(SIZE); best of N rounds per file, then the
// median and mean over the files. Beside it, the two halves in process:
// reading the file and extracting the chosen JPEG, and decoding it (WIC,
// reduction, orientation), so the share of decoding shows.
//
//   thumbnail_bench [--size 256] [--rounds 3] FILE_OR_FOLDER...
//
// Under wine the times are wine's WIC (no scaling in the JPEG decoder), not
// Windows'.
// clang-format off
#include <windows.h>
#include <propsys.h>
#include <shlwapi.h>
#include <thumbcache.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "engine/input.h"
#include "shell/guids.h"
#include "shell/raw_picture.h"
#include "shell/stream_source.h"
#include "tests/windows/win_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

std::vector<std::wstring> ListFiles(const std::wstring& path) {
  std::vector<std::wstring> files;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return files;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    files.push_back(path);
    return files;
  }
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return files;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::wstring name = found.cFileName;
    if (name == L"manifest.tsv") continue;
    files.push_back(path + L"\\" + name);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  std::sort(files.begin(), files.end());
  return files;
}

struct Stats {
  std::vector<double> ms;
  void Add(double value) { ms.push_back(value); }
  double Median() {
    if (ms.empty()) return 0;
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
  }
  double Mean() const {
    double sum = 0;
    for (double v : ms) sum += v;
    return ms.empty() ? 0 : sum / ms.size();
  }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  UINT size = 256;
  int rounds = 3;
  std::vector<std::wstring> files;
  for (int i = 1; i < argc; ++i) {
    if (!wcscmp(argv[i], L"--size") && i + 1 < argc) {
      size = static_cast<UINT>(_wtoi(argv[++i]));
    } else if (!wcscmp(argv[i], L"--rounds") && i + 1 < argc) {
      rounds = std::max(1, _wtoi(argv[++i]));
    } else {
      for (const std::wstring& f : ListFiles(argv[i])) files.push_back(f);
    }
  }
  if (files.empty()) {
    std::fputs("usage: thumbnail_bench [--size 256] [--rounds 3] FILE_OR_FOLDER...\n", stderr);
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  HMODULE module = LoadLibraryW(wintest::ModulePath().c_str());
  auto get = module == nullptr ? nullptr
                               : reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(
                                     GetProcAddress(module, "DllGetClassObject")));
  IClassFactory* factory = nullptr;
  if (get == nullptr || FAILED(get(shell::kThumbnailProviderClsid, IID_IClassFactory,
                                   reinterpret_cast<void**>(&factory)))) {
    std::fputs("thumbnail_bench: cannot load the module's thumbnail handler\n", stderr);
    return 1;
  }

  Stats whole, extract, decode;
  int failures = 0, scaled = 0;
  UINT jpeg_width = 0, jpeg_height = 0, decoded_width = 0, decoded_height = 0;
  for (const std::wstring& file : files) {
    double best_whole = 1e30, best_extract = 1e30, best_decode = 1e30;
    for (int round = 0; round < rounds; ++round) {
      // The whole call as the Explorer makes it, stream opening included.
      const Clock::time_point start = Clock::now();
      IStream* stream = nullptr;
      HRESULT result = SHCreateStreamOnFileEx(file.c_str(), STGM_READ | STGM_SHARE_DENY_NONE,
                                              FILE_ATTRIBUTE_NORMAL, FALSE, nullptr, &stream);
      IThumbnailProvider* provider = nullptr;
      if (SUCCEEDED(result)) {
        result = factory->CreateInstance(nullptr, shell::kIidThumbnailProvider,
                                         reinterpret_cast<void**>(&provider));
      }
      IInitializeWithStream* init = nullptr;
      if (SUCCEEDED(result)) {
        result =
            provider->QueryInterface(IID_IInitializeWithStream, reinterpret_cast<void**>(&init));
      }
      if (SUCCEEDED(result)) result = init->Initialize(stream, STGM_READ);
      HBITMAP bitmap = nullptr;
      WTS_ALPHATYPE alpha;
      if (SUCCEEDED(result)) result = provider->GetThumbnail(size, &bitmap, &alpha);
      if (bitmap != nullptr) DeleteObject(bitmap);
      if (init != nullptr) init->Release();
      if (provider != nullptr) provider->Release();
      if (stream != nullptr) stream->Release();
      best_whole = std::min(best_whole, Ms(Clock::now() - start));
      if (FAILED(result)) {
        ++failures;
        break;
      }

      // The halves: the JPEG out of the file, then its decoding.
      stream = nullptr;
      SHCreateStreamOnFileEx(file.c_str(), STGM_READ | STGM_SHARE_DENY_NONE, FILE_ATTRIBUTE_NORMAL,
                             FALSE, nullptr, &stream);
      const Clock::time_point extract_start = Clock::now();
      shell::RawPreview preview;
      {
        const shell::StreamSource source(stream);
        shell::LoadRawPreview(source, static_cast<int32_t>(size), &preview);
      }
      const Clock::time_point decode_start = Clock::now();
      shell::BgraPicture picture;
      shell::DecodeReport report;
      shell::DecodeJpegUpright(preview.jpeg.bytes.get(), preview.jpeg.length, size,
                               preview.orientation, &picture, &report);
      const Clock::time_point end = Clock::now();
      if (stream != nullptr) stream->Release();
      best_extract = std::min(best_extract, Ms(decode_start - extract_start));
      best_decode = std::min(best_decode, Ms(end - decode_start));
      if (round == 0) {
        scaled += report.scaledInDecoder;
        jpeg_width = report.jpegWidth;
        jpeg_height = report.jpegHeight;
        decoded_width = report.decodedWidth;
        decoded_height = report.decodedHeight;
      }
    }
    if (best_whole < 1e30) whole.Add(best_whole);
    if (best_extract < 1e30) extract.Add(best_extract);
    if (best_decode < 1e30) decode.Add(best_decode);
  }
  factory->Release();

  const double whole_median = whole.Median(), decode_median = decode.Median();
  std::printf("GetThumbnail(%u) over %zu files (best of %d per file), %d failed\n", size,
              files.size(), rounds, failures);
  std::printf("  whole call    median %8.2f ms  mean %8.2f ms\n", whole_median, whole.Mean());
  std::printf("  read+extract  median %8.2f ms  mean %8.2f ms\n", extract.Median(), extract.Mean());
  std::printf("  decode        median %8.2f ms  mean %8.2f ms  (%.0f%% of the call)\n",
              decode_median, decode.Mean(),
              whole_median > 0 ? 100.0 * decode_median / whole_median : 0.0);
  std::printf("  last JPEG %ux%u, decoder gave %ux%u; scaled in the decoder for %d of %zu files\n",
              jpeg_width, jpeg_height, decoded_width, decoded_height, scaled, files.size());
  return failures == 0 ? 0 : 1;
}
