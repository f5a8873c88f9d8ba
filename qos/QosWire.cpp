// qos/QosWire.cpp - packing and decoding of the statistics report.

#include "QosWire.h"

namespace qos {

const char* WireResultText(WireResult) { return "not built"; }

WireResult PackReport(const QOSCSPkgHead&, const QOSRep&, unsigned char*, size_t,
                      size_t* written) {
    *written = 0;
    return WireResult::TooLong;
}

WireResult UnpackReport(const unsigned char*, size_t, QOSCSPkgHead*, QOSRep*) {
    return WireResult::Truncated;
}

void CopyWireString(char* field, size_t size, const std::string&, size_t) {
    if (size > 0) field[0] = '\0';
}

}  // namespace qos
