// Process-wide state of the COM server module: its instance handle and the
// lock count that decides whether the module may be unloaded.
#pragma once

#include <windows.h>

namespace shell {

// Recorded on process attach, cleared on detach.
void SetModuleInstance(HINSTANCE instance);
HINSTANCE ModuleInstance();

// The lock count: raised by every live ShellExtension and every outstanding
// LockServer(TRUE). Changed only with interlocked operations.
void LockModule();
void UnlockModule();
LONG ModuleLockCount();

}  // namespace shell
