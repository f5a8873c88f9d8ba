// pal/tnet.h - sockets opened from address texts, with waits.
//
// Address text: scheme "://" address "?" options, e.g. "udp://host:8080".
// Without "://" the scheme is "tcp".  Only tcp (a connected IPv4 stream
// socket) and udp (a connected IPv4 datagram socket) are opened; every
// socket is non-blocking.  Time-outs are in milliseconds: -1 waits without
// limit, 0 only polls.  Failures are -1; nothing is retried here.

#ifndef PAL_TNET_H
#define PAL_TNET_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A socket as the helpers hand it out: the system's socket, or -1.
using NetSocket = intptr_t;
constexpr NetSocket kNoNetSocket = -1;

// The schemes an address text may name (only tcp and udp are opened).
enum NetScheme {
    kNetSchemeTcp = 1,
    kNetSchemeUdp = 2,
    kNetSchemeUnix = 3,
    kNetSchemePipe = 4,
    kNetSchemeFile = 5,
    kNetSchemeShm = 6,
    kNetSchemeThttp = 7,
};

constexpr size_t kNetMaxScheme = 15;    // characters before "://"
constexpr size_t kNetMaxAddress = 127;  // characters up to "?"
constexpr size_t kNetMaxOptionName = 31;
constexpr size_t kNetMaxOptionValue = 255;
constexpr size_t kNetMaxOptions = 32;  // pairs after "?"

struct NetAddress {
    std::string scheme;
    int schemeNumber = 0;  // a NetScheme, 0 when the scheme is unknown
    std::string address;
    std::string host;  // tcp and udp: up to the last colon
    unsigned short port = 0;
    std::vector<std::pair<std::string, std::string>> options;
};

// Splits an address text; false when a part is empty or too long.  An
// unknown scheme is not an error here (schemeNumber stays 0).
bool ParseNetAddress(const char* text, NetAddress* out);

// The number of a socket type name ("stream" 1, "dgram" 2, "raw" 3, "rdm" 4,
// "seqpacket" 5), 0 for any other.
int NetSocketTypeNumber(const std::string& name);

// True when every character is one of "1234567890." (so "" is numeric).
bool IsNumericAddress(const char* text);

// Starts the socket library for version major.minor: its start result
// (0 on success).  Each successful start needs one NetCleanup.
int NetStartup(int major, int minor);
void NetCleanup();

// Opens and connects a socket from an address text, waiting at most
// timeoutMs for the connection; the socket or -1.
NetSocket NetOpen(const char* addressText, int timeoutMs);

// Sends once, after waiting at most timeoutMs until the socket is writable:
// bytes sent, 0 (time-out, or the send would block) or -1 (an error).
int NetSend(NetSocket socket, const void* data, int length, int timeoutMs);

// Receives once, after waiting at most timeoutMs until the socket is
// readable: bytes received, 0 (time-out, or nothing there) or -1 (an error,
// or the peer closed the connection).
int NetRecv(NetSocket socket, void* buffer, int size, int timeoutMs);

void NetClose(NetSocket socket);

// Owns a socket and closes it.
class NetSocketHolder {
public:
    NetSocketHolder() = default;
    explicit NetSocketHolder(NetSocket socket) : socket_(socket) {}
    ~NetSocketHolder() { reset(); }
    NetSocketHolder(const NetSocketHolder&) = delete;
    NetSocketHolder& operator=(const NetSocketHolder&) = delete;
    NetSocketHolder(NetSocketHolder&& other) noexcept : socket_(other.release()) {}
    NetSocketHolder& operator=(NetSocketHolder&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    NetSocket get() const { return socket_; }
    explicit operator bool() const { return socket_ != kNoNetSocket; }
    NetSocket release() {
        NetSocket s = socket_;
        socket_ = kNoNetSocket;
        return s;
    }
    void reset(NetSocket socket = kNoNetSocket) {
        if (socket_ != kNoNetSocket) NetClose(socket_);
        socket_ = socket;
    }

private:
    NetSocket socket_ = kNoNetSocket;
};

// One use of the socket library: started by the constructor, ended by the
// destructor when the start succeeded.
class NetLibraryUse {
public:
    NetLibraryUse(int major, int minor) : result_(NetStartup(major, minor)) {}
    ~NetLibraryUse() {
        if (result_ == 0) NetCleanup();
    }
    NetLibraryUse(const NetLibraryUse&) = delete;
    NetLibraryUse& operator=(const NetLibraryUse&) = delete;

    bool ok() const { return result_ == 0; }
    int result() const { return result_; }

private:
    int result_;
};

#endif  // PAL_TNET_H
