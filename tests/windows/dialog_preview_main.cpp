// Shows one dialog of the module for a screenshot:
//   dialog_preview.exe preferences MARKER
//   dialog_preview.exe progress MARKER FOLDER
// The preferences dialog shows the defaults; the progress dialog runs a real
// job over FOLDER. MARKER is created once the dialog is on screen; the
// dialog closes itself after a few seconds.
#include <windows.h>

#include <string>
#include <vector>

#include "job/extraction_job.h"
#include "settings/settings_store.h"
#include "ui/dialog_base.h"
#include "ui/preferences_dialog.h"
#include "ui/progress_dialog.h"
#include "ui/resource_ids.h"

namespace {

constexpr UINT_PTR kMarkerTimer = 0x5151;
constexpr UINT kMarkerDelayMs = 1500;
constexpr UINT kCloseDelayMs = 6000;

std::wstring g_marker;

// Creates the marker once the window has been painted, then ends the
// dialog later, whoever owns it.
void CALLBACK MarkShown(HWND window, UINT, UINT_PTR id, DWORD) {
  static int ticks = 0;
  if (++ticks == 1) {
    HANDLE file = CreateFileW(g_marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return;
  }
  KillTimer(window, id);
  PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
}

template <class Dialog>
class Previewed : public Dialog {
 public:
  using Dialog::Dialog;
  void OnInitDialog() override {
    Dialog::OnInitDialog();
    SetTimer(this->Window(), kMarkerTimer, kMarkerDelayMs, &MarkShown);
    SetTimer(this->Window(), kMarkerTimer + 1, kCloseDelayMs, &MarkShown);
  }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const std::wstring which = argv[1];
  g_marker = argv[2];
  if (which == L"preferences") {
    settings::SettingsStore store;
    Previewed<ui::PreferencesDialog> dialog(&store);
    ui::DialogBase::ShowModal(&dialog, IDD_PREFERENCES);
    return 0;
  }
  if (which == L"progress" && argc >= 4) {
    std::vector<std::u16string> selection = {reinterpret_cast<const char16_t*>(argv[3])};
    settings::ExtractionSettings options;
    job::ExtractionJob job(options);
    job.SetSelection(&selection);
    job.FillRawSuffixes();
    Previewed<ui::ProgressDialog> dialog(&job);
    ui::DialogBase::ShowModal(&dialog, IDD_PROGRESS);
    return 0;
  }
  return 2;
}
