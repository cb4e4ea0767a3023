// RididaViz.DLL as COM sees it: the four exports, the class factory, the
// lock count through object lifetimes, aggregation, and the handler's
// Initialize / QueryContextMenu / GetCommandString over real data objects
// and menus. The registry script runs against scratch keys below HKCU.
// clang-format off
#include <windows.h>
#include <shlobj.h>
#include <commctrl.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "rawlift/version.h"
#include "shell/class_factory.h"
#include "shell/guids.h"
#include "shell/registration.h"
#include "shell/shell_extension.h"
#include "tests/windows/win_test_support.h"

namespace {

using shell::kIidContextMenu;
using shell::kIidShellExtInit;
using shell::kShellExtensionClsid;
using wintest::DropDataObject;

// {000214F4-0000-0000-C000-000000000046}
constexpr IID kIidContextMenu2 = {
    0x000214F4, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr CLSID kOtherClsid = {
    0x12345678, 0x1234, 0x1234, {0x12, 0x34, 0x12, 0x34, 0x12, 0x34, 0x12, 0x34}};

class ComServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const wintest::LoadedModule& m = wintest::TheModule();
    ASSERT_NE(m.handle, nullptr) << "cannot load the module";
    ASSERT_NE(m.getClassObject, nullptr);
    ASSERT_NE(m.canUnloadNow, nullptr);
    ASSERT_EQ(m.canUnloadNow(), S_OK) << "an earlier test leaked an object or a lock";
  }
  IClassFactory* Factory() {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(wintest::TheModule().getClassObject(kShellExtensionClsid, IID_IClassFactory,
                                                  reinterpret_cast<void**>(&factory)),
              S_OK);
    return factory;
  }
  HRESULT CanUnloadNow() { return wintest::TheModule().canUnloadNow(); }
};

TEST_F(ComServerTest, ExportsAreByNameAndGetClassObjectChecksItsArguments) {
  const wintest::LoadedModule& m = wintest::TheModule();
  EXPECT_NE(m.registerServer, nullptr);
  EXPECT_NE(m.unregisterServer, nullptr);
  EXPECT_EQ(m.getClassObject(kShellExtensionClsid, IID_IClassFactory, nullptr), E_POINTER);
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(m.getClassObject(kOtherClsid, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  // The factory answers only its own interfaces, and the failure propagates.
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(m.getClassObject(kShellExtensionClsid, kIidContextMenu, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
}

TEST_F(ComServerTest, TheFactoryIsCreatedOnceAndDoesNotPinTheModule) {
  IClassFactory* first = Factory();
  IClassFactory* second = Factory();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  IUnknown* unknown = nullptr;
  ASSERT_EQ(first->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  EXPECT_EQ(static_cast<void*>(unknown), static_cast<void*>(first));
  unknown->Release();
  EXPECT_EQ(CanUnloadNow(), S_OK) << "a held factory does not count";
  second->Release();
  first->Release();
  // Still the same factory after every reference was released.
  IClassFactory* third = Factory();
  EXPECT_EQ(third, first);
  third->Release();
}

TEST_F(ComServerTest, LockCountFollowsObjectsAndLockServer) {
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  IContextMenu* menu = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, kIidContextMenu, reinterpret_cast<void**>(&menu)),
            S_OK);
  EXPECT_EQ(CanUnloadNow(), S_FALSE);
  IShellExtInit* init = nullptr;
  ASSERT_EQ(menu->QueryInterface(kIidShellExtInit, reinterpret_cast<void**>(&init)), S_OK);
  menu->Release();
  EXPECT_EQ(CanUnloadNow(), S_FALSE) << "one interface of the object is still held";
  init->Release();
  EXPECT_EQ(CanUnloadNow(), S_OK);

  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(CanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(CanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(CanUnloadNow(), S_OK);
  factory->Release();
}

TEST_F(ComServerTest, CreateInstanceResults) {
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, kIidContextMenu, nullptr), E_POINTER);

  // Not an interface of the object: the failure comes back and the new
  // object is gone again.
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(nullptr, kIidContextMenu2, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDataObject, &out), E_NOINTERFACE);
  EXPECT_EQ(CanUnloadNow(), S_OK);

  // An aggregate may ask only for IUnknown.
  DropDataObject outer({});
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(&outer, kIidContextMenu, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(CanUnloadNow(), S_OK);
  factory->Release();
}

HRESULT CreateThrowingOutOfMemory(IUnknown*, REFIID, void**) {
  throw std::bad_alloc();
}
HRESULT CreateThrowingLengthError(IUnknown*, REFIID, void**) {
  throw std::length_error("creation failed");
}

// A creation that throws anything, not only std::bad_alloc, gives a result.
TEST(ClassFactoryTest, ExceptionsFromCreationBecomeResults) {
  for (const auto& [create, expected] :
       {std::pair<shell::CreateFunction, HRESULT>{&CreateThrowingOutOfMemory, E_OUTOFMEMORY},
        std::pair<shell::CreateFunction, HRESULT>{&CreateThrowingLengthError, E_FAIL}}) {
    auto* factory = new shell::ClassFactory(create);
    void* out = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, kIidContextMenu, &out), expected);
    EXPECT_EQ(out, nullptr);
    factory->Release();
  }
}

TEST_F(ComServerTest, InterfacesShareOneIdentity) {
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  IShellExtInit* init = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&init)), S_OK);
  factory->Release();
  IContextMenu* menu = nullptr;
  IUnknown* from_init = nullptr;
  IUnknown* from_menu = nullptr;
  ASSERT_EQ(init->QueryInterface(kIidContextMenu, reinterpret_cast<void**>(&menu)), S_OK);
  ASSERT_EQ(init->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&from_init)), S_OK);
  ASSERT_EQ(menu->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&from_menu)), S_OK);
  EXPECT_EQ(from_init, from_menu);
  EXPECT_EQ(static_cast<void*>(from_init), static_cast<void*>(init))
      << "IUnknown answers with the IShellExtInit pointer";
  EXPECT_NE(static_cast<void*>(menu), static_cast<void*>(init));
  void* none = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(menu->QueryInterface(kIidContextMenu2, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(menu->QueryInterface(kIidContextMenu, nullptr), E_POINTER);
  from_menu->Release();
  from_init->Release();
  menu->Release();
  EXPECT_EQ(init->Release(), 0u);
  EXPECT_EQ(CanUnloadNow(), S_OK);
}

// An outer object that aggregates the handler and counts what reaches it.
class Aggregate final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    ++queries;
    if (IsEqualIID(riid, IID_IUnknown)) {
      *out = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return inner->QueryInterface(riid, out);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
  STDMETHODIMP_(ULONG) Release() override { return --references; }
  IUnknown* inner = nullptr;
  ULONG references = 1;
  int queries = 0;
};

TEST_F(ComServerTest, AggregatedObjectDelegatesToItsOuterObject) {
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  Aggregate outer;
  ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)),
            S_OK);
  factory->Release();
  EXPECT_EQ(CanUnloadNow(), S_FALSE);

  IContextMenu* menu = nullptr;
  ASSERT_EQ(outer.QueryInterface(kIidContextMenu, reinterpret_cast<void**>(&menu)), S_OK);
  EXPECT_NE(static_cast<void*>(menu), static_cast<void*>(outer.inner))
      << "the inner IUnknown is the object's own, not one of its interfaces";
  const ULONG before = outer.references;
  menu->AddRef();
  EXPECT_EQ(outer.references, before + 1) << "AddRef on an interface reaches the outer object";
  menu->Release();
  IUnknown* identity = nullptr;
  const int queries = outer.queries;
  ASSERT_EQ(menu->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(outer.queries, queries + 1);
  EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
  identity->Release();
  menu->Release();

  EXPECT_EQ(outer.inner->Release(), 0u);
  EXPECT_EQ(CanUnloadNow(), S_OK);
}

