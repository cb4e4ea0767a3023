// The Windows 11 menu's command through RididaViz.DLL, as the Explorer
// calls it: the class factory, SetSite, the title, tooltip and icon, the
// state of many selections (fake shell items that count every call able to
// open a file, over paths that do not exist) and, with an X display, Invoke
// over real shell items of a fixture folder next to the classic handler's
// InvokeCommand over a copy of it: the same dialogs, summary and files.
#include <gtest/gtest.h>

// clang-format off
#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <shellapi.h>
#include <shlwapi.h>
// clang-format on

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "shell/explorer_command.h"
#include "shell/extract_command.h"
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

// Calls of the fake items that could reach the file itself (a stream, a
// property store, a handler); none is allowed while the state is decided.
int g_opening_calls = 0;
int g_name_calls = 0;

// A shell item of a path that need not exist, with the attributes the
// shell would keep in its id list. `named` false: no file-system path.
class FakeItem final : public IShellItem {
 public:
  FakeItem(std::wstring path, SFGAOF attributes, bool named = true)
      : path_(std::move(path)), attributes_(attributes), named_(named) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IShellItem)) {
      *out = static_cast<IShellItem*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override { return --references_; }  // owned by the test
  STDMETHODIMP BindToHandler(IBindCtx*, REFGUID, REFIID, void** out) override {
    ++g_opening_calls;
    *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetParent(IShellItem** parent) override {
    ++g_opening_calls;
    *parent = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetDisplayName(SIGDN form, LPWSTR* name) override {
    ++g_name_calls;
    *name = nullptr;
    if (form != SIGDN_FILESYSPATH || !named_) return E_INVALIDARG;
    return SHStrDupW(path_.c_str(), name);
  }
  STDMETHODIMP GetAttributes(SFGAOF mask, SFGAOF* attributes) override {
    *attributes = attributes_ & mask;
    return *attributes == mask ? S_OK : S_FALSE;
  }
  STDMETHODIMP Compare(IShellItem*, SICHINTF, int* order) override {
    ++g_opening_calls;
    *order = 0;
    return E_NOTIMPL;
  }
  ULONG references() const { return references_; }

 private:
  std::wstring path_;
  SFGAOF attributes_;
  bool named_;
  ULONG references_ = 1;
};

class FakeArray final : public IShellItemArray {
 public:
  explicit FakeArray(std::vector<FakeItem>* items) : items_(items) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IShellItemArray)) {
      *out = static_cast<IShellItemArray*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override { return --references_; }
  STDMETHODIMP BindToHandler(IBindCtx*, REFGUID, REFIID, void** out) override {
    ++g_opening_calls;
    *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetPropertyStore(GETPROPERTYSTOREFLAGS, REFIID, void** out) override {
    ++g_opening_calls;
    *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetPropertyDescriptionList(REFPROPERTYKEY, REFIID, void** out) override {
    ++g_opening_calls;
    *out = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetAttributes(SIATTRIBFLAGS, SFGAOF, SFGAOF* attributes) override {
    *attributes = 0;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetCount(DWORD* count) override {
    *count = static_cast<DWORD>(items_->size());
    return S_OK;
  }
  STDMETHODIMP GetItemAt(DWORD index, IShellItem** item) override {
    if (index >= items_->size()) return E_INVALIDARG;
    *item = &(*items_)[index];
    (*item)->AddRef();
    return S_OK;
  }
  STDMETHODIMP EnumItems(IEnumShellItems** items) override {
    *items = nullptr;
    return E_NOTIMPL;
  }

 private:
  std::vector<FakeItem>* items_;
  ULONG references_ = 1;
};

// A site that counts its references.
class FakeSite final : public IServiceProvider {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IServiceProvider)) {
      *out = static_cast<IServiceProvider*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override { return --references_; }
  STDMETHODIMP QueryService(REFGUID, REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG references_ = 1;
};

// The command as the Explorer gets it: from the module's class factory.
IExplorerCommand* CreateCommand() {
  const wintest::LoadedModule& m = wintest::TheModule();
  IClassFactory* factory = nullptr;
  if (m.getClassObject == nullptr ||
      m.getClassObject(shell::kExplorerCommandClsid, IID_IClassFactory,
                       reinterpret_cast<void**>(&factory)) != S_OK) {
    return nullptr;
  }
  IExplorerCommand* command = nullptr;
  if (factory->CreateInstance(nullptr, IID_IExplorerCommand, reinterpret_cast<void**>(&command)) !=
      S_OK) {
    command = nullptr;
  }
  factory->Release();
  return command;
}

std::wstring TakeString(LPWSTR text) {
  std::wstring result = text != nullptr ? text : L"";
  CoTaskMemFree(text);
  return result;
}

class ExplorerCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const wintest::LoadedModule& m = wintest::TheModule();
    ASSERT_NE(m.handle, nullptr) << "cannot load the module";
    ASSERT_EQ(m.canUnloadNow(), S_OK) << "an earlier test leaked an object or a lock";
    command_ = CreateCommand();
    ASSERT_NE(command_, nullptr);
  }
  void TearDown() override {
    if (command_ != nullptr) {
      EXPECT_EQ(command_->Release(), 0u);
    }
    EXPECT_EQ(wintest::TheModule().canUnloadNow(), S_OK);
  }
  IExplorerCommand* command_ = nullptr;
};

TEST_F(ExplorerCommandTest, FactoryInterfacesAndLockCount) {
  const wintest::LoadedModule& m = wintest::TheModule();
  EXPECT_EQ(m.canUnloadNow(), S_FALSE) << "a live command pins the module";
  IObjectWithSite* with_site = nullptr;
  ASSERT_EQ(command_->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&with_site)),
            S_OK);
  IUnknown* a = nullptr;
  IUnknown* b = nullptr;
  command_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a));
  with_site->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b));
  EXPECT_EQ(a, b) << "one identity for both interfaces";
  a->Release();
  b->Release();
  with_site->Release();
  IContextMenu* menu = nullptr;
  EXPECT_EQ(command_->QueryInterface(IID_IContextMenu, reinterpret_cast<void**>(&menu)),
            E_NOINTERFACE);

  // Guards: an aggregating outer object is refused, not half-supported.
  IClassFactory* factory = nullptr;
  ASSERT_EQ(m.getClassObject(shell::kExplorerCommandClsid, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  IUnknown* inner = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(factory->CreateInstance(command_, IID_IUnknown, reinterpret_cast<void**>(&inner)),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(inner, nullptr);
  factory->Release();

  GUID name = {};
  EXPECT_EQ(command_->GetCanonicalName(&name), S_OK);
  EXPECT_TRUE(IsEqualGUID(name, shell::kExplorerCommandClsid));
  EXPCMDFLAGS flags = 99;
  EXPECT_EQ(command_->GetFlags(&flags), S_OK);
  EXPECT_EQ(flags, static_cast<EXPCMDFLAGS>(ECF_DEFAULT));
  IEnumExplorerCommand* sub = reinterpret_cast<IEnumExplorerCommand*>(1);
  EXPECT_EQ(command_->EnumSubCommands(&sub), E_NOTIMPL);
  EXPECT_EQ(sub, nullptr);
}

TEST_F(ExplorerCommandTest, SiteIsHeldUntilReplacedOrTheCommandGoes) {
  IObjectWithSite* with_site = nullptr;
  ASSERT_EQ(command_->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&with_site)),
            S_OK);
  FakeSite site, other;
  IUnknown* got = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(with_site->GetSite(IID_IUnknown, reinterpret_cast<void**>(&got)), E_FAIL);
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(with_site->SetSite(&site), S_OK);
  EXPECT_EQ(site.references_, 2u);
  IServiceProvider* provider = nullptr;
  ASSERT_EQ(with_site->GetSite(IID_IServiceProvider, reinterpret_cast<void**>(&provider)), S_OK);
  EXPECT_EQ(provider, &site);
  provider->Release();
  EXPECT_EQ(with_site->SetSite(&other), S_OK);
  EXPECT_EQ(site.references_, 1u) << "the old site is let go";
  EXPECT_EQ(other.references_, 2u);
  EXPECT_EQ(with_site->SetSite(nullptr), S_OK);
  EXPECT_EQ(other.references_, 1u);
  // A site still set when the Explorer lets the command go is released.
  EXPECT_EQ(with_site->SetSite(&site), S_OK);
  with_site->Release();
  EXPECT_EQ(command_->Release(), 0u);
  command_ = nullptr;
  EXPECT_EQ(site.references_, 1u);
}

