// The real dialogs under wine, driven from a helper thread while the test's
// thread runs the modal loop: the framework's routing and GDI+ lifetime, the
// preferences dialog over a settings store, and the progress dialog over a
// job whose previews the test releases one at a time.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "job/extraction_job.h"
#include "platform/graphics_session.h"
#include "settings/settings_store.h"
#include "tests/fixtures/jpeg.h"
#include "tests/windows/win_test_support.h"
#include "ui/dialog_base.h"
#include "ui/preferences_dialog.h"
#include "ui/progress_dialog.h"
#include "ui/resource_ids.h"

namespace {

namespace fs = std::filesystem;
using wintest::ClickButton;
using wintest::DialogScript;
using wintest::IsChecked;
using wintest::IsEnabled;
using wintest::WaitForDialog;
using wintest::WaitUntil;
using wintest::WindowText;

constexpr wchar_t kPreferencesCaption[] = L"Rawlift preferences";
constexpr wchar_t kProgressCaption[] = L"Rawlift";

#define REQUIRE_DISPLAY()                                                  \
  do {                                                                     \
    if (!wintest::HaveDisplay()) GTEST_SKIP() << "no display for windows"; \
  } while (0)

// ---- The framework ----

// Records what reaches the virtual operations.
class RecordingDialog : public ui::DialogBase {
 public:
  void OnInitDialog() override { ++inits; }
  void OnDestroy() override { ++destroys; }
  void OnOK() override { ++oks; }
  int inits = 0, destroys = 0, oks = 0;
};

TEST(DialogFrameworkTest, OnlyAClickOnOkOrCancelEndsTheDialog) {
  REQUIRE_DISPLAY();
  RecordingDialog dialog;
  std::atomic<bool> still_open_after_notification{false};
  DialogScript script([&] {
    HWND window = WaitForDialog(kProgressCaption);
    ASSERT_NE(window, nullptr);
    // Id 1 with a notification code other than a click: nothing happens.
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, EN_CHANGE), 0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(77, BN_CLICKED), 0);
    still_open_after_notification = IsWindow(window) && IsWindowVisible(window);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  });
  EXPECT_EQ(ui::DialogBase::ShowModal(&dialog, IDD_PROGRESS), IDOK);
  EXPECT_TRUE(still_open_after_notification);
  EXPECT_EQ(dialog.inits, 1);
  EXPECT_EQ(dialog.oks, 1);
  EXPECT_EQ(dialog.destroys, 1);
  EXPECT_EQ(dialog.Window() != nullptr, true);
}

TEST(DialogFrameworkTest, EscapeEndsWithCancelWithoutOnOK) {
  REQUIRE_DISPLAY();
  RecordingDialog dialog;
  DialogScript script([&] {
    HWND window = WaitForDialog(kProgressCaption);
    ASSERT_NE(window, nullptr);
    wintest::PressKey(GetDlgItem(window, IDC_PROGRESS_CLOSE), VK_ESCAPE);
  });
  EXPECT_EQ(ui::DialogBase::ShowModal(&dialog, IDD_PROGRESS), IDCANCEL);
  EXPECT_EQ(dialog.oks, 0);
  EXPECT_EQ(dialog.destroys, 1);
}

TEST(DialogFrameworkTest, UnboundWindowsAndRepeatedShowsAreRefused) {
  EXPECT_EQ(ui::DialogBase::ShowModal(nullptr, IDD_PROGRESS), -1);
  REQUIRE_DISPLAY();  // every window below needs one, even a plain static
  // A window that never was a dialog of ours: no object, default answer.
  HWND plain =
      CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(ui::DialogBase::DialogProcedure(plain, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0), FALSE);
  EXPECT_EQ(ui::DialogBase::DialogProcedure(plain, WM_ERASEBKGND, 0, 0), FALSE);
  // An initialisation without an object leaves the window unbound.
  EXPECT_EQ(ui::DialogBase::DialogProcedure(plain, WM_INITDIALOG, 0, 0), TRUE);
  EXPECT_EQ(GetWindowLongPtrW(plain, GWLP_USERDATA), 0);
  EXPECT_EQ(ui::DialogBase::DialogProcedure(plain, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0), FALSE);
  DestroyWindow(plain);

  RecordingDialog dialog;
  {
    DialogScript script([&] {
      HWND window = WaitForDialog(kProgressCaption);
      ASSERT_NE(window, nullptr);
      ClickButton(window, IDCANCEL);
    });
    EXPECT_EQ(ui::DialogBase::ShowModal(&dialog, IDD_PROGRESS), IDCANCEL);
  }
  // A second window would share the first one's binding.
  EXPECT_EQ(ui::DialogBase::ShowModal(&dialog, IDD_PROGRESS), -1);
  EXPECT_EQ(dialog.inits, 1);
}