// ---- The handler's interfaces ----

class HandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(
        shell::ShellExtension::Create(nullptr, kIidShellExtInit, reinterpret_cast<void**>(&init_)),
        S_OK);
    ASSERT_EQ(init_->QueryInterface(kIidContextMenu, reinterpret_cast<void**>(&menu_)), S_OK);
  }
  void TearDown() override {
    if (menu_ != nullptr) menu_->Release();
    if (init_ != nullptr) init_->Release();
  }
  std::vector<std::wstring> Selection() const {
    std::vector<std::wstring> out;
    for (const std::u16string& p : static_cast<shell::ShellExtension*>(init_)->selection())
      out.emplace_back(reinterpret_cast<const wchar_t*>(p.c_str()), p.size());
    return out;
  }
  IShellExtInit* init_ = nullptr;
  IContextMenu* menu_ = nullptr;
};

TEST_F(HandlerTest, InitializeKeepsTheDroppedPathsInOrderAndAppends) {
  const std::vector<std::wstring> first = {L"C:\\shots\\IMG_0001.CR2", L"C:\\shots\\b.nef",
                                           L"C:\\shots\\folder"};
  DropDataObject data(first);
  EXPECT_EQ(init_->Initialize(nullptr, &data, nullptr), S_OK);
  EXPECT_EQ(data.getDataCalls(), 1);
  EXPECT_EQ(Selection(), first);

  DropDataObject more({L"D:\\x.raf"});
  EXPECT_EQ(init_->Initialize(nullptr, &more, nullptr), S_OK);
  std::vector<std::wstring> both = first;
  both.push_back(L"D:\\x.raf");
  EXPECT_EQ(Selection(), both);
  EXPECT_EQ(data.references(), 1u) << "the data object is not kept";
}

