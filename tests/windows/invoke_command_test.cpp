// The whole command through RididaViz.DLL: the Explorer's part is played by
// the test (factory, Initialize with a file drop, InvokeCommand), the
// user's by a helper thread that answers both dialogs. Checked afterwards:
// the files written, the counts shown and the settings file.
#include <gtest/gtest.h>

// clang-format off
#include <windows.h>
#include <shlobj.h>
// clang-format on

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "shell/guids.h"
#include "tests/fixtures/camera_builder.h"
#include "tests/fixtures/jpeg.h"
#include "tests/windows/win_test_support.h"
#include "ui/resource_ids.h"

namespace {

namespace fs = std::filesystem;
using fixtures::Bytes;
using wintest::ClickButton;
using wintest::DialogScript;
using wintest::WaitForDialog;
using wintest::WaitUntil;
using wintest::WindowText;

uint32_t Word(const Bytes& bytes, size_t at) {
  return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
         uint32_t{bytes[at + 3]} << 24;
}

class InvokeCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!wintest::HaveDisplay()) GTEST_SKIP() << "no display for windows";
    ASSERT_NE(wintest::TheModule().handle, nullptr);
    CreateHandler(&init_, &menu_);

    // The user's own settings file is put aside for the test.
    settings_ = wintest::SettingsFile();
    had_settings_ = fs::exists(settings_);
    if (had_settings_) saved_settings_ = wintest::ReadBytes(settings_);
    std::error_code ignored;
    fs::remove(settings_, ignored);

    folder_ =
        fs::temp_directory_path() / ("rawlift_invoke_" + std::to_string(GetCurrentProcessId()));
    fs::remove_all(folder_, ignored);
    fs::create_directories(folder_ / "sub");
  }
  void TearDown() override {
    if (menu_ != nullptr) menu_->Release();
    if (init_ != nullptr) init_->Release();
    std::error_code ignored;
    fs::remove(settings_, ignored);
    if (had_settings_) wintest::WriteBytes(settings_, saved_settings_);
    fs::remove_all(folder_, ignored);
    // The module stays loaded: the process ends soon, and the COM rules
    // leave unloading to DllCanUnloadNow's caller.
  }

  // A handler object of the module, as the Explorer makes one per window.
  void CreateHandler(IShellExtInit** init, IContextMenu** menu) {
    const wintest::GetClassObjectFn get_class_object = wintest::TheModule().getClassObject;
    ASSERT_NE(get_class_object, nullptr);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(get_class_object(shell::kShellExtensionClsid, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    ASSERT_EQ(
        factory->CreateInstance(nullptr, shell::kIidShellExtInit, reinterpret_cast<void**>(init)),
        S_OK);
    factory->Release();
    ASSERT_EQ((*init)->QueryInterface(shell::kIidContextMenu, reinterpret_cast<void**>(menu)),
              S_OK);
  }

  static HRESULT InvokeOn(IShellExtInit* init, IContextMenu* menu, const fs::path& folder) {
    wintest::DropDataObject drop({folder.wstring()});
    EXPECT_EQ(init->Initialize(nullptr, &drop, nullptr), S_OK);
    CMINVOKECOMMANDINFO info = {};
    info.cbSize = sizeof(info);
    info.lpVerb = MAKEINTRESOURCEA(0);
    return menu->InvokeCommand(&info);
  }
  HRESULT InvokeOnFolder() { return InvokeOn(init_, menu_, folder_); }

  IShellExtInit* init_ = nullptr;
  IContextMenu* menu_ = nullptr;
  fs::path folder_;
  fs::path settings_;
  bool had_settings_ = false;
  Bytes saved_settings_;
};

TEST_F(InvokeCommandTest, ExtractWritesFullSizeAndReducedCopiesAndTheSettingsFile) {
  wintest::MakeShots(folder_);
  std::wstring summary, button;
  bool defaults_shown = false;
  HRESULT result = E_FAIL;
  {
    DialogScript user([&] {
      HWND preferences = WaitForDialog(L"Rawlift preferences");
      ASSERT_NE(preferences, nullptr);
      defaults_shown = wintest::IsChecked(preferences, IDC_PREF_NATIVE_ONLY) &&
                       WindowText(GetDlgItem(preferences, IDC_PREF_MAX_WIDTH)) == L"800";
      SendMessageW(GetDlgItem(preferences, IDC_PREF_NATIVE_ONLY), BM_SETCHECK, BST_UNCHECKED, 0);
      SendMessageW(GetDlgItem(preferences, IDC_PREF_NATIVE_AND_SMALLER), BM_SETCHECK, BST_CHECKED,
                   0);
      SendMessageW(preferences, WM_COMMAND, MAKEWPARAM(IDC_PREF_NATIVE_AND_SMALLER, BN_CLICKED), 0);
      wintest::SetControlText(preferences, IDC_PREF_MAX_WIDTH, L"200");
      wintest::SetControlText(preferences, IDC_PREF_MAX_HEIGHT, L"200");
      ClickButton(preferences, IDC_PREF_EXTRACT);

      HWND progress = WaitForDialog(L"Rawlift");
      ASSERT_NE(progress, nullptr);
      ASSERT_TRUE(WaitUntil(
          [&] { return WindowText(GetDlgItem(progress, IDC_PROGRESS_CLOSE)) == L"Close"; }, 60000));
      summary = WindowText(GetDlgItem(progress, IDC_PROGRESS_TEXT));
      button = WindowText(GetDlgItem(progress, IDC_PROGRESS_CLOSE));
      ClickButton(progress, IDC_PROGRESS_CLOSE);
    });
    result = InvokeOnFolder();
  }
  EXPECT_EQ(result, S_OK);
  EXPECT_TRUE(defaults_shown);
  EXPECT_EQ(summary.rfind(L"Files Scanned: 2\nJPEGs Extracted: 2 Total - 2 New\nTotal Time: ", 0),
            0u)
      << std::string(summary.begin(), summary.end());
  EXPECT_EQ(button, L"Close");

  for (const char* base : {"DSC_0001", "IMG_0002"}) {
    SCOPED_TRACE(base);
    const fs::path full = folder_ / "extracted_jpegs" / (std::string(base) + "_RLFT.jpg");
    fixtures::JpegFrame frame;
    ASSERT_TRUE(fixtures::ReadJpegFrame(wintest::ReadBytes(full), &frame));
    EXPECT_EQ(frame.width, 320);
    EXPECT_EQ(frame.height, 240);
    // 320 by 240 within 200 by 200: 200 by 150, named after its width.
    const fs::path reduced =
        folder_ / "extracted_jpegs_200" / (std::string(base) + "_RLFT_200.jpg");
    ASSERT_TRUE(fixtures::ReadJpegFrame(wintest::ReadBytes(reduced), &frame));
    EXPECT_EQ(frame.width, 200);
    EXPECT_EQ(frame.height, 150);
  }
  EXPECT_FALSE(fs::exists(folder_ / "sub" / "extracted_jpegs"));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_ / "extracted_jpegs"), {}), 2);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_ / "extracted_jpegs_200"), {}), 2);

  const Bytes stored = wintest::ReadBytes(settings_);
  ASSERT_EQ(stored.size(), 64u);
  EXPECT_EQ(std::string(stored.begin(), stored.begin() + 4), "tflr");
  EXPECT_EQ(Word(stored, 4), 1u);     // one section
  EXPECT_EQ(Word(stored, 12), 4u);    // four entries
  EXPECT_EQ(Word(stored, 24), 1u);    // sizeMode NativeAndSmaller
  EXPECT_EQ(Word(stored, 36), 200u);  // maxWidth
  EXPECT_EQ(Word(stored, 48), 200u);  // maxHeight
  EXPECT_EQ(Word(stored, 60), 1u);    // addSuffix
}

