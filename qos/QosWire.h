// qos/QosWire.h - the statistics protocol's client-to-server report and its
// byte layout ("pmx net encoding", described in WIRE_FORMAT.md).
//
// Portable C++: no platform headers, so the plug-in, qosdump and the native
// tests share one encoder and one decoder.

#ifndef QOS_QOSWIRE_H
#define QOS_QOSWIRE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace qos {

constexpr uint16_t QOS_CS_MAGIC = 30066;  // 0x7572

constexpr uint16_t QOS_SPDTST_REQ = 1;
constexpr uint16_t QOS_SPDTST_RES = 2;
constexpr uint16_t QOS_GET_REQ = 3;
constexpr uint16_t QOS_GET_RES = 4;
constexpr uint16_t QOS_REP = 5;

constexpr uint32_t QOS_APPEND_DESC_NO = 0;
constexpr uint32_t QOS_APPEND_DESC_PELMGAME = 1;
constexpr uint32_t QOS_APPEND_DESC_COMM = 2;

constexpr size_t QOS_CS_STRING_LEN = 32;
constexpr size_t QOS_CS_MAX_REP = 8;
constexpr size_t QOS_CS_ADINFO_STR_LEN = 128;
constexpr size_t QOS_CS_ADINFO_MAX_INT = 30;
constexpr size_t QOS_CS_ADINFO_MAX_STR = 10;

// The protocol version every report carries.
constexpr uint32_t kQosProtoVer = 10;
// The largest packed message (head and body) the transport sends.
constexpr size_t kQosMaxPackedSize = 20152;
// A report's strings are cut to this many bytes, leaving room for the zero.
constexpr size_t kQosMaxStrBytes = 126;
// The packed head's length: Magic, HeadLen, BodyLen, Cmd, ProtoVer, Seq.
constexpr size_t kQosHeadSize = 16;

struct QOSCSPkgHead {
    uint16_t Magic = 0;
    uint16_t HeadLen = 0;
    uint16_t BodyLen = 0;
    uint16_t Cmd = 0;
    uint32_t ProtoVer = 0;
    uint32_t Seq = 0;
};

struct QOSAppendDescComm {
    uint32_t IntNum = 0;
    int32_t IntList[QOS_CS_ADINFO_MAX_INT] = {};
    uint32_t StrNum = 0;
    char StrList[QOS_CS_ADINFO_MAX_STR][QOS_CS_ADINFO_STR_LEN] = {};
};

// The union selected by AppendDescFlag.  Only the common description is
// built: the plug-in sends no other, and the packer refuses the rest.
struct QOSAppendDesc {
    QOSAppendDescComm Comm;
};

struct QOSCSQosRep {
    uint32_t QosID = 0;
    uint32_t QosVal = 0;
    uint32_t AppendDescFlag = QOS_APPEND_DESC_NO;
    QOSAppendDesc AppendDesc;
};

struct QOSRep {
    uint32_t BusinessID = 0;
    char CltID[QOS_CS_STRING_LEN] = {};
    char ServerID[QOS_CS_STRING_LEN] = {};
    uint32_t QosNum = 0;
    QOSCSQosRep QosList[QOS_CS_MAX_REP];
};

// What packing or decoding can find wrong.
enum class WireResult {
    Ok = 0,
    TooManyValues,   // IntNum above QOS_CS_ADINFO_MAX_INT
    TooManyStrings,  // StrNum above QOS_CS_ADINFO_MAX_STR
    TooManyReps,     // QosNum above QOS_CS_MAX_REP
    BadString,       // a string without its zero byte inside its field
    BadUnion,        // an AppendDescFlag this encoding does not carry
    TooLong,         // the message exceeds the buffer or kQosMaxPackedSize
    Truncated,       // decoding: the message ends early
    BadMagic,        // decoding: Magic is not QOS_CS_MAGIC
    BadLength,       // decoding: HeadLen or BodyLen disagree with the message
    BadCommand,      // decoding: Cmd is not QOS_REP
    TrailingBytes,   // decoding: bytes left after the body
};

// A short English name of a result, for messages.
const char* WireResultText(WireResult result);

// Packs head and body into out (capacity bytes).  Fills HeadLen and BodyLen
// of the packed head from the packed sizes (the caller's head is not
// changed).  On success *written is the message length; on any failure
// nothing useful is in out and *written is 0.
WireResult PackReport(const QOSCSPkgHead& head, const QOSRep& body, unsigned char* out, size_t capacity,
                      size_t* written);

// Decodes one message.  Every count, length and string is checked against
// the message and the protocol's limits before it is read.
WireResult UnpackReport(const unsigned char* data, size_t size, QOSCSPkgHead* head, QOSRep* body);

// Copies text into a string field of size bytes, cut to fit with its zero
// byte (and to at most maxBytes bytes).
void CopyWireString(char* field, size_t size, const std::string& text, size_t maxBytes);

}  // namespace qos

#endif  // QOS_QOSWIRE_H