TEST_F(HandlerTest, InitializeRefusesWhatIsNotAFileDrop) {
  EXPECT_EQ(init_->Initialize(nullptr, nullptr, nullptr), E_INVALIDARG);
  DropDataObject not_a_drop({L"C:\\a.cr2"}, false);
  EXPECT_EQ(init_->Initialize(nullptr, &not_a_drop, nullptr), E_INVALIDARG);
  DropDataObject empty({});
  EXPECT_EQ(init_->Initialize(nullptr, &empty, nullptr), E_INVALIDARG);
  // A medium other than the global memory asked for is not locked as one.
  DropDataObject stream({L"C:\\a.cr2"});
  stream.AnswerWithWrongMedium();
  EXPECT_EQ(init_->Initialize(nullptr, &stream, nullptr), E_INVALIDARG);
  EXPECT_TRUE(Selection().empty());
}

TEST_F(HandlerTest, APathTooLongForTheSelectionBufferIsSkippedNotCut) {
  // Cut to 259 units it would name another file or folder.
  const std::wstring long_path = L"C:\\" + std::wstring(300, L'a') + L".cr2";
  DropDataObject only_long({long_path});
  EXPECT_EQ(init_->Initialize(nullptr, &only_long, nullptr), E_INVALIDARG);
  const std::wstring longest = L"C:\\" + std::wstring(254, L'b') + L".x";  // 259 units
  ASSERT_EQ(longest.size(), 259u);
  DropDataObject mixed({long_path, longest, L"C:\\c.nef"});
  EXPECT_EQ(init_->Initialize(nullptr, &mixed, nullptr), S_OK);
  EXPECT_EQ(Selection(), (std::vector<std::wstring>{longest, L"C:\\c.nef"}));
}

// A data object that breaks the COM rules by throwing from GetData.
template <class Exception>
class ThrowingDataObject : public DropDataObject {
 public:
  ThrowingDataObject() : DropDataObject({L"C:\\a.cr2"}) {}
  STDMETHODIMP GetData(FORMATETC*, STGMEDIUM*) override { throw Exception("thrown by GetData"); }
};

struct NotAStandardException {
  explicit NotAStandardException(const char*) {}
};

// Hostile callee: an exception from foreign code must not unwind out of a
// COM method into the Explorer; Initialize caught only std::bad_alloc, and
// only around its own copying.
TEST_F(HandlerTest, ExceptionsFromADataObjectBecomeFailureResults) {
  ThrowingDataObject<std::runtime_error> runtime_error;
  EXPECT_EQ(init_->Initialize(nullptr, &runtime_error, nullptr), E_FAIL);
  ThrowingDataObject<NotAStandardException> odd;
  EXPECT_EQ(init_->Initialize(nullptr, &odd, nullptr), E_FAIL);
  EXPECT_TRUE(Selection().empty());
  // The object still works afterwards.
  DropDataObject data({L"C:\\b.nef"});
  EXPECT_EQ(init_->Initialize(nullptr, &data, nullptr), S_OK);
  EXPECT_EQ(Selection(), std::vector<std::wstring>{L"C:\\b.nef"});
}

std::wstring MenuItemText(HMENU menu, UINT position) {
  wchar_t text[64] = {};
  GetMenuStringW(menu, position, text, 64, MF_BYPOSITION);
  return text;
}

TEST_F(HandlerTest, QueryContextMenuInsertsOneItemAtTheIndex) {
  HMENU menu = CreatePopupMenu();
  AppendMenuW(menu, MF_STRING, 1, L"Open");
  AppendMenuW(menu, MF_STRING, 2, L"Properties");

  HRESULT result = menu_->QueryContextMenu(menu, 1, 100, 200, CMF_DEFAULTONLY);
  EXPECT_TRUE(SUCCEEDED(result));
  EXPECT_EQ(HRESULT_CODE(result), 0);
  EXPECT_EQ(GetMenuItemCount(menu), 2);

  result = menu_->QueryContextMenu(menu, 1, 100, 200, CMF_NORMAL);
  EXPECT_TRUE(SUCCEEDED(result));
  EXPECT_EQ(HRESULT_CODE(result), 1);
  ASSERT_EQ(GetMenuItemCount(menu), 3);
  EXPECT_EQ(MenuItemText(menu, 1), L"Rawlift");
  EXPECT_EQ(GetMenuItemID(menu, 1), 100u);
  EXPECT_EQ(MenuItemText(menu, 0), L"Open");
  EXPECT_EQ(MenuItemText(menu, 2), L"Properties");
  MENUITEMINFOW info = {};
  info.cbSize = sizeof(info);
  info.fMask = MIIM_FTYPE | MIIM_SUBMENU | MIIM_BITMAP;
  ASSERT_TRUE(GetMenuItemInfoW(menu, 1, TRUE, &info));
  EXPECT_EQ(info.fType & (MFT_SEPARATOR | MFT_BITMAP), 0u);
  EXPECT_EQ(info.hSubMenu, nullptr);
  DestroyMenu(menu);
}