TEST_F(InvokeCommandTest, TheSelectionCannotChangeWhileTheCommandRuns) {
  wintest::MakeShots(folder_);
  fs::create_directories(folder_ / "other");
  wintest::WriteBytes(folder_ / "other" / "X.NEF", fixtures::MakeNefLike({}, fixtures::MakeJpeg()));
  HRESULT during = S_OK;
  std::wstring summary;
  HRESULT result = E_FAIL;
  {
    DialogScript user([&] {
      HWND preferences = WaitForDialog(L"Rawlift preferences");
      ASSERT_NE(preferences, nullptr);
      // The modal loop lets calls reach the object; the job will read the
      // selection in place, so it must stay as it was.
      wintest::DropDataObject more({(folder_ / "other").wstring()});
      during = init_->Initialize(nullptr, &more, nullptr);
      ClickButton(preferences, IDC_PREF_EXTRACT);
      HWND progress = WaitForDialog(L"Rawlift");
      ASSERT_NE(progress, nullptr);
      ASSERT_TRUE(WaitUntil(
          [&] { return WindowText(GetDlgItem(progress, IDC_PROGRESS_CLOSE)) == L"Close"; }, 60000));
      summary = WindowText(GetDlgItem(progress, IDC_PROGRESS_TEXT));
      ClickButton(progress, IDC_PROGRESS_CLOSE);
    });
    result = InvokeOnFolder();
  }
  EXPECT_EQ(result, S_OK);
  EXPECT_EQ(during, E_INVALIDARG);
  EXPECT_EQ(summary.rfind(L"Files Scanned: 2\n", 0), 0u);
  EXPECT_FALSE(fs::exists(folder_ / "other" / "extracted_jpegs"));
  // Once the command has returned, the object takes selections again.
  wintest::DropDataObject later({(folder_ / "other").wstring()});
  EXPECT_EQ(init_->Initialize(nullptr, &later, nullptr), S_OK);
}