TEST_F(ExplorerCommandTest, TitleTooltipAndIconAreTheModulesOwn) {
  LPWSTR text = nullptr;
  ASSERT_EQ(command_->GetTitle(nullptr, &text), S_OK);
  EXPECT_EQ(TakeString(text), shell::kMenuText);
  ASSERT_EQ(command_->GetToolTip(nullptr, &text), S_OK);
  EXPECT_EQ(TakeString(text), shell::kHelpText);
  ASSERT_EQ(command_->GetIcon(nullptr, &text), S_OK);
  const std::wstring icon = TakeString(text);
  EXPECT_EQ(icon, wintest::ModulePath() + L",-" + std::to_wstring(IDI_COMMAND));
  // The resource the location names is there, in the sizes the menu uses.
  for (int size : {16, 32}) {
    HICON loaded = static_cast<HICON>(LoadImageW(
        wintest::TheModule().handle, MAKEINTRESOURCEW(IDI_COMMAND), IMAGE_ICON, size, size, 0));
    EXPECT_NE(loaded, nullptr) << size;
    if (loaded != nullptr) DestroyIcon(loaded);
  }
  HICON large = nullptr;
  EXPECT_EQ(ExtractIconExW(wintest::ModulePath().c_str(), -IDI_COMMAND, &large, nullptr, 1), 1u);
  if (large != nullptr) DestroyIcon(large);
  // Guards: null out-pointers are refused rather than written through.
  EXPECT_EQ(command_->GetTitle(nullptr, nullptr), E_POINTER);
  EXPECT_EQ(command_->GetIcon(nullptr, nullptr), E_POINTER);
  EXPECT_EQ(command_->GetState(nullptr, FALSE, nullptr), E_POINTER);
}