TEST_F(HandlerTest, GetCommandStringAnswersEveryAcceptedTypeWithTheHelpText) {
  wchar_t wide[64];
  for (UINT type : {GCS_HELPTEXTW, GCS_VERBW, GCS_VALIDATEW}) {
    wmemset(wide, L'#', 64);
    EXPECT_EQ(menu_->GetCommandString(0, type, nullptr, reinterpret_cast<CHAR*>(wide), 64), S_OK)
        << type;
    EXPECT_STREQ(wide, L"Extract JPEG from RAW file") << type;
  }
  wmemset(wide, L'#', 64);
  EXPECT_EQ(menu_->GetCommandString(0, GCS_HELPTEXTW, nullptr, reinterpret_cast<CHAR*>(wide), 8),
            S_OK);
  EXPECT_STREQ(wide, L"Extract");
  EXPECT_EQ(wide[8], L'#') << "nothing beyond the buffer";

  char narrow[64];
  EXPECT_EQ(menu_->GetCommandString(0, GCS_HELPTEXTA, nullptr, narrow, 64), S_OK);
  EXPECT_STREQ(narrow, "Extract JPEG from RAW file");
  memset(narrow, '#', 64);
  EXPECT_EQ(menu_->GetCommandString(0, GCS_HELPTEXTA, nullptr, narrow, 5), S_OK);
  EXPECT_STREQ(narrow, "Extr");
  EXPECT_EQ(narrow[5], '#');
}

TEST_F(HandlerTest, GetCommandStringRefusals) {
  char buffer[64];
  memset(buffer, '#', sizeof(buffer));
  EXPECT_EQ(menu_->GetCommandString(0, GCS_VERBA, nullptr, buffer, 64), E_INVALIDARG);
  EXPECT_EQ(menu_->GetCommandString(0, GCS_VALIDATEA, nullptr, buffer, 64), E_INVALIDARG);
  EXPECT_EQ(menu_->GetCommandString(1, GCS_HELPTEXTW, nullptr, buffer, 32), E_INVALIDARG);
  EXPECT_EQ(buffer[0], '#');
  // A missing or empty buffer cannot take even the terminator.
  EXPECT_EQ(menu_->GetCommandString(0, GCS_HELPTEXTA, nullptr, buffer, 0), E_INVALIDARG);
  EXPECT_EQ(buffer[0], '#');
  EXPECT_EQ(menu_->GetCommandString(0, GCS_HELPTEXTW, nullptr, nullptr, 16), E_INVALIDARG);
}

TEST_F(HandlerTest, InvokeCommandRefusesStringVerbsAndOtherOffsetsWithoutShowingAnything) {
  CMINVOKECOMMANDINFO info = {};
  info.cbSize = sizeof(info);
  info.lpVerb = "open";
  EXPECT_EQ(menu_->InvokeCommand(&info), E_INVALIDARG);
  info.lpVerb = MAKEINTRESOURCEA(1);
  EXPECT_EQ(menu_->InvokeCommand(&info), E_INVALIDARG);
  // A string pointer whose bits 16..31 happen to be clear is still a string
  // (64-bit pointers): it must not be taken for command 0.
  info.lpVerb = reinterpret_cast<LPCSTR>(uintptr_t{0x7FF600000000});
  EXPECT_EQ(menu_->InvokeCommand(&info), E_INVALIDARG);
  EXPECT_EQ(menu_->InvokeCommand(nullptr), E_INVALIDARG);
}

// ---- The registry script ----

const wchar_t kScratch[] = L"Software\\RawliftTest";
const wchar_t kClasses[] = L"Software\\RawliftTest\\Classes";
const wchar_t kApproved[] = L"Software\\RawliftTest\\Approved";
const wchar_t kPreviewHandlers[] = L"Software\\RawliftTest\\PreviewHandlers";
const std::wstring kClassKey = L"CLSID\\{5E2121EE-0300-11D4-8D3B-444553540000}";
const std::wstring kHandlers = L"AllFilesystemObjects\\ShellEx\\ContextMenuHandlers";

class RegistryScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kClasses, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &classes_, nullptr),
              ERROR_SUCCESS);
    HKEY approved = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kApproved, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &approved, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(approved);
    target_.classesRoot = classes_;
    target_.approvedRoot = HKEY_CURRENT_USER;
    target_.approvedPath = kApproved;
    target_.previewHandlersRoot = HKEY_CURRENT_USER;
    target_.previewHandlersPath = kPreviewHandlers;
    target_.ntFamily = true;
    module_ = wintest::TheModule().handle;
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override {
    RegCloseKey(classes_);
    RegDeleteTreeW(HKEY_CURRENT_USER, kScratch);
    RegDeleteKeyW(HKEY_CURRENT_USER, kScratch);
  }
  std::wstring Default(const std::wstring& path) {
    std::wstring value;
    EXPECT_TRUE(wintest::ReadString(classes_, path, nullptr, &value))
        << "no default at " << path.size();
    return value;
  }
  HKEY classes_ = nullptr;
  shell::RegistryTarget target_;
  HMODULE module_ = nullptr;
};

