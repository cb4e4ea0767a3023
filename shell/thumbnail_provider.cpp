#include "shell/thumbnail_provider.h"

#include <new>

#include "shell/com_call.h"
#include "shell/guids.h"
#include "shell/interface_table.h"
#include "shell/module.h"
#include "shell/stream_source.h"

namespace shell {

HRESULT MakeThumbnail(const engine::ByteSource& source, UINT size, HBITMAP* bitmap,
                      DecodeReport* report, std::string* where) {
  *bitmap = nullptr;
  if (size == 0 || size > kMaxShownSide) return E_INVALIDARG;
  RawPreview preview;
  HRESULT result = LoadRawPreview(source, static_cast<int32_t>(size), &preview);
  if (where != nullptr) *where = preview.where;
  if (FAILED(result)) return result;
  BgraPicture picture;
  result = DecodeJpegUpright(preview.jpeg.bytes.get(), preview.jpeg.length, size,
                             preview.orientation, &picture, report);
  if (FAILED(result)) return result;
  return CreatePictureBitmap(picture, bitmap);
}

HRESULT ThumbnailProvider::Create(IUnknown* outer, REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  auto* object = new (std::nothrow) ThumbnailProvider();
  if (object == nullptr) return E_OUTOFMEMORY;
  const HRESULT result = object->QueryInterface(riid, out);
  object->Release();
  return result;
}

ThumbnailProvider::ThumbnailProvider() {
  InitializeCriticalSection(&lock_);
  LockModule();
}

ThumbnailProvider::~ThumbnailProvider() {
  if (stream_ != nullptr) stream_->Release();
  DeleteCriticalSection(&lock_);
  UnlockModule();
}

STDMETHODIMP ThumbnailProvider::QueryInterface(REFIID riid, void** out) {
  static const InterfaceEntry kInterfaces[] = {
      {&IID_IInitializeWithStream, InterfaceOffset<ThumbnailProvider, IInitializeWithStream>()},
      {&kIidThumbnailProvider, InterfaceOffset<ThumbnailProvider, IThumbnailProvider>()},
      {nullptr, 0},
  };
  return QueryInterfaceFromTable(this, kInterfaces, riid, out);
}

STDMETHODIMP_(ULONG) ThumbnailProvider::AddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&references_));
}

STDMETHODIMP_(ULONG) ThumbnailProvider::Release() {
  const LONG left = InterlockedDecrement(&references_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

STDMETHODIMP ThumbnailProvider::Initialize(IStream* stream, DWORD) {
  if (stream == nullptr) return E_INVALIDARG;
  EnterCriticalSection(&lock_);
  HRESULT result = HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);
  if (stream_ == nullptr) {
    stream_ = stream;
    stream_->AddRef();
    result = S_OK;
  }
  LeaveCriticalSection(&lock_);
  return result;
}

STDMETHODIMP ThumbnailProvider::GetThumbnail(UINT size, HBITMAP* bitmap, WTS_ALPHATYPE* alpha) {
  if (bitmap == nullptr || alpha == nullptr) return E_POINTER;
  *bitmap = nullptr;
  *alpha = WTSAT_UNKNOWN;
  EnterCriticalSection(&lock_);
  const HRESULT result = CallGuarded([&] {
    if (stream_ == nullptr) return E_UNEXPECTED;
    const StreamSource source(stream_);
    if (FAILED(source.error())) return source.error();
    lastDecode_ = DecodeReport();
    const HRESULT made = MakeThumbnail(source, size, bitmap, &lastDecode_, &lastWhere_);
    // Bytes that stopped coming half-way are not the file: no thumbnail,
    // and the stream's own failure is the result.
    if (FAILED(source.error())) {
      if (*bitmap != nullptr) DeleteObject(*bitmap);
      *bitmap = nullptr;
      return source.error();
    }
    return made;
  });
  LeaveCriticalSection(&lock_);
  if (SUCCEEDED(result)) *alpha = WTSAT_RGB;
  return result;
}

}  // namespace shell
