// qos/qosdump/UdpListener.h - a UDP socket bound to a local port; one file
// per platform implements it (POSIX sockets, Winsock).

#ifndef QOSDUMP_UDPLISTENER_H
#define QOSDUMP_UDPLISTENER_H

#include <cstddef>
#include <memory>
#include <string>

class UdpListener {
public:
    UdpListener();
    ~UdpListener();
    UdpListener(const UdpListener&) = delete;
    UdpListener& operator=(const UdpListener&) = delete;

    // Binds to address (dotted IPv4, "" for every address) and port (0: the
    // system picks one).  False with a message on failure.
    bool Open(const std::string& address, unsigned short port, std::string* error);

    // The bound port.
    unsigned short Port() const;

    enum class Result {
        Datagram,  // one datagram (of *received bytes, maybe 0) from *from
        Nothing,   // something woke the socket that is no datagram (on
                   // Windows, the reset an earlier send's ICMP error leaves)
        TimedOut,
        Failed,
    };

    // Waits at most timeoutMs (-1: no limit) for one datagram.  *from is
    // "address:port" of the sender.  A datagram larger than the buffer is
    // cut to it.
    Result Receive(unsigned char* buffer, size_t size, int timeoutMs, size_t* received, std::string* from);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

#endif  // QOSDUMP_UDPLISTENER_H