TEST_F(RegistryScriptTest, ParsesTheModulesScriptAndRejectsMalformedLines) {
  std::vector<shell::ScriptStep> steps;
  ASSERT_EQ(shell::LoadRegistryScript(module_, &steps), S_OK);
  ASSERT_EQ(steps.size(), 14u);
  EXPECT_EQ(steps[0].kind, shell::ScriptStep::Kind::Kept);
  EXPECT_EQ(steps[0].key, L"CLSID");
  EXPECT_EQ(steps[3].kind, shell::ScriptStep::Kind::Value);
  EXPECT_EQ(steps[3].valueName, L"ThreadingModel");
  EXPECT_EQ(steps[3].data, L"Apartment");

  int line = 0;
  EXPECT_FALSE(shell::ParseRegistryScript(L"kept \"A\"\nreplaced \"A\\B\" =\n", &steps, &line));
  EXPECT_EQ(line, 2);
  EXPECT_TRUE(steps.empty());
  EXPECT_FALSE(shell::ParseRegistryScript(L"erase \"A\"", &steps, &line));
  EXPECT_FALSE(shell::ParseRegistryScript(L"kept \"unterminated", &steps, &line));
  EXPECT_FALSE(shell::ParseRegistryScript(L"replaced \"\"", &steps, &line))
      << "an empty key would be the root itself";
  EXPECT_TRUE(
      shell::ParseRegistryScript(L"# only a comment\n\n  kept \"A\" # trailing\n", &steps, &line));
  EXPECT_EQ(steps.size(), 1u);
}

TEST_F(RegistryScriptTest, RegisterWritesEveryKeyAndReplacesAnEarlierHandlerKey) {
  // Left by someone else: must survive (kept keys) or go (replaced keys).
  HKEY key = nullptr;
  RegCreateKeyExW(classes_, (kHandlers + L"\\RerozavUvaVor\\Stale").c_str(), 0, nullptr, 0,
                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
  RegSetValueExW(key, L"x", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"y"), 4);
  RegCloseKey(key);
  RegCreateKeyExW(classes_, (kHandlers + L"\\OtherHandler").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                  nullptr, &key, nullptr);
  RegCloseKey(key);
  RegCreateKeyExW(classes_, (kClassKey + L"\\Leftover").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                  nullptr, &key, nullptr);
  RegCloseKey(key);

  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(shell::RegisterServer(module_, target_), S_OK);
    EXPECT_EQ(Default(kClassKey), L"Rawlift Shell Extension");
    EXPECT_EQ(Default(kClassKey + L"\\InprocServer32"), wintest::ModulePath());
    std::wstring model;
    EXPECT_TRUE(
        wintest::ReadString(classes_, kClassKey + L"\\InprocServer32", L"ThreadingModel", &model));
    EXPECT_EQ(model, L"Apartment");
    EXPECT_EQ(Default(kClassKey + L"\\ShellEx\\ContextMenuHandlers\\RerozavUvaVor"),
              L"{5E2121EE-0300-11D4-8D3B-444553540000}");
    EXPECT_EQ(Default(kHandlers + L"\\RerozavUvaVor"), L"{5E2121EE-0300-11D4-8D3B-444553540000}");
    // Exactly one set: the replaced keys hold nothing but what the script wrote.
    EXPECT_EQ(wintest::SubkeyNames(classes_, kClassKey),
              (std::vector<std::wstring>{L"InprocServer32", L"ShellEx"}));
    EXPECT_TRUE(wintest::SubkeyNames(classes_, kHandlers + L"\\RerozavUvaVor").empty());
    EXPECT_EQ(wintest::ValueNames(classes_, kHandlers + L"\\RerozavUvaVor"),
              (std::vector<std::wstring>{L""}));
    EXPECT_EQ(wintest::SubkeyNames(classes_, kHandlers).size(), 2u);
    // The Windows 11 menu's command: its class key and nothing below the
    // types, since the package manifest declares the menu entry.
    const std::wstring command_key = std::wstring(L"CLSID\\") + shell::kExplorerCommandClsidText;
    EXPECT_EQ(Default(command_key), L"Rawlift Explorer Command");
    EXPECT_EQ(Default(command_key + L"\\InprocServer32"), wintest::ModulePath());
    EXPECT_TRUE(wintest::ReadString(classes_, command_key + L"\\InprocServer32", L"ThreadingModel",
                                    &model));
    EXPECT_EQ(model, L"Apartment");
    EXPECT_EQ(wintest::SubkeyNames(classes_, command_key),
              (std::vector<std::wstring>{L"InprocServer32"}));
    std::wstring approved;
    EXPECT_TRUE(wintest::ReadString(HKEY_CURRENT_USER, kApproved,
                                    L"{5E2121EE-0300-11D4-8D3B-444553540000}", &approved));
    EXPECT_EQ(approved, L"Rawlift Shell Extension");
  }
}

