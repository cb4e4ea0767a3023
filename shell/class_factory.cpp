#include "shell/class_factory.h"

#include <iterator>
#include <new>

#include "shell/com_call.h"
#include "shell/explorer_command.h"
#include "shell/guids.h"
#include "shell/interface_table.h"
#include "shell/module.h"
#include "shell/preview_handler.h"
#include "shell/shell_extension.h"
#include "shell/thumbnail_provider.h"

namespace shell {
namespace {

// The module's classes, without component categories or a description.
const ClassEntry kClassTable[] = {
    {&kShellExtensionClsid, &ShellExtension::Create},
    {&kThumbnailProviderClsid, &ThumbnailProvider::Create},
    {&kPreviewHandlerClsid, &PreviewHandler::Create},
    {&kExplorerCommandClsid, &ExplorerCommand::Create},
};
constexpr size_t kClassCount = std::size(kClassTable);

ClassFactory* g_factories[kClassCount] = {};
CRITICAL_SECTION g_factory_lock;
bool g_factory_lock_ready = false;

}  // namespace

STDMETHODIMP ClassFactory::QueryInterface(REFIID riid, void** out) {
  static const InterfaceEntry kInterfaces[] = {
      {&IID_IClassFactory, InterfaceOffset<ClassFactory, IClassFactory>()},
      {nullptr, 0},
  };
  return QueryInterfaceFromTable(this, kInterfaces, riid, out);
}

STDMETHODIMP_(ULONG) ClassFactory::AddRef() {
  return InterlockedIncrement(&references_);
}

STDMETHODIMP_(ULONG) ClassFactory::Release() {
  const LONG left = InterlockedDecrement(&references_);
  if (left == 0) delete this;
  return left;
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  // An aggregate must hold the inner object's own IUnknown.
  if (outer != nullptr && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  return CallGuarded([&] { return create_(outer, riid, out); });
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock) {
  if (lock) {
    LockModule();
  } else {
    UnlockModule();
  }
  return S_OK;
}

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  for (size_t i = 0; i < kClassCount; ++i) {
    if (!IsEqualCLSID(clsid, *kClassTable[i].clsid)) continue;
    if (!g_factory_lock_ready) return E_UNEXPECTED;
    EnterCriticalSection(&g_factory_lock);
    if (g_factories[i] == nullptr) {
      g_factories[i] = new (std::nothrow) ClassFactory(kClassTable[i].create);
    }
    ClassFactory* factory = g_factories[i];
    LeaveCriticalSection(&g_factory_lock);
    if (factory == nullptr) return E_OUTOFMEMORY;
    return factory->QueryInterface(riid, out);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

void InitializeClassTable() {
  InitializeCriticalSection(&g_factory_lock);
  g_factory_lock_ready = true;
}

void ReleaseClassFactories() {
  if (!g_factory_lock_ready) return;
  for (ClassFactory*& factory : g_factories) {
    if (factory != nullptr) factory->Release();
    factory = nullptr;
  }
  DeleteCriticalSection(&g_factory_lock);
  g_factory_lock_ready = false;
}

}  // namespace shell