constexpr SFGAOF kFile = SFGAO_FILESYSTEM | SFGAO_STREAM;
constexpr SFGAOF kFolder = SFGAO_FILESYSTEM | SFGAO_FOLDER;

struct StateCase {
  const char* what;
  std::vector<FakeItem> items;
  EXPCMDSTATE expected;
};

std::vector<FakeItem> Many(int count, const wchar_t* suffix, SFGAOF attributes) {
  std::vector<FakeItem> items;
  for (int i = 0; i < count; ++i) {
    items.emplace_back(L"Q:\\missing\\IMG_" + std::to_wstring(i) + suffix, attributes);
  }
  return items;
}

TEST_F(ExplorerCommandTest, StateFromNamesAndAttributesAloneWithNoFileOpened) {
  std::vector<StateCase> cases;
  cases.push_back({"raw files",
                   {{L"Q:\\missing\\DSC_0001.NEF", kFile}, {L"Q:\\missing\\img_0002.cr2", kFile}},
                   ECS_ENABLED});
  cases.push_back({"one raw file, lower case", {{L"Q:\\missing\\a.dng", kFile}}, ECS_ENABLED});
  cases.push_back({"a folder", {{L"Q:\\missing\\DCIM", kFolder}}, ECS_ENABLED});
  cases.push_back({"a drive", {{L"Q:\\", kFolder}}, ECS_ENABLED});
  cases.push_back({"other files",
                   {{L"Q:\\missing\\notes.txt", kFile}, {L"Q:\\missing\\photo.jpg", kFile}},
                   ECS_HIDDEN});
  cases.push_back({"mixed",
                   {{L"Q:\\missing\\notes.txt", kFile}, {L"Q:\\missing\\DSC_0001.NEF", kFile}},
                   ECS_ENABLED});
  cases.push_back({"empty", {}, ECS_HIDDEN});
  // Guards: a compressed folder (a folder and a stream) is a file the job
  // would not read.
  cases.push_back({"zip", {{L"Q:\\missing\\shots.zip", kFolder | SFGAO_STREAM}}, ECS_HIDDEN});
  // Guards: virtual items (Control Panel, a phone's storage) have no path
  // the job could take.
  cases.push_back({"virtual folder", {{L"::{26EE0668}", SFGAO_FOLDER, false}}, ECS_HIDDEN});
  cases.push_back({"raw name without a path", {{L"Q:\\x.NEF", SFGAO_STREAM, false}}, ECS_HIDDEN});
  cases.push_back({"suffix in a folder's name only", {{L"Q:\\NEF\\a.txt", kFile}}, ECS_HIDDEN});
  cases.push_back({"a thousand other files", Many(1000, L".txt", kFile), ECS_HIDDEN});
  StateCase last{"a thousand files, the raw one last", Many(999, L".txt", kFile), ECS_ENABLED};
  last.items.emplace_back(L"Q:\\missing\\last.ORF", kFile);
  cases.push_back(std::move(last));
  cases.push_back({"a thousand raw files", Many(1000, L".NEF", kFile), ECS_ENABLED});

  for (StateCase& c : cases) {
    SCOPED_TRACE(c.what);
    for (BOOL slow : {FALSE, TRUE}) {
      FakeArray array(&c.items);
      g_opening_calls = 0;
      g_name_calls = 0;
      EXPCMDSTATE state = 99;
      ASSERT_EQ(command_->GetState(&array, slow, &state), S_OK);
      EXPECT_EQ(state, c.expected) << "slow " << slow;
      EXPECT_EQ(g_opening_calls, 0);
      EXPECT_LE(g_name_calls, static_cast<int>(c.items.size()));
      // Every item handed out was given back.
      for (const FakeItem& item : c.items) ASSERT_EQ(item.references(), 1u);
    }
  }
  EXPCMDSTATE state = 99;
  EXPECT_EQ(command_->GetState(nullptr, FALSE, &state), S_OK);
  EXPECT_EQ(state, static_cast<EXPCMDSTATE>(ECS_HIDDEN));
}

