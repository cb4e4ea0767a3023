// QueryInterface through one table per class: each entry pairs an interface
// id with the offset of that interface's vtable pointer inside the object.
#pragma once

// clang-format off
#include <windows.h>
#include <unknwn.h>
// clang-format on

#include <cstddef>

namespace shell {

struct InterfaceEntry {
  const IID* iid;
  std::ptrdiff_t offset;  // from the object's start to the interface pointer
};

// Offset of interface Interface inside an object of class Class.
template <class Class, class Interface>
std::ptrdiff_t InterfaceOffset() {
  // Any non-null address works; the cast applies the base-class adjustment.
  Class* object = reinterpret_cast<Class*>(0x1000);
  return reinterpret_cast<char*>(static_cast<Interface*>(object)) - reinterpret_cast<char*>(object);
}

// Looks riid up in the table (terminated by an entry with a null iid).
// IUnknown answers with the first entry. On success AddRefs the interface.
inline HRESULT QueryInterfaceFromTable(void* object, const InterfaceEntry* table, REFIID riid,
                                       void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (table[0].iid == nullptr) return E_NOINTERFACE;
  const InterfaceEntry* found = nullptr;
  if (IsEqualIID(riid, IID_IUnknown)) {
    found = &table[0];
  } else {
    for (const InterfaceEntry* entry = table; entry->iid != nullptr; ++entry) {
      if (IsEqualIID(riid, *entry->iid)) {
        found = entry;
        break;
      }
    }
  }
  if (found == nullptr) return E_NOINTERFACE;
  auto* unknown = reinterpret_cast<IUnknown*>(static_cast<char*>(object) + found->offset);
  unknown->AddRef();
  *out = unknown;
  return S_OK;
}

}  // namespace shell
