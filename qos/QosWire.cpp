// qos/QosWire.cpp - packing and decoding of the statistics report in the
// pmx net encoding (WIRE_FORMAT.md): fields in metadata order, integers in
// network byte order, counted arrays, strings with a length and their zero
// byte, the union as the member its flag selects.

#include "QosWire.h"

#include <algorithm>
#include <cstring>

namespace qos {

namespace {

// Writes big-endian fields into a buffer of a fixed capacity; once a field
// does not fit, every later write is refused too.
class Writer {
public:
    Writer(unsigned char* out, size_t capacity) : out_(out), capacity_(capacity) {}

    void U16(uint16_t v) {
        unsigned char b[2] = {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
        Bytes(b, 2);
    }
    void U32(uint32_t v) {
        unsigned char b[4] = {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
                              static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
        Bytes(b, 4);
    }
    void Bytes(const void* data, size_t n) {
        if (!ok_ || n > capacity_ - pos_) {
            ok_ = false;
            return;
        }
        std::memcpy(out_ + pos_, data, n);
        pos_ += n;
    }
    // Overwrites a 16-bit field written earlier at offset.
    void PatchU16(size_t offset, uint16_t v) {
        out_[offset] = static_cast<unsigned char>(v >> 8);
        out_[offset + 1] = static_cast<unsigned char>(v);
    }

    bool ok() const { return ok_; }
    size_t pos() const { return pos_; }

private:
    unsigned char* out_;
    size_t capacity_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// Reads big-endian fields, checking the bytes left before every read.
class Reader {
public:
    Reader(const unsigned char* data, size_t size) : data_(data), size_(size) {}

    bool U16(uint16_t* v) {
        if (left() < 2) return false;
        *v = static_cast<uint16_t>((data_[pos_] << 8) | data_[pos_ + 1]);
        pos_ += 2;
        return true;
    }
    bool U32(uint32_t* v) {
        if (left() < 4) return false;
        *v = (static_cast<uint32_t>(data_[pos_]) << 24) | (static_cast<uint32_t>(data_[pos_ + 1]) << 16) |
             (static_cast<uint32_t>(data_[pos_ + 2]) << 8) | static_cast<uint32_t>(data_[pos_ + 3]);
        pos_ += 4;
        return true;
    }
    bool I32(int32_t* v) {
        uint32_t u = 0;
        if (!U32(&u)) return false;
        std::memcpy(v, &u, sizeof(u));
        return true;
    }
    bool Bytes(void* out, size_t n) {
        if (left() < n) return false;
        std::memcpy(out, data_ + pos_, n);
        pos_ += n;
        return true;
    }

    size_t left() const { return size_ - pos_; }

private:
    const unsigned char* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A string field: its text up to the zero byte, which must lie inside it.
WireResult PackString(Writer* w, const char* field, size_t size) {
    const void* zero = std::memchr(field, 0, size);
    if (zero == nullptr) return WireResult::BadString;
    size_t length = static_cast<size_t>(static_cast<const char*>(zero) - field) + 1;
    w->U32(static_cast<uint32_t>(length));
    w->Bytes(field, length);
    return WireResult::Ok;
}

WireResult UnpackString(Reader* r, char* field, size_t size) {
    uint32_t length = 0;
    if (!r->U32(&length)) return WireResult::Truncated;
    if (length == 0 || length > size) return WireResult::BadString;
    if (r->left() < length) return WireResult::Truncated;
    std::memset(field, 0, size);
    if (!r->Bytes(field, length)) return WireResult::Truncated;
    // The zero byte ends the text and the field's length: one encoding per text.
    if (std::memchr(field, 0, length) != field + length - 1) return WireResult::BadString;
    return WireResult::Ok;
}

WireResult PackComm(Writer* w, const QOSAppendDescComm& comm) {
    if (comm.IntNum > QOS_CS_ADINFO_MAX_INT) return WireResult::TooManyValues;
    if (comm.StrNum > QOS_CS_ADINFO_MAX_STR) return WireResult::TooManyStrings;
    w->U32(comm.IntNum);
    for (uint32_t i = 0; i < comm.IntNum; ++i) w->U32(static_cast<uint32_t>(comm.IntList[i]));
    w->U32(comm.StrNum);
    for (uint32_t i = 0; i < comm.StrNum; ++i) {
        WireResult result = PackString(w, comm.StrList[i], QOS_CS_ADINFO_STR_LEN);
        if (result != WireResult::Ok) return result;
    }
    return WireResult::Ok;
}

WireResult UnpackComm(Reader* r, QOSAppendDescComm* comm) {
    if (!r->U32(&comm->IntNum)) return WireResult::Truncated;
    if (comm->IntNum > QOS_CS_ADINFO_MAX_INT) return WireResult::TooManyValues;
    for (uint32_t i = 0; i < comm->IntNum; ++i) {
        if (!r->I32(&comm->IntList[i])) return WireResult::Truncated;
    }
    if (!r->U32(&comm->StrNum)) return WireResult::Truncated;
    if (comm->StrNum > QOS_CS_ADINFO_MAX_STR) return WireResult::TooManyStrings;
    for (uint32_t i = 0; i < comm->StrNum; ++i) {
        WireResult result = UnpackString(r, comm->StrList[i], QOS_CS_ADINFO_STR_LEN);
        if (result != WireResult::Ok) return result;
    }
    return WireResult::Ok;
}

WireResult PackBody(Writer* w, const QOSRep& body) {
    if (body.QosNum > QOS_CS_MAX_REP) return WireResult::TooManyReps;
    w->U32(body.BusinessID);
    WireResult result = PackString(w, body.CltID, sizeof(body.CltID));
    if (result == WireResult::Ok) result = PackString(w, body.ServerID, sizeof(body.ServerID));
    if (result != WireResult::Ok) return result;
    w->U32(body.QosNum);
    for (uint32_t i = 0; i < body.QosNum; ++i) {
        const QOSCSQosRep& rep = body.QosList[i];
        w->U32(rep.QosID);
        w->U32(rep.QosVal);
        w->U32(rep.AppendDescFlag);
        if (rep.AppendDescFlag == QOS_APPEND_DESC_COMM) {
            result = PackComm(w, rep.AppendDesc.Comm);
            if (result != WireResult::Ok) return result;
        } else if (rep.AppendDescFlag != QOS_APPEND_DESC_NO) {
            return WireResult::BadUnion;
        }
    }
    return WireResult::Ok;
}

WireResult UnpackBody(Reader* r, QOSRep* body) {
    if (!r->U32(&body->BusinessID)) return WireResult::Truncated;
    WireResult result = UnpackString(r, body->CltID, sizeof(body->CltID));
    if (result == WireResult::Ok) result = UnpackString(r, body->ServerID, sizeof(body->ServerID));
    if (result != WireResult::Ok) return result;
    if (!r->U32(&body->QosNum)) return WireResult::Truncated;
    if (body->QosNum > QOS_CS_MAX_REP) return WireResult::TooManyReps;
    for (uint32_t i = 0; i < body->QosNum; ++i) {
        QOSCSQosRep& rep = body->QosList[i];
        if (!r->U32(&rep.QosID) || !r->U32(&rep.QosVal) || !r->U32(&rep.AppendDescFlag)) {
            return WireResult::Truncated;
        }
        if (rep.AppendDescFlag == QOS_APPEND_DESC_COMM) {
            result = UnpackComm(r, &rep.AppendDesc.Comm);
            if (result != WireResult::Ok) return result;
        } else if (rep.AppendDescFlag != QOS_APPEND_DESC_NO) {
            return WireResult::BadUnion;
        }
    }
    return WireResult::Ok;
}

}  // namespace

const char* WireResultText(WireResult result) {
    switch (result) {
        case WireResult::Ok:
            return "ok";
        case WireResult::TooManyValues:
            return "more than 30 values";
        case WireResult::TooManyStrings:
            return "more than 10 strings";
        case WireResult::TooManyReps:
            return "more than 8 quality items";
        case WireResult::BadString:
            return "a string without its zero byte, or too long";
        case WireResult::BadUnion:
            return "an append description this encoding does not carry";
        case WireResult::TooLong:
            return "the message does not fit";
        case WireResult::Truncated:
            return "the message ends early";
        case WireResult::BadMagic:
            return "not a statistics message (magic)";
        case WireResult::BadLength:
            return "head or body length disagrees with the message";
        case WireResult::BadCommand:
            return "not a report (command)";
        case WireResult::TrailingBytes:
            return "bytes after the body";
    }
    return "unknown";
}

WireResult PackReport(const QOSCSPkgHead& head, const QOSRep& body, unsigned char* out, size_t capacity,
                      size_t* written) {
    *written = 0;
    Writer w(out, std::min(capacity, kQosMaxPackedSize));
    w.U16(head.Magic);
    w.U16(static_cast<uint16_t>(kQosHeadSize));
    w.U16(0);  // BodyLen, filled in below
    w.U16(head.Cmd);
    w.U32(head.ProtoVer);
    w.U32(head.Seq);
    WireResult result = PackBody(&w, body);
    if (result != WireResult::Ok) return result;
    if (!w.ok()) return WireResult::TooLong;
    // The limit keeps the body far below 65536 bytes.
    w.PatchU16(4, static_cast<uint16_t>(w.pos() - kQosHeadSize));
    *written = w.pos();
    return WireResult::Ok;
}

WireResult UnpackReport(const unsigned char* data, size_t size, QOSCSPkgHead* head, QOSRep* body) {
    *head = QOSCSPkgHead();
    *body = QOSRep();
    Reader r(data, size);
    if (!r.U16(&head->Magic) || !r.U16(&head->HeadLen) || !r.U16(&head->BodyLen) || !r.U16(&head->Cmd) ||
        !r.U32(&head->ProtoVer) || !r.U32(&head->Seq)) {
        return WireResult::Truncated;
    }
    if (head->Magic != QOS_CS_MAGIC) return WireResult::BadMagic;
    if (head->HeadLen != kQosHeadSize) return WireResult::BadLength;
    if (head->BodyLen > r.left()) return WireResult::Truncated;
    if (head->BodyLen < r.left()) return WireResult::BadLength;
    if (head->Cmd != QOS_REP) return WireResult::BadCommand;
    WireResult result = UnpackBody(&r, body);
    if (result != WireResult::Ok) return result;
    return r.left() == 0 ? WireResult::Ok : WireResult::TrailingBytes;
}

void CopyWireString(char* field, size_t size, const std::string& text, size_t maxBytes) {
    if (size == 0) return;
    size_t n = std::min({text.size(), maxBytes, size - 1});
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, size - n);
}

}  // namespace qos
