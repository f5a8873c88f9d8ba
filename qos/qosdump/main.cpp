// qosdump - receives statistics reports over UDP and prints each as one
// line of JSON: {"kind":"start|full|end","seq":N,"values":[...],
// "strings":[...]}.  The operator's check of a server setup, and the tests'
// peer.
//
//   qosdump [--bind ADDRESS] [--port N] [--count N] [--idle-ms N]
//
// --port 0 lets the system pick a port.  The bound address and port are
// written to standard error once the socket is ready.  --count stops after N
// reports, --idle-ms after N ms without a datagram.  Datagrams that are not
// reports are described on standard error and skipped.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QosJson.h"
#include "QosWire.h"
#include "UdpListener.h"

namespace {

struct Options {
    std::string bind;  // every address
    unsigned short port = 8080;
    long count = 0;   // 0: no limit
    int idleMs = -1;  // -1: no limit
};

bool ParseNumber(const char* text, long low, long high, long* out) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high) return false;
    *out = value;
    return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const char* name = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        long number = 0;
        if (std::strcmp(name, "--bind") == 0) {
            options->bind = value;
        } else if (std::strcmp(name, "--port") == 0 && ParseNumber(value, 0, 65535, &number)) {
            options->port = static_cast<unsigned short>(number);
        } else if (std::strcmp(name, "--count") == 0 && ParseNumber(value, 0, 1L << 30, &number)) {
            options->count = number;
        } else if (std::strcmp(name, "--idle-ms") == 0 && ParseNumber(value, 0, 1L << 30, &number)) {
            options->idleMs = static_cast<int>(number);
        } else {
            return false;
        }
    }
    return true;
}

// The idle limit: how long is left of it, and whether it is over.
class IdleClock {
public:
    explicit IdleClock(int limitMs) : limitMs_(limitMs) { Restart(); }
    void Restart() { start_ = std::chrono::steady_clock::now(); }
    // -1 without a limit.
    int LeftMs() const {
        if (limitMs_ < 0) return -1;
        const long long spent =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_)
                .count();
        return spent >= limitMs_ ? 0 : static_cast<int>(limitMs_ - spent);
    }
    bool Over() const { return limitMs_ >= 0 && LeftMs() == 0; }

private:
    int limitMs_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr, "usage: qosdump [--bind ADDRESS] [--port N] [--count N] [--idle-ms N]\n");
        return 1;
    }
    UdpListener listener;
    std::string error;
    if (!listener.Open(options.bind, options.port, &error)) {
        std::fprintf(stderr, "qosdump: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "qosdump: listening on udp %s:%u\n",
                 options.bind.empty() ? "0.0.0.0" : options.bind.c_str(),
                 static_cast<unsigned>(listener.Port()));
    std::fflush(stderr);

    std::vector<unsigned char> buffer(65536);
    auto body = std::make_unique<qos::QOSRep>();
    long reports = 0;
    // The idle time runs from the last datagram; a wake-up that brought
    // none (a reset error) does not start it again, nor does it end it.
    IdleClock idle(options.idleMs);
    while (options.count == 0 || reports < options.count) {
        std::string from;
        size_t n = 0;
        const UdpListener::Result got =
            listener.Receive(buffer.data(), buffer.size(), idle.LeftMs(), &n, &from);
        if (got == UdpListener::Result::Failed) {
            std::fprintf(stderr, "qosdump: receive failed\n");
            return 1;
        }
        if (got == UdpListener::Result::TimedOut) {
            if (idle.Over()) break;  // idle for too long
            continue;
        }
        if (got == UdpListener::Result::Nothing) continue;
        idle.Restart();
        qos::QOSCSPkgHead head;
        qos::WireResult result = qos::UnpackReport(buffer.data(), n, &head, body.get());
        if (result != qos::WireResult::Ok) {
            std::fprintf(stderr, "qosdump: %zu bytes from %s: %s\n", n, from.c_str(),
                         qos::WireResultText(result));
            std::fflush(stderr);
            continue;
        }
        std::string line = ReportJson(head, *body) + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
        ++reports;
    }
    return 0;
}
