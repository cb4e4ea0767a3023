#include "shell/module.h"

#include "ui/dialog_base.h"

namespace shell {
namespace {
HINSTANCE g_module_instance = nullptr;
volatile LONG g_lock_count = 0;
}  // namespace

void SetModuleInstance(HINSTANCE instance) {
  g_module_instance = instance;
  // Both dialogs are loaded from the module's own resources.
  ui::SetResourceModule(instance);
}

HINSTANCE ModuleInstance() {
  return g_module_instance;
}

void LockModule() {
  InterlockedIncrement(&g_lock_count);
}
void UnlockModule() {
  InterlockedDecrement(&g_lock_count);
}

LONG ModuleLockCount() {
  return InterlockedCompareExchange(&g_lock_count, 0, 0);
}

}  // namespace shell
