// Entry points of RididaViz.DLL, the in-process COM server.
// clang-format off
#include <windows.h>
#include <objbase.h>
// clang-format on

#include "shell/class_factory.h"
#include "shell/com_call.h"
#include "shell/module.h"
#include "shell/registration.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    shell::InitializeClassTable();
    shell::SetModuleInstance(instance);
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH) {
    shell::ReleaseClassFactories();
    shell::SetModuleInstance(nullptr);
  }
  return TRUE;
}

STDAPI DllCanUnloadNow() {
  return shell::ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* out) {
  return shell::GetClassObject(clsid, riid, out);
}

// The registry script is parsed into strings and vectors: guarded.
STDAPI DllRegisterServer() {
  return shell::CallGuarded([] {
    shell::RegistryTarget target;
    target.ntFamily = shell::IsWindowsNtFamily();
    return shell::RegisterServer(shell::ModuleInstance(), target);
  });
}

STDAPI DllUnregisterServer() {
  return shell::CallGuarded([] {
    shell::RegistryTarget target;
    target.ntFamily = shell::IsWindowsNtFamily();
    return shell::UnregisterServer(shell::ModuleInstance(), target);
  });
}
