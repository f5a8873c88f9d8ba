// fund/win/socket.h - the owner of a Winsock socket.  Users link ws2_32.

#ifndef FUND_WIN_SOCKET_H
#define FUND_WIN_SOCKET_H

#include <winsock2.h>

#include "fund/win/handle.h"

namespace fund {
namespace win {
namespace policy {

struct socket {
    using value_type = SOCKET;
    static SOCKET invalid() noexcept { return INVALID_SOCKET; }
    static void close(SOCKET value) noexcept { ::closesocket(value); }
};

}  // namespace policy

using unique_socket = unique_any<policy::socket>;

}  // namespace win
}  // namespace fund

#endif  // FUND_WIN_SOCKET_H