TEST_F(RegistryScriptTest, UnregisterRemovesReplacedKeysAndKeepsTheKeptOnes) {
  ASSERT_EQ(shell::RegisterServer(module_, target_), S_OK);
  EXPECT_EQ(shell::UnregisterServer(module_, target_), S_OK);
  EXPECT_FALSE(wintest::KeyExists(classes_, kClassKey));
  EXPECT_FALSE(
      wintest::KeyExists(classes_, std::wstring(L"CLSID\\") + shell::kExplorerCommandClsidText));
  EXPECT_TRUE(wintest::KeyExists(classes_, L"CLSID"));
  EXPECT_FALSE(wintest::KeyExists(classes_, kHandlers + L"\\RerozavUvaVor"));
  EXPECT_TRUE(wintest::KeyExists(classes_, kHandlers));
  EXPECT_TRUE(wintest::ValueNames(HKEY_CURRENT_USER, kApproved).empty());
  // Nothing left to remove is not a failure.
  EXPECT_EQ(shell::UnregisterServer(module_, target_), S_OK);
}

TEST_F(RegistryScriptTest, WithoutTheApprovedKeyNothingIsRegistered) {
  target_.approvedPath = L"Software\\RawliftTest\\NoSuchKey";
  EXPECT_EQ(shell::RegisterServer(module_, target_), E_ACCESSDENIED);
  EXPECT_FALSE(wintest::KeyExists(classes_, L"CLSID"));
  EXPECT_FALSE(wintest::KeyExists(classes_, L"AllFilesystemObjects"));
  EXPECT_FALSE(wintest::KeyExists(HKEY_CURRENT_USER, L"Software\\RawliftTest\\NoSuchKey"));
  // Outside the NT family the Approved list is not used.
  target_.ntFamily = false;
  EXPECT_EQ(shell::RegisterServer(module_, target_), S_OK);
  EXPECT_TRUE(wintest::KeyExists(classes_, kClassKey));
}

TEST_F(RegistryScriptTest, AModulePathThatFillsTheWholeBufferIsRefusedBeforeAnythingIsWritten) {
  // A copy of the module at a path of more than 260 units: GetModuleFileName
  // cuts it to the buffer, and the cut path would be registered.
  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  std::wstring folder =
      std::wstring(temp) + L"rawlift_long_" + std::to_wstring(GetCurrentProcessId());
  const std::wstring level(100, L'd');
  std::vector<std::wstring> made = {folder};
  CreateDirectoryW(folder.c_str(), nullptr);
  while (folder.size() < 270) {
    folder += L"\\" + level;
    CreateDirectoryW(folder.c_str(), nullptr);
    made.push_back(folder);
  }
  const std::wstring copy = folder + L"\\RididaViz.DLL";
  ASSERT_TRUE(CopyFileW(wintest::ModulePath().c_str(), copy.c_str(), FALSE));
  HMODULE long_module = LoadLibraryW(copy.c_str());
  ASSERT_NE(long_module, nullptr);
  EXPECT_EQ(shell::RegisterServer(long_module, target_), HRESULT(0x8007007A));
  EXPECT_FALSE(wintest::KeyExists(classes_, L"CLSID"));
  EXPECT_TRUE(wintest::ValueNames(HKEY_CURRENT_USER, kApproved).empty());
  FreeLibrary(long_module);
  DeleteFileW(copy.c_str());
  for (auto dir = made.rbegin(); dir != made.rend(); ++dir) RemoveDirectoryW(dir->c_str());
}

// ---- The dialog templates in the module ----

struct TemplateItem {
  int id = 0;
  std::wstring className;
  std::wstring text;
  short x = 0, y = 0, cx = 0, cy = 0;
  DWORD style = 0;
  DWORD exStyle = 0;
};

struct DialogTemplate {
  DWORD style = 0;
  DWORD exStyle = 0;
  short cx = 0, cy = 0;
  std::wstring caption, font;
  WORD pointSize = 0, weight = 0;
  BYTE italic = 0, charset = 0;
  bool noMenu = false, noClass = false;
  std::vector<TemplateItem> items;
};

// Reads a DLGTEMPLATEEX: the header, then the DWORD-aligned items.
class TemplateReader {
 public:
  TemplateReader(const BYTE* data, size_t size) : data_(data), size_(size) {}
  WORD Word() { return Take<WORD>(); }
  DWORD Dword() { return Take<DWORD>(); }
  short Short() { return static_cast<short>(Take<WORD>()); }
  BYTE Byte() { return Take<BYTE>(); }
  // A string, an ordinal (0xFFFF, value) or nothing (0).
  std::wstring NameOrOrdinal(bool* was_empty = nullptr) {
    const WORD first = Word();
    if (was_empty != nullptr) *was_empty = first == 0;
    if (first == 0xFFFF) {
      switch (Word()) {
        case 0x80:
          return L"button";
        case 0x81:
          return L"edit";
        case 0x82:
          return L"static";
        default:
          return L"?";
      }
    }
    std::wstring text;
    for (WORD unit = first; unit != 0 && ok(); unit = Word()) text += static_cast<wchar_t>(unit);
    return text;
  }
  void AlignToDword() { at_ = (at_ + 3) & ~size_t{3}; }
  void Skip(size_t n) { at_ += n; }
  bool ok() const { return at_ <= size_; }

