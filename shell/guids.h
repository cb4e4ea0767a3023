// Class identifiers of the module's handlers. A constant rather than a
// __declspec(uuid) attribute, which the mingw compiler does not support.
#pragma once

#include <windows.h>

namespace shell {

// {5E2121EE-0300-11D4-8D3B-444553540000}
constexpr CLSID kShellExtensionClsid = {
    0x5E2121EE, 0x0300, 0x11D4, {0x8D, 0x3B, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
constexpr wchar_t kShellExtensionClsidText[] = L"{5E2121EE-0300-11D4-8D3B-444553540000}";

// The command of the Windows 11 context menu (IExplorerCommand).
// {D27FE460-1D0E-413B-B320-D09A3A4385B3}
constexpr CLSID kExplorerCommandClsid = {
    0xD27FE460, 0x1D0E, 0x413B, {0xB3, 0x20, 0xD0, 0x9A, 0x3A, 0x43, 0x85, 0xB3}};
constexpr wchar_t kExplorerCommandClsidText[] = L"{D27FE460-1D0E-413B-B320-D09A3A4385B3}";

// {000214E8-0000-0000-C000-000000000046}
constexpr IID kIidShellExtInit = {
    0x000214E8, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {000214E4-0000-0000-C000-000000000046}
constexpr IID kIidContextMenu = {
    0x000214E4, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The thumbnail handler and the preview handler of RAW files.
// {70415E0D-0FB0-4BE3-AFE1-821E3CC9DB6E}
constexpr CLSID kThumbnailProviderClsid = {
    0x70415E0D, 0x0FB0, 0x4BE3, {0xAF, 0xE1, 0x82, 0x1E, 0x3C, 0xC9, 0xDB, 0x6E}};
constexpr wchar_t kThumbnailProviderClsidText[] = L"{70415E0D-0FB0-4BE3-AFE1-821E3CC9DB6E}";
// {D8F77B30-2153-443E-BE2E-E862FF2F2B72}
constexpr CLSID kPreviewHandlerClsid = {
    0xD8F77B30, 0x2153, 0x443E, {0xBE, 0x2E, 0xE8, 0x62, 0xFF, 0x2F, 0x2B, 0x72}};
constexpr wchar_t kPreviewHandlerClsidText[] = L"{D8F77B30-2153-443E-BE2E-E862FF2F2B72}";

// IThumbnailProvider, which the toolchain's uuid library lacks; its text
// names the ShellEx key of a type's thumbnail handler.
// {E357FCCD-A995-4576-B01F-234630154E96}
constexpr IID kIidThumbnailProvider = {
    0xE357FCCD, 0xA995, 0x4576, {0xB0, 0x1F, 0x23, 0x46, 0x30, 0x15, 0x4E, 0x96}};
constexpr wchar_t kThumbnailHandlerKey[] = L"{E357FCCD-A995-4576-B01F-234630154E96}";
// IPreviewHandler's text: the ShellEx key of a type's preview handler.
constexpr wchar_t kPreviewHandlerKey[] = L"{8895B1C6-B41F-4C1C-A562-0D564250836F}";
// The AppID of the 64-bit preview host process (prevhost.exe) that runs
// preview handlers outside the Explorer.
constexpr wchar_t kPreviewHostAppId[] = L"{6D2B5079-2F0B-48DD-AB7F-97CEC514D30B}";

}  // namespace shell
