// Process-wide state of the COM server module: its instance handle and the
// lock count that decides whether the module may be unloaded.
#pragma once

#include <windows.h>

#include "settings/settings_store.h"

namespace shell {

// Recorded on process attach, cleared on detach.
void SetModuleInstance(HINSTANCE instance);
HINSTANCE ModuleInstance();

// The lock count: raised by every live ShellExtension and every outstanding
// LockServer(TRUE). Changed only with interlocked operations.
void LockModule();
void UnlockModule();
LONG ModuleLockCount();

// The settings store of the loaded module: empty when the module loads,
// reloaded from the settings file by every invocation of the command.
settings::SettingsStore& ModuleSettingsStore();

}  // namespace shell