TEST_F(InvokeCommandTest, CancelRunsNoJobAndWritesNoSettings) {
  wintest::MakeShots(folder_);
  bool progress_shown = false;
  HRESULT result = E_FAIL;
  {
    DialogScript user([&] {
      HWND preferences = WaitForDialog(L"Rawlift preferences");
      ASSERT_NE(preferences, nullptr);
      ClickButton(preferences, IDC_PREF_CANCEL);
      progress_shown = WaitForDialog(L"Rawlift", 1500) != nullptr;
    });
    result = InvokeOnFolder();
  }
  EXPECT_EQ(result, S_OK);
  EXPECT_FALSE(progress_shown);
  EXPECT_FALSE(fs::exists(folder_ / "extracted_jpegs"));
  // Nothing was confirmed: writing back what was loaded could only undo
  // what another invocation stored meanwhile.
  EXPECT_FALSE(fs::exists(settings_));
}

// Two Explorer windows run the command at once in one process, on two
// threads. Each invocation has its own settings: the second one's dialog
// shows what the first has just confirmed (it used to share one store with
// the running first invocation and reload the not yet written file into it,
// so it showed the old file and the first one's choices were lost), and each
// job writes by its own choices. GDI+ stays up for both.
TEST_F(InvokeCommandTest, TwoInvocationsAtOnceEachRunByTheirOwnChoices) {
  wintest::MakeShots(folder_);
  const fs::path second_folder = folder_.wstring() + L"_second";
  std::error_code ignored;
  fs::remove_all(second_folder, ignored);
  fs::create_directories(second_folder);
  wintest::WriteBytes(second_folder / "DSC_0009.NEF", wintest::ReadBytes(folder_ / "DSC_0001.NEF"));
  IShellExtInit* second_init = nullptr;
  IContextMenu* second_menu = nullptr;
  CreateHandler(&second_init, &second_menu);
  ASSERT_NE(second_menu, nullptr);

  const DWORD first_thread = GetCurrentThreadId();
  std::atomic<DWORD> second_thread{0};
  std::atomic<HRESULT> second_result{E_PENDING};
  bool second_saw_first_choices = false;
  std::wstring first_summary, second_summary;
  HRESULT result = E_FAIL;
  {
    DialogScript user([&] {
      HWND preferences = wintest::WaitForDialogOfThread(L"Rawlift preferences", first_thread);
      ASSERT_NE(preferences, nullptr);
      SendMessageW(GetDlgItem(preferences, IDC_PREF_NATIVE_ONLY), BM_SETCHECK, BST_UNCHECKED, 0);
      SendMessageW(GetDlgItem(preferences, IDC_PREF_NATIVE_AND_SMALLER), BM_SETCHECK, BST_CHECKED,
                   0);
      wintest::SetControlText(preferences, IDC_PREF_MAX_WIDTH, L"200");
      wintest::SetControlText(preferences, IDC_PREF_MAX_HEIGHT, L"200");
      ClickButton(preferences, IDC_PREF_EXTRACT);
      HWND first_progress = wintest::WaitForDialogOfThread(L"Rawlift", first_thread);
      ASSERT_NE(first_progress, nullptr);

      // The second window's command, while the first one's progress shows.
      std::thread second([&] {
        second_thread = GetCurrentThreadId();
        second_result = InvokeOn(second_init, second_menu, second_folder);
      });
      ASSERT_TRUE(WaitUntil([&] { return second_thread != 0; }));
      HWND second_preferences =
          wintest::WaitForDialogOfThread(L"Rawlift preferences", second_thread);
      if (second_preferences != nullptr) {
        second_saw_first_choices =
            wintest::IsChecked(second_preferences, IDC_PREF_NATIVE_AND_SMALLER) &&
            WindowText(GetDlgItem(second_preferences, IDC_PREF_MAX_WIDTH)) == L"200";
        SendMessageW(GetDlgItem(second_preferences, IDC_PREF_NATIVE_AND_SMALLER), BM_SETCHECK,
                     BST_UNCHECKED, 0);
        SendMessageW(GetDlgItem(second_preferences, IDC_PREF_NATIVE_ONLY), BM_SETCHECK, BST_CHECKED,
                     0);
        SendMessageW(GetDlgItem(second_preferences, IDC_PREF_ADD_SUFFIX), BM_SETCHECK,
                     BST_UNCHECKED, 0);
        ClickButton(second_preferences, IDC_PREF_EXTRACT);
        HWND second_progress = wintest::WaitForDialogOfThread(L"Rawlift", second_thread);
        if (second_progress != nullptr) {
          WaitUntil(
              [&] {
                return WindowText(GetDlgItem(second_progress, IDC_PROGRESS_CLOSE)) == L"Close";
              },
              60000);
          second_summary = WindowText(GetDlgItem(second_progress, IDC_PROGRESS_TEXT));
          ClickButton(second_progress, IDC_PROGRESS_CLOSE);
        }
      }
      second.join();
      // The first dialog closes itself ten seconds after its run; close it
      // now if it is still there.
      if (IsWindow(first_progress)) {
        first_summary = WindowText(GetDlgItem(first_progress, IDC_PROGRESS_TEXT));
        ClickButton(first_progress, IDC_PROGRESS_CLOSE);
      }
    });
    result = InvokeOnFolder();
  }
  second_menu->Release();
  second_init->Release();
  EXPECT_EQ(result, S_OK);
  EXPECT_EQ(second_result, S_OK);
  EXPECT_TRUE(second_saw_first_choices);
  EXPECT_EQ(second_summary.rfind(L"Files Scanned: 1\nJPEGs Extracted: 1 Total - 1 New", 0), 0u)
      << std::string(second_summary.begin(), second_summary.end());

  // The first run: full size with the suffix and reduced copies (GDI+).
  for (const char* base : {"DSC_0001", "IMG_0002"}) {
    SCOPED_TRACE(base);
    EXPECT_TRUE(fs::exists(folder_ / "extracted_jpegs" / (std::string(base) + "_RLFT.jpg")));
    fixtures::JpegFrame frame;
    ASSERT_TRUE(fixtures::ReadJpegFrame(
        wintest::ReadBytes(folder_ / "extracted_jpegs_200" / (std::string(base) + "_RLFT_200.jpg")),
        &frame));
    EXPECT_EQ(frame.width, 200);
  }
  // The second: full size only, without the suffix.
  EXPECT_TRUE(fs::exists(second_folder / "extracted_jpegs" / "DSC_0009.jpg"));
  EXPECT_FALSE(fs::exists(second_folder / "extracted_jpegs_200"));
  // The choices confirmed last are the ones stored.
  const Bytes stored = wintest::ReadBytes(settings_);
  ASSERT_EQ(stored.size(), 64u);
  EXPECT_EQ(Word(stored, 24), 0u);  // sizeMode NativeOnly
  EXPECT_EQ(Word(stored, 36), 200u);
  EXPECT_EQ(Word(stored, 60), 0u);  // no suffix
  fs::remove_all(second_folder, ignored);
}

}  // namespace
