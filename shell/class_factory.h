// The class table of the module and a generic class factory over it.
#pragma once

// clang-format off
#include <windows.h>
#include <unknwn.h>
// clang-format on

namespace shell {

// Creates an object of one class: as the inner object of an aggregate when
// `outer` is given (then `riid` is IUnknown), and queries it for `riid`.
using CreateFunction = HRESULT (*)(IUnknown* outer, REFIID riid, void** out);

struct ClassEntry {
  const CLSID* clsid;
  CreateFunction create;
};

// One factory per class entry; it does not count towards the module's lock
// count, so a factory held by COM's cache does not pin the module.
class ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(CreateFunction create) : create_(create) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** out) override;
  STDMETHODIMP LockServer(BOOL lock) override;

 private:
  ~ClassFactory() = default;
  CreateFunction create_;
  volatile LONG references_ = 1;  // the module's own reference
};

// The factory of `clsid` (created on first use under a critical section,
// then kept until ReleaseClassFactories), queried for `riid`.
HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** out);

// Module attach and detach.
void InitializeClassTable();
void ReleaseClassFactories();

}  // namespace shell
