// qos/qosdump/UdpListener_posix.cpp - the listener with POSIX sockets.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "UdpListener.h"

struct UdpListener::Impl {
    int fd = -1;
    unsigned short port = 0;
    ~Impl() {
        if (fd >= 0) close(fd);
    }
};

UdpListener::UdpListener() : impl_(std::make_unique<Impl>()) {}
UdpListener::~UdpListener() = default;

bool UdpListener::Open(const std::string& address, unsigned short port, std::string* error) {
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!address.empty() && inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
        *error = "not a dotted IPv4 address: " + address;
        return false;
    }
    impl_->fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (impl_->fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    if (bind(impl_->fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        *error = std::string("bind: ") + std::strerror(errno);
        return false;
    }
    socklen_t length = sizeof(local);
    getsockname(impl_->fd, reinterpret_cast<sockaddr*>(&local), &length);
    impl_->port = ntohs(local.sin_port);
    return true;
}

unsigned short UdpListener::Port() const { return impl_->port; }

UdpListener::Result UdpListener::Receive(unsigned char* buffer, size_t size, int timeoutMs, size_t* received,
                                         std::string* from) {
    *received = 0;
    pollfd p = {impl_->fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return Result::Failed;
    if (ready == 0) return Result::TimedOut;
    sockaddr_in peer = {};
    socklen_t length = sizeof(peer);
    ssize_t n = recvfrom(impl_->fd, buffer, size, 0, reinterpret_cast<sockaddr*>(&peer), &length);
    if (n < 0) {
        // An ICMP error queued for the socket: no datagram.
        if (errno == ECONNREFUSED || errno == EINTR || errno == EAGAIN) return Result::Nothing;
        return Result::Failed;
    }
    *received = static_cast<size_t>(n);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text));
    *from = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
    return Result::Datagram;
}
