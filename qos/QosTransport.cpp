// qos/QosTransport.cpp - the QoS handle over pal's sockets.

#include "QosTransport.h"

#include <random>

#include "ttime.h"

namespace {

// Connecting a UDP socket does not wait; the limit only guards the call.
const int kOpenTimeoutMs = 1000;

}  // namespace

uint32_t RandomQosSequence() {
    TimeValue now;
    TimeNow(&now);
    std::mt19937 random(now.seconds ^ (now.microseconds << 12));
    return static_cast<uint32_t>(random());
}

std::unique_ptr<QosTransport> OpenQosTransport(const std::string& host, unsigned short port,
                                               std::string* failure) {
    auto transport = std::make_unique<QosTransport>();
    if (!transport->library.ok()) {
        *failure = "WSAStartup err";
        return nullptr;
    }
    transport->host = host;
    std::string address = "udp://" + host + ":" + std::to_string(port);
    transport->socket.reset(NetOpen(address.c_str(), kOpenTimeoutMs));
    if (!transport->socket) {
        *failure = "qos_get_qosconnd_iplist fail";
        return nullptr;
    }
    return transport;
}

bool SendQosDatagram(QosTransport* transport, const unsigned char* data, size_t size) {
    if (transport == nullptr || !transport->socket || size == 0) return false;
    int sent = NetSend(transport->socket.get(), data, static_cast<int>(size), 0);
    return sent > 0 && static_cast<size_t>(sent) == size;
}
