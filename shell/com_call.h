// Nothing may leave a COM method as an exception: the caller is the
// Explorer or COM itself, built without any notion of C++ exceptions, and an
// exception unwinding into it ends the Explorer process. Every COM method
// that does more than count references runs its body through CallGuarded.
#pragma once

// clang-format off
#include <windows.h>
// clang-format on

#include <new>

namespace shell {

// Runs `body` (returning an HRESULT) and maps an exception to a result:
// E_OUTOFMEMORY for a failed allocation, E_FAIL for anything else thrown
// (another std::exception, or whatever a foreign object threw against the
// COM rules).
template <class Body>
HRESULT CallGuarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace shell
