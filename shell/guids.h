// Class identifier of the context-menu handler. A constant rather than a
// __declspec(uuid) attribute, which the mingw compiler does not support.
#pragma once

#include <windows.h>

namespace shell {

// {5E2121EE-0300-11D4-8D3B-444553540000}
constexpr CLSID kShellExtensionClsid = {
    0x5E2121EE, 0x0300, 0x11D4, {0x8D, 0x3B, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
constexpr wchar_t kShellExtensionClsidText[] = L"{5E2121EE-0300-11D4-8D3B-444553540000}";

// {000214E8-0000-0000-C000-000000000046}
constexpr IID kIidShellExtInit = {
    0x000214E8, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {000214E4-0000-0000-C000-000000000046}
constexpr IID kIidContextMenu = {
    0x000214E4, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

}  // namespace shell