 private:
  template <class T>
  T Take() {
    T value{};
    if (at_ + sizeof(T) <= size_) std::memcpy(&value, data_ + at_, sizeof(T));
    at_ += sizeof(T);
    return value;
  }
  const BYTE* data_;
  size_t size_;
  size_t at_ = 0;
};

bool LoadDialogTemplate(HMODULE module, int id, DialogTemplate* out) {
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
  if (found == nullptr) return false;
  const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
  TemplateReader r(data, SizeofResource(module, found));
  if (r.Word() != 1 || r.Word() != 0xFFFF) return false;  // an extended template
  r.Dword();                                              // help id
  out->exStyle = r.Dword();
  out->style = r.Dword();
  const WORD count = r.Word();
  r.Short();
  r.Short();
  out->cx = r.Short();
  out->cy = r.Short();
  r.NameOrOrdinal(&out->noMenu);
  r.NameOrOrdinal(&out->noClass);
  out->caption = r.NameOrOrdinal();
  out->pointSize = r.Word();
  out->weight = r.Word();
  out->italic = r.Byte();
  out->charset = r.Byte();
  out->font = r.NameOrOrdinal();
  for (WORD i = 0; i < count && r.ok(); ++i) {
    r.AlignToDword();
    TemplateItem item;
    r.Dword();  // help id
    item.exStyle = r.Dword();
    item.style = r.Dword();
    item.x = r.Short();
    item.y = r.Short();
    item.cx = r.Short();
    item.cy = r.Short();
    item.id = static_cast<int>(static_cast<LONG>(r.Dword()));
    item.className = r.NameOrOrdinal();
    item.text = r.NameOrOrdinal();
    r.Skip(r.Word());  // creation data
    out->items.push_back(item);
  }
  return r.ok();
}

constexpr DWORD kDialogStyle =
    WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SHELLFONT;
constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
constexpr DWORD kSpin =
    UDS_AUTOBUDDY | UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_ARROWKEYS | UDS_NOTHOUSANDS;

std::wstring CharUpperString(std::wstring text) {
  CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
  return text;
}

void ExpectItems(const DialogTemplate& dialog, const std::vector<TemplateItem>& expected) {
  ASSERT_EQ(dialog.items.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const TemplateItem& got = dialog.items[i];
    const TemplateItem& want = expected[i];
    SCOPED_TRACE("control " + std::to_string(i) + " id " + std::to_string(want.id));
    EXPECT_EQ(got.id, want.id);
    // Class names are compared without regard to case, as the system does.
    EXPECT_EQ(CharUpperString(got.className), CharUpperString(want.className));
    EXPECT_EQ(got.text, want.text);
    EXPECT_EQ(got.x, want.x);
    EXPECT_EQ(got.y, want.y);
    EXPECT_EQ(got.cx, want.cx);
    EXPECT_EQ(got.cy, want.cy);
    EXPECT_EQ(got.style, want.style) << std::hex << got.style << " vs " << want.style;
    EXPECT_EQ(got.exStyle, 0u);
  }
}

void ExpectFrame(const DialogTemplate& dialog, const wchar_t* caption, short cx, short cy) {
  EXPECT_EQ(dialog.caption, caption);
  EXPECT_EQ(dialog.style, kDialogStyle) << std::hex << dialog.style;
  EXPECT_EQ(dialog.exStyle, 0u);
  EXPECT_EQ(dialog.cx, cx);
  EXPECT_EQ(dialog.cy, cy);
  EXPECT_TRUE(dialog.noMenu);
  EXPECT_TRUE(dialog.noClass);
  EXPECT_EQ(dialog.font, L"MS Shell Dlg");
  EXPECT_EQ(dialog.pointSize, 8);
  EXPECT_EQ(dialog.weight, 0);
  EXPECT_EQ(dialog.italic, 0);
  EXPECT_EQ(dialog.charset, 0);
}

