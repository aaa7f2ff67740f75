// Owners of the Win32 handles the platform layer opens besides files and
// sockets: each closes its handle when it goes, so no path can leak one.
#pragma once

#include <windows.h>

#include "platform/owned_handle.h"

namespace ulmar {

inline void CloseKernelHandle(HANDLE handle) { CloseHandle(handle); }
inline void CloseRegistryKey(HKEY key) { RegCloseKey(key); }

// Process and thread handles.
using UniqueHandle = OwnedHandle<HANDLE, nullptr, &CloseKernelHandle>;
// Registry keys.
using UniqueKey = OwnedHandle<HKEY, nullptr, &CloseRegistryKey>;

}  // namespace ulmar
