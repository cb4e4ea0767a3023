// Stands in for powershell.exe in tests/windows/installer_test.sh: appends
// its command line (UTF-8, one line) to the file named as its own path plus
// ".log" and fails with exit code 1, as Add-AppxPackage fails where package
// registration is refused. The test then sees which commands the installer
// ran, with which arguments, and that their failure did not stop it.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain() {
  wchar_t self[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 2;
  const std::wstring log_path = std::wstring(self) + L".log";
  const wchar_t* command = GetCommandLineW();
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, command, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return 2;
  std::string line(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, command, -1, line.data(), bytes, nullptr, nullptr);
  line.back() = '\n';  // the terminating NUL
  FILE* log = _wfopen(log_path.c_str(), L"ab");
  if (log == nullptr) return 2;
  const bool written = std::fwrite(line.data(), 1, line.size(), log) == line.size();
  return std::fclose(log) == 0 && written ? 1 : 2;
}
