// Address texts and the clock conversion: the portable part of pal.

#include <gtest/gtest.h>

#include <string>

#include "tnet.h"
#include "ttime.h"

namespace {

NetAddress Parse(const std::string& text, bool* ok) {
    NetAddress address;
    *ok = ParseNetAddress(text.c_str(), &address);
    return address;
}

TEST(NetAddressText, SchemeAddressHostAndPort) {
    bool ok = false;
    NetAddress a = Parse("udp://stats.example.invalid:8080", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ("udp", a.scheme);
    EXPECT_EQ(kNetSchemeUdp, a.schemeNumber);
    EXPECT_EQ("stats.example.invalid:8080", a.address);
    EXPECT_EQ("stats.example.invalid", a.host);
    EXPECT_EQ(8080, a.port);
    EXPECT_TRUE(a.options.empty());
}

TEST(NetAddressText, WithoutSchemeIsTcp) {
    bool ok = false;
    NetAddress a = Parse("127.0.0.1:21", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ("tcp", a.scheme);
    EXPECT_EQ(kNetSchemeTcp, a.schemeNumber);
    EXPECT_EQ("127.0.0.1", a.host);
    EXPECT_EQ(21, a.port);
}

TEST(NetAddressText, SchemeLengthLimits) {
    bool ok = false;
    Parse(std::string(15, 's') + "://h:1", &ok);
    EXPECT_TRUE(ok);
    Parse(std::string(16, 's') + "://h:1", &ok);
    EXPECT_FALSE(ok);
    Parse("://h:1", &ok);
    EXPECT_FALSE(ok);
    NetAddress unknown = Parse("ftp://h:1", &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(0, unknown.schemeNumber);
}

TEST(NetAddressText, AddressLengthLimit) {
    bool ok = false;
    std::string host127(121, 'h');  // + ":8080" = 126, then one more below
    Parse("udp://" + host127 + "x:8080", &ok);
    EXPECT_TRUE(ok);  // 127 characters
    Parse("udp://" + host127 + "xx:8080", &ok);
    EXPECT_FALSE(ok);  // 128
    Parse("udp://" + host127 + "x:8080?a=b", &ok);
    EXPECT_TRUE(ok);  // the options do not count
}

TEST(NetAddressText, PortMissingOrUnparsableIsZero) {
    bool ok = false;
    EXPECT_EQ(0, Parse("udp://host", &ok).port);
    EXPECT_EQ("host", Parse("udp://host", &ok).host);
    EXPECT_EQ(0, Parse("udp://host:", &ok).port);
    EXPECT_EQ(0, Parse("udp://host:80x", &ok).port);
    EXPECT_EQ(0, Parse("udp://host:65536", &ok).port);
    EXPECT_EQ(65535, Parse("udp://host:65535", &ok).port);
}

TEST(NetAddressText, Options) {
    bool ok = false;
    NetAddress a = Parse("tcp://h:1?type=stream&flag&x=1&&ignored=2", &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(3u, a.options.size());
    EXPECT_EQ("type", a.options[0].first);
    EXPECT_EQ("stream", a.options[0].second);
    EXPECT_EQ("flag", a.options[1].first);
    EXPECT_EQ("", a.options[1].second);
    EXPECT_EQ("x", a.options[2].first);
    EXPECT_EQ(1, NetSocketTypeNumber(a.options[0].second));
    EXPECT_EQ(5, NetSocketTypeNumber("seqpacket"));
    EXPECT_EQ(0, NetSocketTypeNumber("datagram"));

    Parse("tcp://h:1?" + std::string(31, 'n') + "=" + std::string(255, 'v'), &ok);
    EXPECT_TRUE(ok);
    Parse("tcp://h:1?" + std::string(32, 'n') + "=v", &ok);
    EXPECT_FALSE(ok);
    Parse("tcp://h:1?n=" + std::string(256, 'v'), &ok);
    EXPECT_FALSE(ok);

    std::string many = "tcp://h:1?";
    for (size_t i = 0; i <= kNetMaxOptions; ++i) many += "o=1&";
    Parse(many, &ok);
    EXPECT_FALSE(ok);
}

TEST(NetAddressText, NumericAddress) {
    EXPECT_TRUE(IsNumericAddress("127.0.0.1"));
    EXPECT_TRUE(IsNumericAddress(""));
    EXPECT_TRUE(IsNumericAddress("2130706433"));
    EXPECT_FALSE(IsNumericAddress("localhost"));
    EXPECT_FALSE(IsNumericAddress("10.0.0.1a"));
    EXPECT_FALSE(IsNumericAddress("::1"));
}

TEST(NetAddressTextDeath, NullArgumentStopsWithTheAssertionMessage) {
    NetAddress a;
    EXPECT_DEATH(ParseNetAddress(nullptr, &a), "Assertion failed: text != nullptr, file pal.tnet");
}

TEST(TimeConversion, FromSystemClock) {
    TimeValue epoch = TimeFromSystemClock(kClockAt1970);
    EXPECT_EQ(0u, epoch.seconds);
    EXPECT_EQ(0u, epoch.microseconds);

    // 2026-01-01 00:00:00 UTC is 1767225600 s after 1970; add 1.2345678 s.
    uint64_t clock = kClockAt1970 + 17672256000000000ULL + 12345678ULL;
    TimeValue t = TimeFromSystemClock(clock);
    EXPECT_EQ(1767225601u, t.seconds);
    EXPECT_EQ(234567u, t.microseconds);

    EXPECT_EQ(0u, TimeFromSystemClock(0).seconds);
}

}  // namespace