TEST(DialogTemplateTest, PreferencesTemplateMatchesTheLayoutTable) {
  DialogTemplate dialog;
  ASSERT_TRUE(LoadDialogTemplate(wintest::TheModule().handle, 1, &dialog));
  ExpectFrame(dialog, L"Rawlift preferences", 161, 111);
  ExpectItems(
      dialog,
      {
          {4, L"button", L"&Native size only", 7, 7, 66, 10,
           kChild | BS_AUTORADIOBUTTON | WS_GROUP},
          {5, L"button", L"Native and &smaller sizes", 7, 18, 92, 10, kChild | BS_AUTORADIOBUTTON},
          {-1, L"static", L"Max &width:", 7, 34, 36, 8, kChild | SS_LEFT | WS_GROUP},
          {6, L"edit", L"", 7, 45, 40, 12, kChild | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL},
          {7, L"msctls_updown32", L"", 47, 45, 10, 12, kChild | kSpin},
          {-1, L"static", L"Max &height:", 79, 34, 39, 8, kChild | SS_LEFT | WS_GROUP},
          {8, L"edit", L"", 79, 45, 40, 12, kChild | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL},
          {9, L"msctls_updown32", L"", 119, 45, 11, 12, kChild | kSpin},
          {10, L"button", L"&Add suffix", 7, 68, 49, 10,
           kChild | BS_AUTOCHECKBOX | WS_GROUP | WS_TABSTOP},
          {3, L"button", L"Extract", 19, 90, 41, 14,
           kChild | BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP},
          {1, L"button", L"Save", 66, 90, 41, 14, kChild | BS_PUSHBUTTON | WS_TABSTOP},
          {2, L"button", L"Cancel", 113, 90, 41, 14, kChild | BS_PUSHBUTTON | WS_TABSTOP},
      });
}

TEST(DialogTemplateTest, ProgressTemplateMatchesTheLayoutTable) {
  DialogTemplate dialog;
  ASSERT_TRUE(LoadDialogTemplate(wintest::TheModule().handle, 2, &dialog));
  ExpectFrame(dialog, L"Rawlift", 218, 50);
  ExpectItems(dialog, {
                          {2, L"button", L"Cancel", 161, 7, 50, 14,
                           kChild | BS_PUSHBUTTON | WS_GROUP | WS_TABSTOP},
                          {3, L"static", L"", 7, 7, 148, 36, kChild | SS_LEFT | WS_GROUP},
                      });
}

// The version resource of a file: its fixed numbers and the two version
// strings of the US English / Unicode block.
struct VersionResource {
  bool found = false;
  DWORD fileMS = 0, fileLS = 0, productMS = 0, productLS = 0, fileType = 0;
  std::wstring fileVersion, productVersion, originalName;
};

VersionResource ReadVersionResource(const std::wstring& path) {
  VersionResource result;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return result;
  std::vector<BYTE> info(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, info.data())) return result;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length)) {
    return result;
  }
  result.found = true;
  result.fileMS = fixed->dwFileVersionMS;
  result.fileLS = fixed->dwFileVersionLS;
  result.productMS = fixed->dwProductVersionMS;
  result.productLS = fixed->dwProductVersionLS;
  result.fileType = fixed->dwFileType;
  auto text = [&](const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT units = 0;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &units) ||
        value == nullptr) {
      return std::wstring();
    }
    return std::wstring(value);
  };
  result.fileVersion = text(L"FileVersion");
  result.productVersion = text(L"ProductVersion");
  result.originalName = text(L"OriginalFilename");
  return result;
}

std::wstring WindowsPath(const std::string& unix_path) {
  std::wstring path = L"Z:";
  for (char c : unix_path) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return path;
}

TEST(ModuleResourcesTest, CommonControlsManifest) {
  EXPECT_NE(FindResourceW(wintest::TheModule().handle, MAKEINTRESOURCEW(2),
                          MAKEINTRESOURCEW(24) /* RT_MANIFEST */),
            nullptr);
}

// Both Windows files carry the version the project's CMake VERSION gives
// (the one `rawlift --version` prints), numbers and text alike.
TEST(ModuleResourcesTest, TheDllAndTheCommandCarryTheProjectVersion) {
  const std::string text = RAWLIFT_VERSION_TEXT;
  const std::wstring expected_text(text.begin(), text.end());
  const DWORD expected_ms = MAKELONG(RAWLIFT_VERSION_MINOR, RAWLIFT_VERSION_MAJOR);
  const DWORD expected_ls = MAKELONG(0, RAWLIFT_VERSION_PATCH);
  const struct {
    std::wstring path;
    DWORD type;
    const wchar_t* name;
  } files[] = {{wintest::ModulePath(), VFT_DLL, L"RididaViz.DLL"},
               {WindowsPath(RAWLIFT_EXE_PATH), VFT_APP, L"rawlift.exe"}};
  for (const auto& file : files) {
    SCOPED_TRACE(std::string(file.path.begin(), file.path.end()));
    const VersionResource version = ReadVersionResource(file.path);
    ASSERT_TRUE(version.found);
    EXPECT_EQ(version.fileMS, expected_ms);
    EXPECT_EQ(version.fileLS, expected_ls);
    EXPECT_EQ(version.productMS, expected_ms);
    EXPECT_EQ(version.productLS, expected_ls);
    EXPECT_EQ(version.fileType, file.type);
    EXPECT_EQ(version.fileVersion, expected_text);
    EXPECT_EQ(version.productVersion, expected_text);
    EXPECT_EQ(version.originalName, file.name);
  }
}

}  // namespace
