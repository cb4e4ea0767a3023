// Plays the Explorer for tests/windows/installer_test.sh: creates the
// context-menu handler through COM, so the registry decides which module
// is loaded, prints that module's full path and keeps it loaded until its
// standard input ends. Exit code 0 when the handler was created, 1 if not.
// clang-format off
#include <windows.h>
#include <shlobj.h>
// clang-format on

#include <cstdio>

#include "shell/guids.h"

int wmain() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  IShellExtInit* handler = nullptr;
  const HRESULT created =
      CoCreateInstance(shell::kShellExtensionClsid, nullptr, CLSCTX_INPROC_SERVER,
                       shell::kIidShellExtInit, reinterpret_cast<void**>(&handler));
  if (FAILED(created)) {
    std::printf("CoCreateInstance failed: 0x%08lx\n", static_cast<unsigned long>(created));
    std::fflush(stdout);
    CoUninitialize();
    return 1;
  }
  wchar_t path[MAX_PATH] = {};
  const HMODULE module = GetModuleHandleW(L"RididaViz.DLL");
  const DWORD length = module != nullptr ? GetModuleFileNameW(module, path, MAX_PATH) : 0;
  std::printf("loaded %ls\n", length > 0 ? path : L"(unknown module)");
  std::fflush(stdout);

  // Held until the test closes our input.
  char buffer[64];
  DWORD read = 0;
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  while (ReadFile(input, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
  }
  handler->Release();
  CoUninitialize();
  return 0;
}
