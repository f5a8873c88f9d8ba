// fund/win/winhttp_handle.h - the owner of a WinHTTP handle (session,
// connection or request).  Users link winhttp.

#ifndef FUND_WIN_WINHTTP_HANDLE_H
#define FUND_WIN_WINHTTP_HANDLE_H

#include <windows.h>
#include <winhttp.h>

#include "fund/win/handle.h"

namespace fund {
namespace win {
namespace policy {

struct hinternet {
    using value_type = HINTERNET;
    static HINTERNET invalid() noexcept { return nullptr; }
    static void close(HINTERNET value) noexcept { ::WinHttpCloseHandle(value); }
};

}  // namespace policy

using unique_hinternet = unique_any<policy::hinternet>;

}  // namespace win
}  // namespace fund

#endif  // FUND_WIN_WINHTTP_HANDLE_H
