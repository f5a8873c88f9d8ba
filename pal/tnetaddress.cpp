// pal/tnetaddress.cpp - address texts: scheme "://" address "?" options.
// Portable: no sockets here.

#include <cstdlib>
#include <cstring>

#include "palassert.h"
#include "tnet.h"

namespace {

const char kFile[] = "pal\\tnet";

struct NamedNumber {
    const char* name;
    int number;
};

const NamedNumber kSchemes[] = {
    {"tcp", kNetSchemeTcp},   {"udp", kNetSchemeUdp}, {"unix", kNetSchemeUnix},   {"pipe", kNetSchemePipe},
    {"file", kNetSchemeFile}, {"shm", kNetSchemeShm}, {"thttp", kNetSchemeThttp},
};

const NamedNumber kSocketTypes[] = {
    {"stream", 1}, {"dgram", 2}, {"raw", 3}, {"rdm", 4}, {"seqpacket", 5},
};

template <size_t N>
int FindNumber(const NamedNumber (&table)[N], const std::string& name) {
    for (const NamedNumber& entry : table) {
        if (name == entry.name) return entry.number;
    }
    return 0;
}

// Decimal port: missing, unparsable or out of range gives 0.
unsigned short ParsePort(const std::string& text) {
    if (text.empty() || text.size() > 5) return 0;
    unsigned long port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        port = port * 10 + static_cast<unsigned long>(c - '0');
    }
    return port > 65535 ? 0 : static_cast<unsigned short>(port);
}

// Options: name=value pairs separated by "&"; an empty pair ends the list.
bool ParseOptions(const std::string& text, NetAddress* out) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('&', pos);
        if (end == std::string::npos) end = text.size();
        std::string pair = text.substr(pos, end - pos);
        if (pair.empty()) break;
        if (out->options.size() == kNetMaxOptions) return false;
        size_t eq = pair.find('=');
        std::string name = pair.substr(0, eq);
        std::string value = eq == std::string::npos ? std::string() : pair.substr(eq + 1);
        if (name.size() > kNetMaxOptionName || value.size() > kNetMaxOptionValue) return false;
        out->options.emplace_back(std::move(name), std::move(value));
        pos = end + 1;
    }
    return true;
}

}  // namespace

bool ParseNetAddress(const char* text, NetAddress* out) {
    PAL_ASSERT(text != nullptr, kFile);
    PAL_ASSERT(out != nullptr, kFile);
    *out = NetAddress();

    std::string rest(text);
    size_t sep = rest.find("://");
    if (sep == std::string::npos) {
        out->scheme = "tcp";
    } else {
        if (sep == 0 || sep > kNetMaxScheme) return false;
        out->scheme = rest.substr(0, sep);
        rest.erase(0, sep + 3);
    }
    out->schemeNumber = FindNumber(kSchemes, out->scheme);

    size_t question = rest.find('?');
    out->address = rest.substr(0, question);
    if (out->address.size() > kNetMaxAddress) return false;
    if (question != std::string::npos && !ParseOptions(rest.substr(question + 1), out)) {
        return false;
    }

    if (out->schemeNumber == kNetSchemeTcp || out->schemeNumber == kNetSchemeUdp) {
        size_t colon = out->address.rfind(':');
        out->host = out->address.substr(0, colon);
        out->port = colon == std::string::npos ? 0 : ParsePort(out->address.substr(colon + 1));
    }
    return true;
}

int NetSocketTypeNumber(const std::string& name) { return FindNumber(kSocketTypes, name); }

bool IsNumericAddress(const char* text) {
    PAL_ASSERT(text != nullptr, kFile);
    return std::strspn(text, "1234567890.") == std::strlen(text);
}