TEST(DialogFrameworkTest, GdiplusRunsWhileAnyDialogObjectLives) {
  ASSERT_EQ(platform::GraphicsSession::LiveSessions(), 0);
  EXPECT_FALSE(platform::GraphicsSession::LibraryRunning());
  {
    RecordingDialog first;
    EXPECT_TRUE(platform::GraphicsSession::LibraryRunning());
    {
      RecordingDialog second;
      EXPECT_EQ(platform::GraphicsSession::LiveSessions(), 2);
    }
    EXPECT_TRUE(platform::GraphicsSession::LibraryRunning()) << "the first object still lives";
  }
  EXPECT_EQ(platform::GraphicsSession::LiveSessions(), 0);
  EXPECT_FALSE(platform::GraphicsSession::LibraryRunning());
}

// ---- The preferences dialog ----

struct PreferencesView {
  bool nativeOnly = false, nativeAndSmaller = false, addSuffix = false;
  bool widthEnabled = false, heightEnabled = false, spinsEnabled = false;
  std::wstring width, height;
  int spinLow = 0, spinHigh = 0;
  UINT accelSeconds = 99, accelStep = 0;
};

PreferencesView Look(HWND window) {
  PreferencesView view;
  view.nativeOnly = IsChecked(window, IDC_PREF_NATIVE_ONLY);
  view.nativeAndSmaller = IsChecked(window, IDC_PREF_NATIVE_AND_SMALLER);
  view.addSuffix = IsChecked(window, IDC_PREF_ADD_SUFFIX);
  view.widthEnabled = IsEnabled(window, IDC_PREF_MAX_WIDTH);
  view.heightEnabled = IsEnabled(window, IDC_PREF_MAX_HEIGHT);
  view.spinsEnabled =
      IsEnabled(window, IDC_PREF_MAX_WIDTH_SPIN) && IsEnabled(window, IDC_PREF_MAX_HEIGHT_SPIN);
  view.width = WindowText(GetDlgItem(window, IDC_PREF_MAX_WIDTH));
  view.height = WindowText(GetDlgItem(window, IDC_PREF_MAX_HEIGHT));
  SendMessageW(GetDlgItem(window, IDC_PREF_MAX_HEIGHT_SPIN), UDM_GETRANGE32,
               reinterpret_cast<WPARAM>(&view.spinLow), reinterpret_cast<LPARAM>(&view.spinHigh));
  UDACCEL accel = {};
  if (SendMessageW(GetDlgItem(window, IDC_PREF_MAX_WIDTH_SPIN), UDM_GETACCEL, 1,
                   reinterpret_cast<LPARAM>(&accel)) >= 1) {
    view.accelSeconds = accel.nSec;
    view.accelStep = accel.nInc;
  }
  return view;
}

class PreferencesTest : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_DISPLAY(); }
  // Shows the dialog over store_ while `script` runs; returns the end code.
  INT_PTR Show(const std::function<void(HWND)>& script) {
    ui::PreferencesDialog dialog(&store_);
    INT_PTR result = 0;
    {
      DialogScript driver([&] {
        HWND window = WaitForDialog(kPreferencesCaption);
        ASSERT_NE(window, nullptr);
        script(window);
      });
      result = ui::DialogBase::ShowModal(&dialog, IDD_PREFERENCES);
    }
    extractRequested_ = dialog.extractRequested();
    return result;
  }
  settings::ExtractionSettings Stored() const {
    settings::ExtractionSettings record;
    settings::ReadExtractionSettings(store_, &record);
    return record;
  }
  settings::SettingsStore store_;
  bool extractRequested_ = false;
};

TEST_F(PreferencesTest, AnEmptyStoreShowsTheDefaultsAndSaveStoresThem) {
  PreferencesView view;
  EXPECT_EQ(Show([&](HWND window) {
              view = Look(window);
              ClickButton(window, IDC_PREF_SAVE);
            }),
            IDOK);
  EXPECT_TRUE(view.nativeOnly);
  EXPECT_FALSE(view.nativeAndSmaller);
  EXPECT_FALSE(view.widthEnabled);
  EXPECT_FALSE(view.heightEnabled);
  EXPECT_TRUE(view.spinsEnabled);
  EXPECT_EQ(view.width, L"800");
  EXPECT_EQ(view.height, L"800");
  EXPECT_TRUE(view.addSuffix);
  EXPECT_EQ(view.spinLow, ui::kSpinLow);
  EXPECT_EQ(view.spinHigh, ui::kSpinHigh);
  EXPECT_EQ(view.accelSeconds, 0u);
  EXPECT_EQ(view.accelStep, 50u);
  EXPECT_FALSE(extractRequested_);
  EXPECT_FALSE(store_.Empty());
  EXPECT_EQ(Stored(), settings::ExtractionSettings());
}

