// QOVPlatform.h - the few platform differences the archive library knows
// about outside its file-stream layer: the thread's last error.

#ifndef NQOV_QOVPLATFORM_H
#define NQOV_QOVPLATFORM_H

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>

inline uint32_t PlatformGetLastError() { return static_cast<uint32_t>(::GetLastError()); }
inline void PlatformSetLastError(uint32_t dwError) { ::SetLastError(dwError); }

#else

// A thread-local value with the Windows numbers.
uint32_t PlatformGetLastError();
void PlatformSetLastError(uint32_t dwError);

// Translates an errno value into the Windows error number.
uint32_t PlatformErrorFromErrno(int err);

#endif

#endif  // NQOV_QOVPLATFORM_H
