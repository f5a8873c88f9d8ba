// qos/qosdump/UdpListener_win.cpp - the listener with Winsock.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>

#include "UdpListener.h"
#include "fund/win/socket.h"

struct UdpListener::Impl {
    bool started = false;
    fund::win::unique_socket socket;
    unsigned short port = 0;
    ~Impl() {
        socket.reset();  // before Winsock goes
        if (started) WSACleanup();
    }
};

UdpListener::UdpListener() : impl_(std::make_unique<Impl>()) {}
UdpListener::~UdpListener() = default;

bool UdpListener::Open(const std::string& address, unsigned short port, std::string* error) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        *error = "WSAStartup failed";
        return false;
    }
    impl_->started = true;
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!address.empty()) {
        unsigned long parsed = inet_addr(address.c_str());
        if (parsed == INADDR_NONE && address != "255.255.255.255") {
            *error = "not a dotted IPv4 address: " + address;
            return false;
        }
        local.sin_addr.s_addr = parsed;
    }
    impl_->socket.reset(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!impl_->socket) {
        *error = "socket failed: " + std::to_string(WSAGetLastError());
        return false;
    }
    if (bind(impl_->socket.get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        *error = "bind failed: " + std::to_string(WSAGetLastError());
        return false;
    }
    int length = sizeof(local);
    getsockname(impl_->socket.get(), reinterpret_cast<sockaddr*>(&local), &length);
    impl_->port = ntohs(local.sin_port);
    return true;
}

unsigned short UdpListener::Port() const { return impl_->port; }

UdpListener::Result UdpListener::Receive(unsigned char* buffer, size_t size, int timeoutMs, size_t* received,
                                         std::string* from) {
    *received = 0;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(impl_->socket.get(), &set);
    timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int ready = select(0, &set, nullptr, nullptr, timeoutMs < 0 ? nullptr : &tv);
    if (ready < 0) return Result::Failed;
    if (ready == 0) return Result::TimedOut;
    sockaddr_in peer = {};
    int length = sizeof(peer);
    int capacity = size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
    int n = recvfrom(impl_->socket.get(), reinterpret_cast<char*>(buffer), capacity, 0,
                     reinterpret_cast<sockaddr*>(&peer), &length);
    if (n < 0) {
        const int error = WSAGetLastError();
        // A datagram larger than the buffer is cut; report it as it came.
        if (error == WSAEMSGSIZE) n = capacity;
        // An earlier send's ICMP error surfaces here on Windows; no datagram.
        else if (error == WSAECONNRESET || error == WSAENETRESET)
            return Result::Nothing;
        else
            return Result::Failed;
    }
    *received = static_cast<size_t>(n);
    const unsigned char* a = reinterpret_cast<const unsigned char*>(&peer.sin_addr);
    *from = std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
            std::to_string(a[3]) + ":" + std::to_string(ntohs(peer.sin_port));
    return Result::Datagram;
}