TEST_F(PreferencesTest, StoredValuesAreShownAndTypedTextIsStoredAsStrToIntReadsIt) {
  settings::WriteExtractionSettings({settings::NativeAndSmaller, 0, -3, false}, &store_);
  PreferencesView view;
  EXPECT_EQ(Show([&](HWND window) {
              view = Look(window);
              wintest::SetControlText(window, IDC_PREF_MAX_HEIGHT, L"1,200");
              ClickButton(window, IDC_PREF_SAVE);
            }),
            IDOK);
  EXPECT_TRUE(view.nativeAndSmaller);
  EXPECT_TRUE(view.widthEnabled);
  EXPECT_EQ(view.width, L"") << "0 shows as an empty edit";
  EXPECT_EQ(view.height, L"-3");
  EXPECT_FALSE(view.addSuffix);
  // No clamping anywhere: an empty edit stores 0 again, "1,200" stores 1.
  EXPECT_EQ(Stored(), (settings::ExtractionSettings{settings::NativeAndSmaller, 0, 1, false}));

  EXPECT_EQ(Show([&](HWND window) {
              wintest::SetControlText(window, IDC_PREF_MAX_WIDTH, L"wide");
              ClickButton(window, IDC_PREF_SAVE);
            }),
            IDOK);
  EXPECT_EQ(Stored().maxWidth, 0);
}

TEST_F(PreferencesTest, NativeOnlyDisablesTheEditsButSaveStillStoresTheirNumbers) {
  settings::WriteExtractionSettings({settings::NativeAndSmaller, 640, 480, true}, &store_);
  bool disabled = false, enabled_again = false, text_change_ignored = false;
  EXPECT_EQ(
      Show([&](HWND window) {
        SendMessageW(GetDlgItem(window, IDC_PREF_NATIVE_AND_SMALLER), BM_SETCHECK, BST_UNCHECKED,
                     0);
        SendMessageW(GetDlgItem(window, IDC_PREF_NATIVE_ONLY), BM_SETCHECK, BST_CHECKED, 0);
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_PREF_NATIVE_ONLY, BN_CLICKED), 0);
        disabled =
            !IsEnabled(window, IDC_PREF_MAX_WIDTH) && !IsEnabled(window, IDC_PREF_MAX_HEIGHT);
        // A notification other than a click changes nothing.
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_PREF_NATIVE_AND_SMALLER, BN_SETFOCUS), 0);
        text_change_ignored = !IsEnabled(window, IDC_PREF_MAX_WIDTH);
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_PREF_NATIVE_AND_SMALLER, BN_CLICKED), 0);
        enabled_again = IsEnabled(window, IDC_PREF_MAX_WIDTH);
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_PREF_NATIVE_ONLY, BN_CLICKED), 0);
        ClickButton(window, IDC_PREF_SAVE);
      }),
      IDOK);
  EXPECT_TRUE(disabled);
  EXPECT_TRUE(text_change_ignored);
  EXPECT_TRUE(enabled_again);
  EXPECT_EQ(Stored(), (settings::ExtractionSettings{settings::NativeOnly, 640, 480, true}));
}

TEST_F(PreferencesTest, EnterMeansExtractAndEscapeMeansCancel) {
  EXPECT_EQ(Show([&](HWND window) {
              SendMessageW(GetDlgItem(window, IDC_PREF_ADD_SUFFIX), BM_SETCHECK, BST_UNCHECKED, 0);
              wintest::PressKey(GetDlgItem(window, IDC_PREF_ADD_SUFFIX), VK_RETURN);
            }),
            IDOK);
  EXPECT_TRUE(extractRequested_);
  EXPECT_FALSE(Stored().addSuffix);

  settings::SettingsStore before = store_;
  EXPECT_EQ(Show([&](HWND window) {
              SendMessageW(GetDlgItem(window, IDC_PREF_ADD_SUFFIX), BM_SETCHECK, BST_CHECKED, 0);
              wintest::SetControlText(window, IDC_PREF_MAX_WIDTH, L"123");
              wintest::PressKey(GetDlgItem(window, IDC_PREF_ADD_SUFFIX), VK_ESCAPE);
            }),
            IDCANCEL);
  EXPECT_FALSE(extractRequested_);
  EXPECT_EQ(store_.sections(), before.sections()) << "Cancel stores nothing";
}

