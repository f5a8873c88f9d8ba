// The report's byte layout: round trips, the exact bytes of a small report,
// the protocol's limits, and damaged messages.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "QosWire.h"

using namespace qos;

namespace {

QOSCSPkgHead ReportHead(uint32_t seq) {
    QOSCSPkgHead head;
    head.Magic = QOS_CS_MAGIC;
    head.Cmd = QOS_REP;
    head.ProtoVer = kQosProtoVer;
    head.Seq = seq;
    return head;
}

// A report body as the plug-in prepares it, with n values and m strings.
std::unique_ptr<QOSRep> ReportBody(uint32_t values, uint32_t strings) {
    auto body = std::make_unique<QOSRep>();
    body->BusinessID = 100;
    body->QosNum = 1;
    QOSCSQosRep& rep = body->QosList[0];
    rep.QosID = 2003;
    rep.AppendDescFlag = QOS_APPEND_DESC_COMM;
    rep.AppendDesc.Comm.IntNum = values;
    for (uint32_t i = 0; i < values && i < QOS_CS_ADINFO_MAX_INT; ++i) {
        rep.AppendDesc.Comm.IntList[i] = static_cast<int32_t>(i * 1000) - 7;
    }
    rep.AppendDesc.Comm.StrNum = strings;
    for (uint32_t i = 0; i < strings && i < QOS_CS_ADINFO_MAX_STR; ++i) {
        CopyWireString(rep.AppendDesc.Comm.StrList[i], QOS_CS_ADINFO_STR_LEN, "string " + std::to_string(i),
                       kQosMaxStrBytes);
    }
    return body;
}

std::vector<unsigned char> Pack(const QOSCSPkgHead& head, const QOSRep& body,
                                WireResult expected = WireResult::Ok) {
    std::vector<unsigned char> out(kQosMaxPackedSize);
    size_t written = 99;
    EXPECT_EQ(expected, PackReport(head, body, out.data(), out.size(), &written));
    out.resize(written);
    return out;
}

void ExpectSameBody(const QOSRep& a, const QOSRep& b) {
    EXPECT_EQ(a.BusinessID, b.BusinessID);
    EXPECT_STREQ(a.CltID, b.CltID);
    EXPECT_STREQ(a.ServerID, b.ServerID);
    ASSERT_EQ(a.QosNum, b.QosNum);
    for (uint32_t i = 0; i < a.QosNum; ++i) {
        const QOSCSQosRep& x = a.QosList[i];
        const QOSCSQosRep& y = b.QosList[i];
        EXPECT_EQ(x.QosID, y.QosID);
        EXPECT_EQ(x.QosVal, y.QosVal);
        ASSERT_EQ(x.AppendDescFlag, y.AppendDescFlag);
        if (x.AppendDescFlag != QOS_APPEND_DESC_COMM) continue;
        const QOSAppendDescComm& c = x.AppendDesc.Comm;
        const QOSAppendDescComm& d = y.AppendDesc.Comm;
        ASSERT_EQ(c.IntNum, d.IntNum);
        for (uint32_t k = 0; k < c.IntNum; ++k) EXPECT_EQ(c.IntList[k], d.IntList[k]);
        ASSERT_EQ(c.StrNum, d.StrNum);
        for (uint32_t k = 0; k < c.StrNum; ++k) EXPECT_STREQ(c.StrList[k], d.StrList[k]);
    }
}

TEST(QosWire, ExactBytesOfASmallReport) {
    auto body = ReportBody(2, 1);
    body->QosList[0].AppendDesc.Comm.IntList[0] = 9999;
    body->QosList[0].AppendDesc.Comm.IntList[1] = -2;
    CopyWireString(body->QosList[0].AppendDesc.Comm.StrList[0], QOS_CS_ADINFO_STR_LEN, "ab", kQosMaxStrBytes);
    CopyWireString(body->CltID, QOS_CS_STRING_LEN, "C", QOS_CS_STRING_LEN);
    std::vector<unsigned char> bytes = Pack(ReportHead(0x01020304), *body);
    const std::vector<unsigned char> expected = {
        0x75, 0x72, 0x00, 0x10, 0x00, 0x00, 0x00, 0x05,  // magic, head len, body len, cmd
        0x00, 0x00, 0x00, 0x0A, 0x01, 0x02, 0x03, 0x04,  // proto ver, seq
        0x00, 0x00, 0x00, 0x64,                          // BusinessID 100
        0x00, 0x00, 0x00, 0x02, 'C',  0x00,              // CltID "C"
        0x00, 0x00, 0x00, 0x01, 0x00,                    // ServerID ""
        0x00, 0x00, 0x00, 0x01,                          // QosNum
        0x00, 0x00, 0x07, 0xD3, 0x00, 0x00, 0x00, 0x00,  // QosID 2003, QosVal 0
        0x00, 0x00, 0x00, 0x02,                          // AppendDescFlag COMM
        0x00, 0x00, 0x00, 0x02,                          // IntNum
        0x00, 0x00, 0x27, 0x0F, 0xFF, 0xFF, 0xFF, 0xFE,  // 9999, -2
        0x00, 0x00, 0x00, 0x01,                          // StrNum
        0x00, 0x00, 0x00, 0x03, 'a',  'b',  0x00,        // "ab"
    };
    std::vector<unsigned char> withBodyLen = expected;
    withBodyLen[5] = static_cast<unsigned char>(expected.size() - kQosHeadSize);
    EXPECT_EQ(withBodyLen, bytes);
}

TEST(QosWire, RoundTripsAtEveryCount) {
    for (uint32_t values : {0u, 3u, 4u, 30u}) {
        for (uint32_t strings : {0u, 4u, 10u}) {
            auto body = ReportBody(values, strings);
            CopyWireString(body->CltID, QOS_CS_STRING_LEN, std::string(40, 'g'), QOS_CS_STRING_LEN);
            std::vector<unsigned char> bytes = Pack(ReportHead(values * 100 + strings), *body);
            ASSERT_FALSE(bytes.empty());
            QOSCSPkgHead head;
            auto decoded = std::make_unique<QOSRep>();
            ASSERT_EQ(WireResult::Ok, UnpackReport(bytes.data(), bytes.size(), &head, decoded.get()));
            EXPECT_EQ(QOS_CS_MAGIC, head.Magic);
            EXPECT_EQ(kQosHeadSize, head.HeadLen);
            EXPECT_EQ(bytes.size() - kQosHeadSize, head.BodyLen);
            EXPECT_EQ(values * 100 + strings, head.Seq);
            EXPECT_EQ(kQosProtoVer, head.ProtoVer);
            EXPECT_EQ(std::string(31, 'g'), decoded->CltID);
            ExpectSameBody(*body, *decoded);
        }
    }
}

TEST(QosWire, LargestMessageFitsTheLimit) {
    // Every quality item full, every string at its longest.
    auto body = ReportBody(30, 10);
    body->QosNum = QOS_CS_MAX_REP;
    for (uint32_t i = 0; i < QOS_CS_MAX_REP; ++i) {
        body->QosList[i] = body->QosList[0];
        for (auto& s : body->QosList[i].AppendDesc.Comm.StrList) {
            std::memset(s, 'z', QOS_CS_ADINFO_STR_LEN - 1);
        }
    }
    std::vector<unsigned char> bytes = Pack(ReportHead(1), *body);
    EXPECT_LE(bytes.size(), kQosMaxPackedSize);
    QOSCSPkgHead head;
    auto decoded = std::make_unique<QOSRep>();
    ASSERT_EQ(WireResult::Ok, UnpackReport(bytes.data(), bytes.size(), &head, decoded.get()));
    ExpectSameBody(*body, *decoded);
}

TEST(QosWire, PackingRefusesWhatDoesNotFit) {
    EXPECT_TRUE(Pack(ReportHead(1), *ReportBody(31, 0), WireResult::TooManyValues).empty());
    EXPECT_TRUE(Pack(ReportHead(1), *ReportBody(0, 11), WireResult::TooManyStrings).empty());
    auto reps = ReportBody(1, 1);
    reps->QosNum = QOS_CS_MAX_REP + 1;
    EXPECT_TRUE(Pack(ReportHead(1), *reps, WireResult::TooManyReps).empty());

    auto unterminated = ReportBody(1, 1);
    std::memset(unterminated->QosList[0].AppendDesc.Comm.StrList[0], 'x', QOS_CS_ADINFO_STR_LEN);
    Pack(ReportHead(1), *unterminated, WireResult::BadString);
    auto client = ReportBody(1, 1);
    std::memset(client->CltID, 'x', QOS_CS_STRING_LEN);
    Pack(ReportHead(1), *client, WireResult::BadString);

    auto other = ReportBody(1, 1);
    other->QosList[0].AppendDescFlag = QOS_APPEND_DESC_PELMGAME;
    Pack(ReportHead(1), *other, WireResult::BadUnion);

    // Too small a buffer: refused, and nothing written past its end.
    auto full = ReportBody(30, 10);
    std::vector<unsigned char> whole = Pack(ReportHead(1), *full);
    for (size_t capacity : {size_t(0), size_t(15), whole.size() / 2, whole.size() - 1}) {
        std::vector<unsigned char> out(capacity + 8, 0xAB);
        size_t written = 1;
        EXPECT_EQ(WireResult::TooLong, PackReport(ReportHead(1), *full, out.data(), capacity, &written));
        EXPECT_EQ(0u, written);
        for (size_t i = capacity; i < out.size(); ++i) ASSERT_EQ(0xAB, out[i]);
    }
    size_t written = 0;
    std::vector<unsigned char> exact(whole.size());
    EXPECT_EQ(WireResult::Ok, PackReport(ReportHead(1), *full, exact.data(), exact.size(), &written));
    EXPECT_EQ(whole, exact);
}

TEST(QosWire, StringsAreCutToTheirLimit) {
    char field[QOS_CS_ADINFO_STR_LEN + 4];
    std::memset(field, 'q', sizeof(field));
    CopyWireString(field, QOS_CS_ADINFO_STR_LEN, std::string(300, 's'), kQosMaxStrBytes);
    EXPECT_EQ(std::string(126, 's'), std::string(field));
    EXPECT_EQ('q', field[QOS_CS_ADINFO_STR_LEN]);  // nothing past the field
    CopyWireString(field, QOS_CS_ADINFO_STR_LEN, std::string(126, 't'), kQosMaxStrBytes);
    EXPECT_EQ(std::string(126, 't'), std::string(field));
    CopyWireString(field, QOS_CS_STRING_LEN, std::string(126, 'u'), kQosMaxStrBytes);
    EXPECT_EQ(std::string(31, 'u'), std::string(field));
}

TEST(QosWire, DamagedMessagesAreRefused) {
    std::vector<unsigned char> good = Pack(ReportHead(7), *ReportBody(30, 10));
    QOSCSPkgHead head;
    auto body = std::make_unique<QOSRep>();

    // Every prefix is refused.
    for (size_t n = 0; n < good.size(); ++n) {
        EXPECT_NE(WireResult::Ok, UnpackReport(good.data(), n, &head, body.get())) << n;
    }
    auto with = [&](size_t offset, unsigned char byte) {
        std::vector<unsigned char> bad = good;
        bad[offset] = byte;
        return UnpackReport(bad.data(), bad.size(), &head, body.get());
    };
    EXPECT_EQ(WireResult::BadMagic, with(0, 0x00));
    EXPECT_EQ(WireResult::BadLength, with(3, 0x11));
    EXPECT_EQ(WireResult::BadCommand, with(7, QOS_GET_REQ));
    EXPECT_EQ(WireResult::BadString, with(16 + 4 + 3, 0x21));  // CltID length 33
    EXPECT_EQ(WireResult::BadString, with(16 + 4 + 3, 0x00));  // length 0
    EXPECT_EQ(WireResult::TooManyReps, with(16 + 4 + 5 + 5 + 3, 9));
    EXPECT_EQ(WireResult::BadUnion, with(16 + 4 + 5 + 5 + 4 + 8 + 3, 1));
    EXPECT_EQ(WireResult::TooManyValues, with(16 + 4 + 5 + 5 + 4 + 12 + 3, 31));

    auto named = ReportBody(1, 1);
    CopyWireString(named->CltID, QOS_CS_STRING_LEN, "abc", QOS_CS_STRING_LEN);
    std::vector<unsigned char> zeroInside = Pack(ReportHead(1), *named);
    zeroInside[16 + 4 + 4 + 1] = 0;  // "a\0c\0"
    EXPECT_EQ(WireResult::BadString, UnpackReport(zeroInside.data(), zeroInside.size(), &head, body.get()));

    std::vector<unsigned char> longer = good;
    longer.push_back(0);
    EXPECT_EQ(WireResult::BadLength, UnpackReport(longer.data(), longer.size(), &head, body.get()));
    longer[4] = static_cast<unsigned char>((longer.size() - kQosHeadSize) >> 8);
    longer[5] = static_cast<unsigned char>(longer.size() - kQosHeadSize);
    EXPECT_EQ(WireResult::TrailingBytes, UnpackReport(longer.data(), longer.size(), &head, body.get()));
}

TEST(QosWire, RandomBytesNeverDecodeOutOfBounds) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::vector<unsigned char> good = Pack(ReportHead(7), *ReportBody(30, 10));
    QOSCSPkgHead head;
    auto body = std::make_unique<QOSRep>();
    for (int round = 0; round < 2000; ++round) {
        std::vector<unsigned char> bad = good;
        for (int flips = 1 + static_cast<int>(random() % 4); flips > 0; --flips) {
            bad[random() % bad.size()] = static_cast<unsigned char>(random());
        }
        bad.resize(random() % (bad.size() + 1));
        WireResult result = UnpackReport(bad.data(), bad.size(), &head, body.get());
        if (result == WireResult::Ok) {
            // Whatever decoded must pack back to the same bytes.
            std::vector<unsigned char> again = Pack(head, *body);
            EXPECT_EQ(bad, again);
        }
    }
}

}  // namespace
