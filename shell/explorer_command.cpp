#include "shell/explorer_command.h"

#include <shlwapi.h>

#include <new>

#include "job/extraction_job.h"
#include "settings/settings_store.h"
#include "shell/com_call.h"
#include "shell/extract_command.h"
#include "shell/guids.h"
#include "shell/interface_table.h"
#include "shell/module.h"
#include "shell/registration.h"
#include "ui/resource_ids.h"

namespace shell {
namespace {

// The suffixes the job collects, taken from the job once.
const std::vector<std::u16string>& RawSuffixes() {
  static const std::vector<std::u16string> suffixes = [] {
    job::ExtractionJob job{settings::ExtractionSettings()};
    job.FillRawSuffixes();
    return job.rawSuffixes();
  }();
  return suffixes;
}

// A string the caller frees with CoTaskMemFree.
HRESULT CopyString(const wchar_t* text, LPWSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  return SHStrDupW(text, out);
}

// The item's file-system path, or an empty string when it has none.
std::u16string ItemPath(IShellItem* item) {
  std::u16string path;
  LPWSTR name = nullptr;
  if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &name)) && name != nullptr) {
    path = reinterpret_cast<const char16_t*>(name);
  }
  CoTaskMemFree(name);
  return path;
}

// Whether one item calls for the command. The attributes asked for are
// those the shell keeps in the item's id list: no file is opened for them.
bool ItemWantsCommand(IShellItem* item) {
  SFGAOF attributes = 0;
  // S_FALSE: some of the attributes asked for are not set.
  if (FAILED(item->GetAttributes(SFGAO_FOLDER | SFGAO_STREAM | SFGAO_FILESYSTEM, &attributes))) {
    return false;
  }
  if ((attributes & SFGAO_FILESYSTEM) == 0) return false;
  // A compressed folder is both a folder and a stream: a file to the job.
  if ((attributes & SFGAO_FOLDER) != 0 && (attributes & SFGAO_STREAM) == 0) return true;
  const std::u16string path = ItemPath(item);
  return !path.empty() && job::ExtractionJob::HasRawSuffix(path, RawSuffixes());
}

// Holds one item of the array for as long as it is looked at.
class ItemAt {
 public:
  ItemAt(IShellItemArray* items, DWORD index) {
    if (FAILED(items->GetItemAt(index, &item_))) item_ = nullptr;
  }
  ~ItemAt() {
    if (item_ != nullptr) item_->Release();
  }
  ItemAt(const ItemAt&) = delete;
  ItemAt& operator=(const ItemAt&) = delete;
  IShellItem* get() const { return item_; }

 private:
  IShellItem* item_ = nullptr;
};

}  // namespace

std::wstring CommandIconLocation(const std::wstring& module_path) {
  return module_path + L",-" + std::to_wstring(IDI_COMMAND);
}

bool SelectionWantsCommand(IShellItemArray* items) {
  if (items == nullptr) return false;
  DWORD count = 0;
  if (FAILED(items->GetCount(&count))) return false;
  for (DWORD index = 0; index < count; ++index) {
    ItemAt item(items, index);
    if (item.get() != nullptr && ItemWantsCommand(item.get())) return true;
  }
  return false;
}

HRESULT SelectionPaths(IShellItemArray* items, std::vector<std::u16string>* paths) {
  if (items == nullptr) return E_INVALIDARG;
  DWORD count = 0;
  const HRESULT counted = items->GetCount(&count);
  if (FAILED(counted)) return counted;
  for (DWORD index = 0; index < count; ++index) {
    ItemAt item(items, index);
    if (item.get() == nullptr) continue;
    std::u16string path = ItemPath(item.get());
    if (path.empty() || path.size() >= kSelectionPathUnits) continue;
    paths->push_back(std::move(path));
  }
  return S_OK;
}

HRESULT ExplorerCommand::Create(IUnknown* outer, REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  auto* object = new (std::nothrow) ExplorerCommand();
  if (object == nullptr) return E_OUTOFMEMORY;
  // A failed query destroys the new object with the creation reference.
  const HRESULT result = object->QueryInterface(riid, out);
  object->Release();
  return result;
}