// Wine's up-down control treats itself as disabled while its buddy is,
// unlike Windows; there only the enabled case can be shown.
bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Presses the upper arrow of a spin control with the mouse.
void ClickUpperArrow(HWND spin) {
  RECT area;
  GetClientRect(spin, &area);
  const LPARAM upper_arrow = MAKELPARAM(area.right / 2, area.bottom / 4);
  SendMessageW(spin, WM_LBUTTONDOWN, MK_LBUTTON, upper_arrow);
  SendMessageW(spin, WM_LBUTTONUP, 0, upper_arrow);
}

TEST_F(PreferencesTest, TheSpinArrowStepsByFiftyAndWorksWhileTheEditIsDisabled) {
  settings::WriteExtractionSettings({settings::NativeAndSmaller, 800, 975, true}, &store_);
  std::wstring enabled_step, clamped_by_range, disabled_step;
  Show([&](HWND window) {
    ClickUpperArrow(GetDlgItem(window, IDC_PREF_MAX_WIDTH_SPIN));
    enabled_step = WindowText(GetDlgItem(window, IDC_PREF_MAX_WIDTH));
    ClickUpperArrow(GetDlgItem(window, IDC_PREF_MAX_HEIGHT_SPIN));
    clamped_by_range = WindowText(GetDlgItem(window, IDC_PREF_MAX_HEIGHT));
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDC_PREF_NATIVE_ONLY, BN_CLICKED), 0);
    ClickUpperArrow(GetDlgItem(window, IDC_PREF_MAX_WIDTH_SPIN));
    disabled_step = WindowText(GetDlgItem(window, IDC_PREF_MAX_WIDTH));
    ClickButton(window, IDC_PREF_CANCEL);
  });
  EXPECT_EQ(enabled_step, L"850");
  EXPECT_EQ(clamped_by_range, L"1000") << "the arrows stop at the top of the range";
  if (!RunningUnderWine()) {
    EXPECT_EQ(disabled_step, L"900");
  }
}

// ---- The progress dialog ----

// A job whose previews come from memory, one at a time: each call waits
// until the test lets it go, so the dialog can be watched mid-run.
class SteppedJob : public job::ExtractionJob {
 public:
  explicit SteppedJob(const settings::ExtractionSettings& s) : ExtractionJob(s) {
    gate_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  }
  ~SteppedJob() override {
    StopWorker();
    CloseHandle(gate_);
  }
  void Release() { SetEvent(gate_); }
  void ReleaseAll() {
    free_running_ = true;
    SetEvent(gate_);
  }
  std::atomic<int> previewsAsked{0};

 protected:
  engine::ExtractedPreview ExtractPreview(const std::u16string&,
                                          const engine::ExtractOptions&) override {
    ++previewsAsked;
    if (!free_running_) WaitForSingleObject(gate_, 20000);
    const fixtures::Bytes jpeg = fixtures::MakeJpeg();
    engine::ExtractedPreview preview;
    preview.bytes.reset(static_cast<uint8_t*>(std::malloc(jpeg.size())));
    std::memcpy(preview.bytes.get(), jpeg.data(), jpeg.size());
    preview.length = jpeg.size();
    return preview;
  }

 private:
  HANDLE gate_ = nullptr;
  std::atomic<bool> free_running_{false};
};

class ProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_DISPLAY();
    folder_ = fs::temp_directory_path() /
              ("rawlift_progress_" + std::to_string(GetCurrentProcessId()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  void MakeRawFiles(int count) {
    for (int i = 1; i <= count; ++i) {
      std::ofstream(folder_ / ("IMG_000" + std::to_string(i) + ".CR2")) << "raw";
    }
    selection_ = {folder_.u16string()};
  }
  fs::path folder_;
  std::vector<std::u16string> selection_;
};

std::wstring StatusText(HWND window) {
  return WindowText(GetDlgItem(window, IDC_PROGRESS_TEXT));
}
std::wstring ButtonText(HWND window) {
  return WindowText(GetDlgItem(window, IDC_PROGRESS_CLOSE));
}

TEST_F(ProgressTest, ShowsTheCountsAsTheJobRunsThenTheSummaryAndClose) {
  MakeRawFiles(3);
  SteppedJob job(settings::ExtractionSettings{});
  job.SetSelection(&selection_);
  job.FillRawSuffixes();
  ui::ProgressDialog dialog(&job);
  std::wstring first_text, running_text, final_text, running_button, final_button;
  DialogScript script([&] {
    HWND window = WaitForDialog(kProgressCaption);
    ASSERT_NE(window, nullptr);
    // The worker waits in the first file: the collection is published.
    ASSERT_TRUE(WaitUntil([&] { return job.previewsAsked == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return !StatusText(window).empty(); }));
    first_text = StatusText(window);
    job.Release();
    ASSERT_TRUE(WaitUntil([&] { return job.previewsAsked == 2; }));
    ASSERT_TRUE(WaitUntil([&] { return StatusText(window).find(L"1 New") != std::wstring::npos; }));
    running_text = StatusText(window);
    running_button = ButtonText(window);
    job.ReleaseAll();
    ASSERT_TRUE(WaitUntil([&] { return ButtonText(window) == L"Close"; }));
    final_text = StatusText(window);
    final_button = ButtonText(window);
    ClickButton(window, IDC_PROGRESS_CLOSE);
  });
  EXPECT_EQ(ui::DialogBase::ShowModal(&dialog, IDD_PROGRESS), IDCANCEL);
  EXPECT_EQ(first_text, L"Files Scanned: 3\nJPEGs Extracted: 0 Total - 0 New");
  EXPECT_EQ(running_text, L"Files Scanned: 3\nJPEGs Extracted: 1 Total - 1 New");
  EXPECT_EQ(running_button, L"Cancel");
  EXPECT_EQ(
      final_text.rfind(L"Files Scanned: 3\nJPEGs Extracted: 3 Total - 3 New\nTotal Time: ", 0), 0u)
      << std::string(final_text.begin(), final_text.end());
  EXPECT_NE(final_text.find(L" sec\nAverage Time per File: "), std::wstring::npos);
  EXPECT_EQ(final_button, L"Close");
  EXPECT_EQ(job.previewsAsked, 3);
  EXPECT_TRUE(fs::exists(folder_ / "extracted_jpegs" / "IMG_0003_RLFT.jpg"));
}

TEST_F(ProgressTest, CancelWaitsForTheCurrentFileAndStartsNoOther) {
  MakeRawFiles(3);
  SteppedJob job(settings::ExtractionSettings{});
  job.SetSelection(&selection_);
  job.FillRawSuffixes();
  ui::ProgressDialog dialog(&job);
  std::atomic<bool> released{false};
  DialogScript script([&] {
    HWND window = WaitForDialog(kProgressCaption);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return job.previewsAsked == 1; }));
    ClickButton(window, IDC_PROGRESS_CLOSE);
    // The dialog's destruction sets the cancel flag, then waits for the
    // file being worked on.
    ASSERT_TRUE(WaitUntil([&] { return job.Snapshot().cancelRequested; }));
    Sleep(300);
    released = true;
    job.Release();
  });
  EXPECT_EQ(ui::DialogBase::ShowModal(&dialog, IDD_PROGRESS), IDCANCEL);
  EXPECT_TRUE(released) << "the dialog returned before the current file was finished";
  EXPECT_EQ(job.previewsAsked, 1);
  EXPECT_TRUE(fs::exists(folder_ / "extracted_jpegs" / "IMG_0001_RLFT.jpg"))
      << "the file being worked on is finished";
  EXPECT_FALSE(fs::exists(folder_ / "extracted_jpegs" / "IMG_0002_RLFT.jpg"));
}

TEST_F(ProgressTest, NothingFoundShowsTheFinalTextAndClosesItselfAfterAHundredTicks) {
  std::ofstream(folder_ / "notes.txt") << "not raw";
  selection_ = {(folder_ / "notes.txt").u16string()};
  SteppedJob job(settings::ExtractionSettings{});
  job.SetSelection(&selection_);
  job.FillRawSuffixes();
  ui::ProgressDialog dialog(&job);
  std::wstring text, button;
  ULONGLONG shown_at = 0, closed_at = 0;
  DialogScript script([&] {
    HWND window = WaitForDialog(kProgressCaption);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return ButtonText(window) == L"Close"; }));
    shown_at = GetTickCount64();
    text = StatusText(window);
    button = ButtonText(window);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(window); }, 30000));
    closed_at = GetTickCount64();
  });
  EXPECT_EQ(ui::DialogBase::ShowModal(&dialog, IDD_PROGRESS), IDCANCEL);
  EXPECT_EQ(text,
            L"Files Scanned: 0\nJPEGs Extracted: 0 Total - 0 New\nTotal Time: 0 sec\n"
            L"Average Time per File: 0.00 sec");
  EXPECT_EQ(button, L"Close");
  // About ten seconds; the timer's period is a lower bound per tick.
  EXPECT_GE(closed_at - shown_at, 8000u);
  EXPECT_EQ(job.previewsAsked, 0);
}

}  // namespace
