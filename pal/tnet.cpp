// pal/tnet.cpp - Winsock sockets opened from address texts, with waits.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>

#include "palassert.h"
#include "tnet.h"

namespace {

const char kFile[] = "pal\\tnet";

// Pauses after a send or receive that would block, so that a caller's loop
// with a time-out does not spin.
const DWORD kSendPauseMs = 200;
const DWORD kRecvPauseMs = 100;

SOCKET ToSystem(NetSocket socket) { return static_cast<SOCKET>(socket); }

// A dotted numeric address: four decimal parts of at most 255.  Anything
// else made of digits and dots (a bare number, five parts) is refused
// rather than handed to a resolver.
bool ParseDottedQuad(const std::string& host, in_addr* out) {
    unsigned char parts[4];
    size_t part = 0, pos = 0;
    while (part < 4) {
        size_t digits = 0;
        unsigned value = 0;
        while (pos < host.size() && host[pos] >= '0' && host[pos] <= '9' && digits < 3) {
            value = value * 10 + static_cast<unsigned>(host[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || value > 255) return false;
        parts[part++] = static_cast<unsigned char>(value);
        if (part < 4) {
            if (pos >= host.size() || host[pos] != '.') return false;
            ++pos;
        }
    }
    if (pos != host.size()) return false;
    std::memcpy(&out->s_addr, parts, 4);  // already in network order
    return true;
}

bool ResolveHost(const std::string& host, in_addr* out) {
    if (IsNumericAddress(host.c_str())) return ParseDottedQuad(host, out);
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
        return false;
    }
    bool found = false;
    if (result->ai_family == AF_INET && result->ai_addrlen >= sizeof(sockaddr_in)) {
        *out = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
        found = true;
    }
    freeaddrinfo(result);
    return found;
}

// Converts a time-out in ms to select's form; null for -1 (no limit).
timeval* ToTimeval(int timeoutMs, timeval* storage) {
    if (timeoutMs < 0) return nullptr;
    storage->tv_sec = timeoutMs / 1000;
    storage->tv_usec = (timeoutMs % 1000) * 1000;
    return storage;
}

// Waits until the connect finishes: true when the socket became writable
// without an error.
bool WaitForConnect(SOCKET s, int timeoutMs) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv;
    int ready = select(0, nullptr, &writable, &failed, ToTimeval(timeoutMs, &tv));
    if (ready <= 0 || FD_ISSET(s, &failed) || !FD_ISSET(s, &writable)) return false;
    int error = 0;
    int length = sizeof(error);
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
        return false;
    }
    return error == 0;
}

bool Connect(SOCKET s, const NetAddress& address, int timeoutMs) {
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(address.port);
    if (!ResolveHost(address.host, &peer.sin_addr)) return false;
    if (connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) == 0) return true;
    int error = WSAGetLastError();
    if (error == WSAEISCONN) return true;
    if (error == WSAEWOULDBLOCK || error == WSAEINPROGRESS || error == WSAEALREADY) {
        return WaitForConnect(s, timeoutMs);
    }
    return false;
}

// Waits until s is writable (or readable): 1 ready, 0 time-out, -1 error,
// -2 interrupted.
int WaitReady(SOCKET s, bool forWrite, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv;
    int ready = forWrite ? select(0, nullptr, &set, nullptr, ToTimeval(timeoutMs, &tv))
                         : select(0, &set, nullptr, nullptr, ToTimeval(timeoutMs, &tv));
    if (ready < 0) return WSAGetLastError() == WSAEINTR ? -2 : -1;
    return ready == 0 ? 0 : 1;
}

}  // namespace

int NetStartup(int major, int minor) {
    WSADATA data;
    return WSAStartup(MAKEWORD(major, minor), &data);
}

void NetCleanup() { WSACleanup(); }

NetSocket NetOpen(const char* addressText, int timeoutMs) {
    PAL_ASSERT(addressText != nullptr, kFile);
    NetAddress address;
    if (!ParseNetAddress(addressText, &address)) return kNoNetSocket;
    int type = 0, protocol = 0;
    switch (address.schemeNumber) {
        case kNetSchemeTcp:
            type = SOCK_STREAM;
            protocol = IPPROTO_TCP;
            break;
        case kNetSchemeUdp:
            type = SOCK_DGRAM;
            protocol = IPPROTO_UDP;
            break;
        default:
            return kNoNetSocket;
    }

    SOCKET s = socket(AF_INET, type, protocol);
    if (s == INVALID_SOCKET) return kNoNetSocket;
    NetSocketHolder holder(static_cast<NetSocket>(s));
    u_long nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) return kNoNetSocket;
    if (!Connect(s, address, timeoutMs)) return kNoNetSocket;
    return holder.release();
}

int NetSend(NetSocket socket, const void* data, int length, int timeoutMs) {
    PAL_ASSERT(data != nullptr, kFile);
    SOCKET s = ToSystem(socket);
    if (timeoutMs != 0) {
        int ready = WaitReady(s, true, timeoutMs);
        if (ready < 0) return -1;
        if (ready == 0) return 0;
    }
    int sent = send(s, static_cast<const char*>(data), length, 0);
    if (sent > 0) return sent;
    if (sent < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
        if (timeoutMs != 0) Sleep(kSendPauseMs);
        return 0;
    }
    return -1;
}

int NetRecv(NetSocket socket, void* buffer, int size, int timeoutMs) {
    PAL_ASSERT(buffer != nullptr, kFile);
    SOCKET s = ToSystem(socket);
    if (timeoutMs != 0) {
        int ready = WaitReady(s, false, timeoutMs);
        if (ready == -2) return 0;
        if (ready < 0) return -1;
        if (ready == 0) return 0;
    }
    int received = recv(s, static_cast<char*>(buffer), size, 0);
    if (received > 0) return received;
    if (received == 0) return -1;
    if (WSAGetLastError() == WSAEWOULDBLOCK) {
        if (timeoutMs != 0) Sleep(kRecvPauseMs);
        return 0;
    }
    return -1;
}

void NetClose(NetSocket socket) { closesocket(ToSystem(socket)); }
