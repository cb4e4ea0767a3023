#include "shell/shell_extension.h"

#include <shellapi.h>

#include <new>

#include "shell/com_call.h"
#include "shell/extract_command.h"
#include "shell/guids.h"
#include "shell/interface_table.h"
#include "shell/module.h"

namespace shell {
namespace {

// The file-drop format asked of the data object.
FORMATETC DropFormat() {
  FORMATETC format = {};
  format.cfFormat = CF_HDROP;
  format.ptd = nullptr;
  format.dwAspect = DVASPECT_CONTENT;
  format.lindex = -1;
  format.tymed = TYMED_HGLOBAL;
  return format;
}

// Appends the readable paths of a drop list to the selection. A path that
// does not fit in kSelectionPathUnits would come back cut short, naming some
// other file or folder; it is skipped like an unreadable one.
void AppendDroppedPaths(HDROP drop, UINT count, std::vector<std::u16string>* selection) {
  wchar_t buffer[kSelectionPathUnits];
  for (UINT index = 0; index < count; ++index) {
    const UINT needed = DragQueryFileW(drop, index, nullptr, 0);
    if (needed == 0 || needed >= kSelectionPathUnits) continue;
    const UINT length = DragQueryFileW(drop, index, buffer, kSelectionPathUnits);
    if (length == 0) continue;
    selection->emplace_back(reinterpret_cast<const char16_t*>(buffer), length);
  }
}

// The medium a data object answered with, released on every way out.
struct DropMedium {
  STGMEDIUM medium = {};
  HDROP drop = nullptr;

  DropMedium() = default;
  DropMedium(const DropMedium&) = delete;
  DropMedium& operator=(const DropMedium&) = delete;
  ~DropMedium() {
    if (drop != nullptr) GlobalUnlock(medium.hGlobal);
    ReleaseStgMedium(&medium);
  }
  // Only global memory holds a drop list.
  bool Lock() {
    if (medium.tymed != TYMED_HGLOBAL || medium.hGlobal == nullptr) return false;
    drop = static_cast<HDROP>(GlobalLock(medium.hGlobal));
    return drop != nullptr;
  }
};

// Counts one invocation for as long as it runs, on every way out.
class InvocationScope {
 public:
  explicit InvocationScope(int* count) : count_(count) { ++*count_; }
  ~InvocationScope() { --*count_; }
  InvocationScope(const InvocationScope&) = delete;
  InvocationScope& operator=(const InvocationScope&) = delete;