TEST_F(ExplorerCommandTest, SelectionPathsKeepOrderAndLeaveOutWhatTheJobCannotTake) {
  std::vector<FakeItem> items;
  items.emplace_back(L"Q:\\b\\DSC_0001.NEF", kFile);
  items.emplace_back(L"::{virtual}", SFGAO_FOLDER, false);
  // Guards: a path of MAX_PATH units or more is left out, as the classic
  // handler's drop buffer leaves it out.
  items.emplace_back(L"Q:\\" + std::wstring(shell::kSelectionPathUnits, L'a') + L".NEF", kFile);
  items.emplace_back(L"Q:\\a", kFolder);
  FakeArray array(&items);
  g_opening_calls = 0;
  std::vector<std::u16string> paths;
  ASSERT_EQ(shell::SelectionPaths(&array, &paths), S_OK);
  EXPECT_EQ(paths, (std::vector<std::u16string>{u"Q:\\b\\DSC_0001.NEF", u"Q:\\a"}));
  EXPECT_EQ(g_opening_calls, 0);
}

// Without a path the job could take, Invoke shows nothing and says so.
TEST_F(ExplorerCommandTest, InvokeWithoutUsablePathsShowsNoDialog) {
  EXPECT_EQ(command_->Invoke(nullptr, nullptr), E_INVALIDARG);
  std::vector<FakeItem> items;
  items.emplace_back(L"::{virtual}", SFGAO_FOLDER, false);
  FakeArray array(&items);
  bool shown = false;
  HRESULT result = S_OK;
  {
    // Closes a dialog shown against the rule, so a fault fails the test
    // instead of hanging it.
    DialogScript user([&] {
      if (!wintest::HaveDisplay()) return;
      HWND preferences = WaitForDialog(L"Rawlift preferences", 1500);
      shown = preferences != nullptr;
      if (shown) ClickButton(preferences, IDC_PREF_CANCEL);
    });
    result = command_->Invoke(&array, nullptr);
  }
  EXPECT_EQ(result, E_INVALIDARG);
  EXPECT_FALSE(shown);
}