ExplorerCommand::ExplorerCommand() {
  LockModule();
}

ExplorerCommand::~ExplorerCommand() {
  if (site_ != nullptr) site_->Release();
  UnlockModule();
}

STDMETHODIMP ExplorerCommand::QueryInterface(REFIID riid, void** out) {
  static const InterfaceEntry kInterfaces[] = {
      {&IID_IExplorerCommand, InterfaceOffset<ExplorerCommand, IExplorerCommand>()},
      {&IID_IObjectWithSite, InterfaceOffset<ExplorerCommand, IObjectWithSite>()},
      {nullptr, 0},
  };
  return QueryInterfaceFromTable(this, kInterfaces, riid, out);
}

STDMETHODIMP_(ULONG) ExplorerCommand::AddRef() {
  return InterlockedIncrement(&references_);
}

STDMETHODIMP_(ULONG) ExplorerCommand::Release() {
  const LONG left = InterlockedDecrement(&references_);
  if (left == 0) delete this;
  return left;
}

STDMETHODIMP ExplorerCommand::GetTitle(IShellItemArray*, LPWSTR* name) {
  return CallGuarded([&] { return CopyString(kMenuText, name); });
}

STDMETHODIMP ExplorerCommand::GetToolTip(IShellItemArray*, LPWSTR* tip) {
  return CallGuarded([&] { return CopyString(kHelpText, tip); });
}

STDMETHODIMP ExplorerCommand::GetIcon(IShellItemArray*, LPWSTR* icon) {
  if (icon == nullptr) return E_POINTER;
  *icon = nullptr;
  return CallGuarded([&] {
    std::wstring module_path;
    const HRESULT found = RegistrationModulePath(ModuleInstance(), &module_path);
    if (FAILED(found)) return found;
    return CopyString(CommandIconLocation(module_path).c_str(), icon);
  });
}

STDMETHODIMP ExplorerCommand::GetCanonicalName(GUID* name) {
  if (name == nullptr) return E_POINTER;
  *name = kExplorerCommandClsid;
  return S_OK;
}

STDMETHODIMP ExplorerCommand::GetState(IShellItemArray* items, BOOL, EXPCMDSTATE* state) {
  if (state == nullptr) return E_POINTER;
  *state = ECS_HIDDEN;
  // Never slow: names and attributes only, so ok_to_be_slow changes nothing.
  return CallGuarded([&] {
    *state = SelectionWantsCommand(items) ? ECS_ENABLED : ECS_HIDDEN;
    return S_OK;
  });
}

STDMETHODIMP ExplorerCommand::Invoke(IShellItemArray* items, IBindCtx*) {
  if (items == nullptr) return E_INVALIDARG;
  return CallGuarded([&] {
    // The invocation's own selection: nothing else can reach it while the
    // job reads it.
    std::vector<std::u16string> selection;
    const HRESULT listed = SelectionPaths(items, &selection);
    if (FAILED(listed)) return listed;
    // Nothing the job could take: no dialog at all, as for the classic
    // handler, which refuses such a selection in Initialize.
    if (selection.empty()) return E_INVALIDARG;
    RunExtractCommand(&selection);
    return S_OK;
  });
}

STDMETHODIMP ExplorerCommand::GetFlags(EXPCMDFLAGS* flags) {
  if (flags == nullptr) return E_POINTER;
  *flags = ECF_DEFAULT;
  return S_OK;
}

STDMETHODIMP ExplorerCommand::EnumSubCommands(IEnumExplorerCommand** commands) {
  if (commands != nullptr) *commands = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP ExplorerCommand::SetSite(IUnknown* site) {
  // The new site is held before the old one is let go: releasing the old
  // one may run foreign code that calls back.
  if (site != nullptr) site->AddRef();
  IUnknown* old = site_;
  site_ = site;
  if (old != nullptr) old->Release();
  return S_OK;
}

STDMETHODIMP ExplorerCommand::GetSite(REFIID riid, void** site) {
  if (site == nullptr) return E_POINTER;
  *site = nullptr;
  if (site_ == nullptr) return E_FAIL;
  return CallGuarded([&] { return site_->QueryInterface(riid, site); });
}

}  // namespace shell