 private:
  int* count_;
};

}  // namespace

HRESULT ShellExtension::Create(IUnknown* outer, REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  auto* object = new (std::nothrow) ShellExtension(outer);
  if (object == nullptr) return E_OUTOFMEMORY;
  // The creation reference is dropped after the query: a failed query
  // destroys the new object.
  const HRESULT result = object->inner_.QueryInterface(riid, out);
  object->inner_.Release();
  return result;
}

ShellExtension::ShellExtension(IUnknown* outer) : inner_(this), outer_(outer) {
  LockModule();
}

ShellExtension::~ShellExtension() {
  UnlockModule();
}

// The object's own interfaces. IUnknown alone answers with IShellExtInit,
// the first entry, unless the object is the inner part of an aggregate.
STDMETHODIMP ShellExtension::InnerUnknown::QueryInterface(REFIID riid, void** out) {
  static const InterfaceEntry kInterfaces[] = {
      {&kIidShellExtInit, InterfaceOffset<ShellExtension, IShellExtInit>()},
      {&kIidContextMenu, InterfaceOffset<ShellExtension, IContextMenu>()},
      {nullptr, 0},
  };
  if (out == nullptr) return E_POINTER;
  if (owner_->outer_ != nullptr && IsEqualIID(riid, IID_IUnknown)) {
    *out = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
  return QueryInterfaceFromTable(owner_, kInterfaces, riid, out);
}

STDMETHODIMP_(ULONG) ShellExtension::InnerUnknown::AddRef() {
  return ++owner_->references_;
}

STDMETHODIMP_(ULONG) ShellExtension::InnerUnknown::Release() {
  const ULONG left = --owner_->references_;
  if (left == 0) delete owner_;
  return left;
}

STDMETHODIMP ShellExtension::QueryInterface(REFIID riid, void** out) {
  // The outer object is foreign code.
  return CallGuarded([&] {
    return outer_ != nullptr ? outer_->QueryInterface(riid, out) : inner_.QueryInterface(riid, out);
  });
}

STDMETHODIMP_(ULONG) ShellExtension::AddRef() {
  return outer_ != nullptr ? outer_->AddRef() : inner_.AddRef();
}

STDMETHODIMP_(ULONG) ShellExtension::Release() {
  return outer_ != nullptr ? outer_->Release() : inner_.Release();
}

STDMETHODIMP ShellExtension::Initialize(PCIDLIST_ABSOLUTE, IDataObject* data, HKEY) {
  if (data == nullptr || activeInvocations_ > 0) return E_INVALIDARG;
  return CallGuarded([&] {
    FORMATETC format = DropFormat();
    DropMedium medium;
    if (FAILED(data->GetData(&format, &medium.medium))) return E_INVALIDARG;
    // A data object may answer with another medium than the one asked for.
    if (!medium.Lock()) return E_INVALIDARG;
    const UINT count = DragQueryFileW(medium.drop, 0xFFFFFFFF, nullptr, 0);
    if (count == 0) return E_INVALIDARG;
    // Appended to, never cleared: a second Initialize adds its paths after
    // the first one's.
    AppendDroppedPaths(medium.drop, count, &selection_);
    return selection_.empty() ? E_INVALIDARG : S_OK;
  });
}

STDMETHODIMP ShellExtension::QueryContextMenu(HMENU menu, UINT index, UINT first_id, UINT,
                                              UINT flags) {
  if (flags & CMF_DEFAULTONLY) return MAKE_HRESULT(SEVERITY_SUCCESS, 0, 0);
  return CallGuarded([&] {
    InsertMenuW(menu, index, MF_BYPOSITION | MF_STRING, first_id, kMenuText);
    return MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1);
  });
}

STDMETHODIMP ShellExtension::GetCommandString(UINT_PTR command, UINT type, UINT*, CHAR* buffer,
                                              UINT buffer_size) {
  // Bit 0 (help text) or bit 2 (Unicode) must be set: the ANSI verb and
  // ANSI validation requests are refused.
  if ((type & (GCS_HELPTEXTA | GCS_UNICODE)) == 0 || command != 0) return E_INVALIDARG;
  // Nothing can be copied into a missing or empty buffer.
  if (buffer == nullptr || buffer_size == 0) return E_INVALIDARG;
  return CallGuarded([&] {
    if (type & GCS_UNICODE) {
      lstrcpynW(reinterpret_cast<wchar_t*>(buffer), kHelpText, static_cast<int>(buffer_size));
    } else {
      char text[64];
      const int written = WideCharToMultiByte(CP_THREAD_ACP, 0, kHelpText, -1, text, sizeof(text),
                                              nullptr, nullptr);
      if (written == 0) text[0] = '\0';
      lstrcpynA(buffer, text, static_cast<int>(buffer_size));
    }
    return S_OK;
  });
}

STDMETHODIMP ShellExtension::InvokeCommand(CMINVOKECOMMANDINFO* info) {
  if (info == nullptr) return E_INVALIDARG;
  // A verb given as a string is a pointer: anything above the low word set.
  if (!IS_INTRESOURCE(info->lpVerb)) return E_INVALIDARG;
  if (LOWORD(reinterpret_cast<UINT_PTR>(info->lpVerb)) != 0) return E_INVALIDARG;
  return CallGuarded([&] {
    InvocationScope invocation(&activeInvocations_);
    RunExtractCommand(&selection_);
    return S_OK;
  });
}

}  // namespace shell