// ---- Invoke end to end, beside the classic handler ----

// Every file below `folder` by relative path, with its bytes.
std::map<std::wstring, Bytes> Tree(const fs::path& folder) {
  std::map<std::wstring, Bytes> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      files[fs::relative(entry.path(), folder).wstring()] = wintest::ReadBytes(entry.path());
    }
  }
  return files;
}

struct Answers {
  std::wstring summary;
  bool defaultsShown = false;
};

// The user's part: reduced copies within 200 by 200, then "Extract", and
// the summary read once the run is over.
void AnswerDialogs(Answers* answers) {
  HWND preferences = WaitForDialog(L"Rawlift preferences");
  ASSERT_NE(preferences, nullptr);
  answers->defaultsShown = wintest::IsChecked(preferences, IDC_PREF_NATIVE_ONLY);
  SendMessageW(GetDlgItem(preferences, IDC_PREF_NATIVE_ONLY), BM_SETCHECK, BST_UNCHECKED, 0);
  SendMessageW(GetDlgItem(preferences, IDC_PREF_NATIVE_AND_SMALLER), BM_SETCHECK, BST_CHECKED, 0);
  SendMessageW(preferences, WM_COMMAND, MAKEWPARAM(IDC_PREF_NATIVE_AND_SMALLER, BN_CLICKED), 0);
  wintest::SetControlText(preferences, IDC_PREF_MAX_WIDTH, L"200");
  wintest::SetControlText(preferences, IDC_PREF_MAX_HEIGHT, L"200");
  ClickButton(preferences, IDC_PREF_EXTRACT);
  HWND progress = WaitForDialog(L"Rawlift");
  ASSERT_NE(progress, nullptr);
  ASSERT_TRUE(WaitUntil(
      [&] { return WindowText(GetDlgItem(progress, IDC_PROGRESS_CLOSE)) == L"Close"; }, 60000));
  answers->summary = WindowText(GetDlgItem(progress, IDC_PROGRESS_TEXT));
  ClickButton(progress, IDC_PROGRESS_CLOSE);
}

// The summary without its last line, the time taken.
std::wstring WithoutTime(const std::wstring& summary) {
  return summary.substr(0, summary.find(L"Total Time: "));
}

class InvokeExplorerCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!wintest::HaveDisplay()) GTEST_SKIP() << "no display for windows";
    ASSERT_NE(wintest::TheModule().handle, nullptr);
    settings_ = wintest::SettingsFile();
    had_settings_ = fs::exists(settings_);
    if (had_settings_) saved_settings_ = wintest::ReadBytes(settings_);
    root_ = fs::temp_directory_path() / ("rawlift_xcmd_" + std::to_string(GetCurrentProcessId()));
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove(settings_, ignored);
    if (had_settings_) wintest::WriteBytes(settings_, saved_settings_);
    fs::remove_all(root_, ignored);
  }
  fs::path root_;
  fs::path settings_;
  bool had_settings_ = false;
  Bytes saved_settings_;
};

