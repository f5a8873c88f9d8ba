// qos/qosdump/QosJson.cpp - a decoded report as one line of JSON.

#include "QosJson.h"

#include <cstdio>

namespace {

const qos::QOSAppendDescComm* FirstComm(const qos::QOSRep& body) {
    for (uint32_t i = 0; i < body.QosNum && i < qos::QOS_CS_MAX_REP; ++i) {
        if (body.QosList[i].AppendDescFlag == qos::QOS_APPEND_DESC_COMM) {
            return &body.QosList[i].AppendDesc.Comm;
        }
    }
    return nullptr;
}

// The length of the UTF-8 sequence at text[i], 0 when it is not one.
size_t Utf8Length(const std::string& text, size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t n;
    uint32_t code;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        code = c & 0x07;
    } else
        return 0;
    if (text.size() - i < n) return 0;
    for (size_t k = 1; k < n; ++k) {
        const unsigned char d = static_cast<unsigned char>(text[i + k]);
        if ((d & 0xC0) != 0x80) return 0;
        code = (code << 6) | (d & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((n == 3 && code < 0x800) || (n == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return n;
}

}  // namespace

const char* ReportKind(const qos::QOSRep& body) {
    const qos::QOSAppendDescComm* comm = FirstComm(body);
    if (comm == nullptr || comm->IntNum < 3) return "unknown";
    switch (comm->IntList[2]) {
        case 1:
            return "full";
        case 2:
            return "start";
        case 3:
            return "end";
        default:
            return "unknown";
    }
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t n = Utf8Length(text, i);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
        } else if (n > 1) {
            out.append(text, i, n);
            i += n;
        } else {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
            ++i;
        }
    }
    return out + "\"";
}

std::string ReportJson(const qos::QOSCSPkgHead& head, const qos::QOSRep& body) {
    std::string out = "{\"kind\":\"";
    out += ReportKind(body);
    out += "\",\"seq\":" + std::to_string(head.Seq) + ",\"values\":[";
    const qos::QOSAppendDescComm* comm = FirstComm(body);
    for (uint32_t i = 0; comm != nullptr && i < comm->IntNum; ++i) {
        if (i > 0) out += ',';
        out += std::to_string(comm->IntList[i]);
    }
    out += "],\"strings\":[";
    for (uint32_t i = 0; comm != nullptr && i < comm->StrNum; ++i) {
        if (i > 0) out += ',';
        out += JsonString(comm->StrList[i]);
    }
    return out + "]}";
}
