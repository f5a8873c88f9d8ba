// qos/QosTransport.h - the QoS handle: the socket library's use and a
// connected, non-blocking UDP socket to the statistics server.

#ifndef QOS_QOSTRANSPORT_H
#define QOS_QOSTRANSPORT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tnet.h"

struct QosTransport {
    NetLibraryUse library{2, 0};  // started first, ended last
    NetSocketHolder socket;
    std::string host;
};

// Sets up the handle for host:port: starts the socket library, looks the
// host up and opens "udp://host:port".  Null on failure, with the reason in
// *failure.  May take as long as the system's name lookup: call it on a
// thread that nobody waits for.
std::unique_ptr<QosTransport> OpenQosTransport(const std::string& host, unsigned short port,
                                               std::string* failure);

// A random first sequence number for a reporter's messages.
uint32_t RandomQosSequence();

// Sends one packed message as one datagram: true when all of it went out.
bool SendQosDatagram(QosTransport* transport, const unsigned char* data, size_t size);

#endif  // QOS_QOSTRANSPORT_H