TEST_F(InvokeExplorerCommandTest, SameDialogsSummaryAndFilesAsTheClassicCommand) {
  const fs::path classic_folder = root_ / "classic";
  const fs::path modern_folder = root_ / "modern";
  wintest::MakeShots(classic_folder);
  wintest::MakeShots(modern_folder);

  // The classic handler, as in its own end-to-end test.
  Answers classic;
  HRESULT classic_result = E_FAIL;
  {
    std::error_code ignored;
    fs::remove(settings_, ignored);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(wintest::TheModule().getClassObject(shell::kShellExtensionClsid, IID_IClassFactory,
                                                  reinterpret_cast<void**>(&factory)),
              S_OK);
    IShellExtInit* init = nullptr;
    ASSERT_EQ(
        factory->CreateInstance(nullptr, shell::kIidShellExtInit, reinterpret_cast<void**>(&init)),
        S_OK);
    factory->Release();
    IContextMenu* menu = nullptr;
    ASSERT_EQ(init->QueryInterface(shell::kIidContextMenu, reinterpret_cast<void**>(&menu)), S_OK);
    wintest::DropDataObject drop({classic_folder.wstring()});
    ASSERT_EQ(init->Initialize(nullptr, &drop, nullptr), S_OK);
    CMINVOKECOMMANDINFO info = {};
    info.cbSize = sizeof(info);
    info.lpVerb = MAKEINTRESOURCEA(0);
    {
      DialogScript user([&] { AnswerDialogs(&classic); });
      classic_result = menu->InvokeCommand(&info);
    }
    menu->Release();
    init->Release();
  }
  const Bytes classic_settings = wintest::ReadBytes(settings_);

  // The Windows 11 command over real shell items of the other copy.
  Answers modern;
  HRESULT modern_result = E_FAIL;
  {
    std::error_code ignored;
    fs::remove(settings_, ignored);
    IShellItem* item = nullptr;
    ASSERT_EQ(SHCreateItemFromParsingName(modern_folder.wstring().c_str(), nullptr, IID_IShellItem,
                                          reinterpret_cast<void**>(&item)),
              S_OK);
    IShellItemArray* array = nullptr;
    ASSERT_EQ(SHCreateShellItemArrayFromShellItem(item, IID_IShellItemArray,
                                                  reinterpret_cast<void**>(&array)),
              S_OK);
    item->Release();
    IExplorerCommand* command = CreateCommand();
    ASSERT_NE(command, nullptr);
    FakeSite site;
    IObjectWithSite* with_site = nullptr;
    ASSERT_EQ(command->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&with_site)),
              S_OK);
    EXPECT_EQ(with_site->SetSite(&site), S_OK);
    // The shell's own items of a real folder show the command.
    EXPCMDSTATE state = 99;
    EXPECT_EQ(command->GetState(array, FALSE, &state), S_OK);
    EXPECT_EQ(state, static_cast<EXPCMDSTATE>(ECS_ENABLED));
    {
      DialogScript user([&] { AnswerDialogs(&modern); });
      modern_result = command->Invoke(array, nullptr);
    }
    EXPECT_EQ(with_site->SetSite(nullptr), S_OK);
    with_site->Release();
    EXPECT_EQ(command->Release(), 0u);
    array->Release();
  }

  EXPECT_EQ(classic_result, S_OK);
  EXPECT_EQ(modern_result, S_OK);
  EXPECT_TRUE(modern.defaultsShown);
  EXPECT_EQ(modern.summary.rfind(L"Files Scanned: 2\nJPEGs Extracted: 2 Total - 2 New\n", 0), 0u)
      << std::string(modern.summary.begin(), modern.summary.end());
  EXPECT_EQ(WithoutTime(modern.summary), WithoutTime(classic.summary));
  EXPECT_EQ(wintest::ReadBytes(settings_), classic_settings);
  EXPECT_EQ(classic_settings.size(), 64u);

  // The same files, byte for byte: full-size copies, 200-pixel copies, the
  // sub-folder not entered.
  const auto classic_tree = Tree(classic_folder);
  const auto modern_tree = Tree(modern_folder);
  EXPECT_EQ(modern_tree.size(), 8u);
  EXPECT_TRUE(modern_tree == classic_tree);
  for (const auto& [name, bytes] : modern_tree) {
    SCOPED_TRACE(std::string(name.begin(), name.end()));
    auto other = classic_tree.find(name);
    ASSERT_NE(other, classic_tree.end());
    EXPECT_TRUE(other->second == bytes);
  }
  fixtures::JpegFrame frame;
  ASSERT_TRUE(fixtures::ReadJpegFrame(
      wintest::ReadBytes(modern_folder / "extracted_jpegs_200" / "DSC_0001_RLFT_200.jpg"), &frame));
  EXPECT_EQ(frame.width, 200);
  EXPECT_EQ(frame.height, 150);
  EXPECT_FALSE(fs::exists(modern_folder / "sub" / "extracted_jpegs"));
}

}  // namespace
