// The thumbnail handler of RAW files: IThumbnailProvider initialised with
// IInitializeWithStream, so that the Explorer may run it in its isolated
// surrogate process. It shows the smallest embedded JPEG that covers the
// size asked for, reduced to that size and upright. Objects are independent
// of each other: the Explorer creates many at once on its threads.
#pragma once

// clang-format off
#include <windows.h>
#include <propsys.h>
#include <thumbcache.h>
// clang-format on

#include "shell/raw_picture.h"

namespace shell {

class ThumbnailProvider final : public IInitializeWithStream, public IThumbnailProvider {
 public:
  // The class factory's creation function (see ClassEntry); no aggregation.
  static HRESULT Create(IUnknown* outer, REFIID riid, void** out);

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IInitializeWithStream: once per object.
  STDMETHODIMP Initialize(IStream* stream, DWORD mode) override;
  // IThumbnailProvider: a 32-bit top-down bitmap whose longer side is at most
  // `size`, WTSAT_RGB. A file without a JPEG preview fails at once
  // (kNoPreviewResult), so the Explorer shows the type's icon.
  STDMETHODIMP GetThumbnail(UINT size, HBITMAP* bitmap, WTS_ALPHATYPE* alpha) override;

  // What the last GetThumbnail decoded (tests and the benchmark).
  const DecodeReport& lastDecode() const { return lastDecode_; }
  const std::string& lastWhere() const { return lastWhere_; }

 private:
  ThumbnailProvider();
  ~ThumbnailProvider();

  volatile LONG references_ = 1;
  IStream* stream_ = nullptr;
  CRITICAL_SECTION lock_;  // one GetThumbnail at a time reads the stream
  DecodeReport lastDecode_;
  std::string lastWhere_;
};

// The whole thumbnail of the file in `source`, as GetThumbnail makes it.
HRESULT MakeThumbnail(const engine::ByteSource& source, UINT size, HBITMAP* bitmap,
                      DecodeReport* report = nullptr, std::string* where = nullptr);

}  // namespace shell
