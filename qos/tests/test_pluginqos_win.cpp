// PluginQos end to end: reports to a receiver on the loopback interface,
// decoded with the same code qosdump uses; the machine GUID in Common.ini;
// the server named by the plug-in settings file.

#include <winsock2.h>
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "ClientGuid.h"
#include "ModuleVersion.h"
#include "PluginQos.h"
#include "QosTransport.h"
#include "QosWire.h"

namespace fs = std::filesystem;
using namespace qos;

namespace {

const char kVersion[] = "draviksidloplugin/1/2/3/4";  // tests/version.rc

// A scratch folder of the test's own, removed afterwards.
class ScratchFolder {
public:
    ScratchFolder() {
        path_ =
            fs::temp_directory_path() / ("brevik-qos-" + std::to_string(GetCurrentProcessId()) + "-" +
                                         std::to_string(GetTickCount64()) + "-" + std::to_string(counter_++));
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::wstring File(const std::wstring& relative) const { return (path_ / relative).wstring(); }

private:
    static int counter_;
    fs::path path_;
};
int ScratchFolder::counter_ = 0;

void WriteText(const std::wstring& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(fs::path(path), std::ios::binary) << text;
}

std::wstring ReadGuidValue(const std::wstring& path) {
    wchar_t buffer[2048] = {};
    GetPrivateProfileStringW(L"QOS", L"GUID", L"", buffer, 2048, path.c_str());
    return buffer;
}

bool IsRegistryGuid(const std::string& text) {
    static const std::regex form("\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}");
    return std::regex_match(text, form);
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// A UDP socket on 127.0.0.1 that decodes what arrives.
class Receiver {
public:
    Receiver() {
        WSADATA data;
        started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        socket_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof(local));
        int length = sizeof(local);
        getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
    }
    ~Receiver() {
        closesocket(socket_);
        if (started_) WSACleanup();
    }
    unsigned short port() const { return port_; }

    // The next report within timeoutMs: false when none came.
    bool Next(int timeoutMs, QOSCSPkgHead* head, QOSRep* body) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(socket_, &set);
        timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        if (select(0, &set, nullptr, nullptr, &tv) != 1) return false;
        std::vector<unsigned char> buffer(65536);
        int n = recv(socket_, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0);
        if (n <= 0) return false;
        return UnpackReport(buffer.data(), static_cast<size_t>(n), head, body) == WireResult::Ok;
    }

private:
    bool started_ = false;
    SOCKET socket_ = INVALID_SOCKET;
    unsigned short port_ = 0;
};

std::vector<int32_t> Values(const QOSRep& body) {
    const QOSAppendDescComm& c = body.QosList[0].AppendDesc.Comm;
    return std::vector<int32_t>(c.IntList, c.IntList + c.IntNum);
}

std::vector<std::string> Strings(const QOSRep& body) {
    const QOSAppendDescComm& c = body.QosList[0].AppendDesc.Comm;
    std::vector<std::string> out;
    for (uint32_t i = 0; i < c.StrNum; ++i) out.emplace_back(c.StrList[i]);
    return out;
}

TEST(ClientGuid, MadeOnceWrittenWithItsFoldersAndReused) {
    ScratchFolder scratch;
    const std::wstring ini = scratch.File(L"Orvane\\KestrumDL\\Common.ini");
    std::string first = GetClientGuid(ini);
    EXPECT_TRUE(IsRegistryGuid(first)) << first;
    EXPECT_EQ(first, Narrow(ReadGuidValue(ini)));
    EXPECT_EQ(first, GetClientGuid(ini));
}

TEST(ClientGuid, ExistingValueIsKeptAndEmptyOneReplaced) {
    ScratchFolder scratch;
    const std::wstring ini = scratch.File(L"Common.ini");
    WriteText(ini, "[QOS]\r\nGUID=my-own-machine-id\r\n[Other]\r\nKey=1\r\n");
    EXPECT_EQ("my-own-machine-id", GetClientGuid(ini));
    EXPECT_EQ(L"my-own-machine-id", ReadGuidValue(ini));

    WriteText(ini, "[QOS]\r\nGUID=\r\n[Other]\r\nKey=1\r\n");
    std::string made = GetClientGuid(ini);
    EXPECT_TRUE(IsRegistryGuid(made)) << made;
    EXPECT_EQ(made, Narrow(ReadGuidValue(ini)));
    wchar_t other[16] = {};
    GetPrivateProfileStringW(L"Other", L"Key", L"", other, 16, ini.c_str());
    EXPECT_STREQ(L"1", other);
}

TEST(ClientGuid, PathWithWildcardsIsNotCreated) {
    ScratchFolder scratch;
    const std::wstring ini = scratch.File(L"a?b\\Common.ini");
    EXPECT_TRUE(IsRegistryGuid(GetClientGuid(ini)));
    EXPECT_FALSE(fs::exists(fs::path(scratch.File(L"a"))));
}

// Without a path of its own the reporter keeps the GUID where the maker's
// tools do: Orvane\KestrumDL\Common.ini in the user's application-data
// folder (under Wine, that of the test's prefix).
TEST(ClientGuid, TheDefaultFileIsInTheApplicationDataFolder) {
    PWSTR roaming = nullptr;
    ASSERT_TRUE(SUCCEEDED(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &roaming)));
    const std::wstring expected = std::wstring(roaming) + L"\\Orvane\\KestrumDL\\Common.ini";
    CoTaskMemFree(roaming);
    EXPECT_EQ(expected, DefaultCommonIniPath());

    PluginQos qos;
    qos.SetServer("127.0.0.1", 9);  // reports go nowhere that listens
    ASSERT_TRUE(qos.Init());
    EXPECT_TRUE(IsRegistryGuid(qos.ClientId())) << qos.ClientId();
    EXPECT_TRUE(fs::exists(fs::path(expected)));
    EXPECT_EQ(qos.ClientId(), Narrow(ReadGuidValue(expected)));
    qos.Release();
}

TEST(ModuleVersionTest, ReadsTheResourceOfTheModuleHoldingTheCode) {
    EXPECT_EQ(kVersion, PluginVersionString(OwnModuleVersion()));
}

class PluginQosTest : public ::testing::Test {
protected:
    ScratchFolder scratch_;
    std::wstring ini_ = scratch_.File(L"Orvane\\KestrumDL\\Common.ini");
    Receiver receiver_;
    QOSCSPkgHead head_;
    std::unique_ptr<QOSRep> body_ = std::make_unique<QOSRep>();

    void Configure(PluginQos* qos) {
        qos->SetServer("localhost", receiver_.port());
        qos->SetCommonIniPath(ini_);
    }
    bool Next() { return receiver_.Next(3000, &head_, body_.get()); }
    bool Nothing() { return !receiver_.Next(200, &head_, body_.get()); }
};

TEST_F(PluginQosTest, StartFullAndEndReports) {
    PluginQos qos;
    Configure(&qos);
    ASSERT_TRUE(qos.Init());
    const std::string guid = qos.ClientId();
    EXPECT_TRUE(IsRegistryGuid(guid));
    EXPECT_EQ(kVersion, qos.VersionString());

    ASSERT_TRUE(qos.SendStartReport());
    ASSERT_TRUE(Next());
    const uint32_t first = head_.Seq;
    EXPECT_EQ(QOS_CS_MAGIC, head_.Magic);
    EXPECT_EQ(QOS_REP, head_.Cmd);
    EXPECT_EQ(10u, head_.ProtoVer);
    EXPECT_EQ(100u, body_->BusinessID);
    EXPECT_STREQ("", body_->CltID);
    ASSERT_EQ(1u, body_->QosNum);
    EXPECT_EQ(2003u, body_->QosList[0].QosID);
    EXPECT_EQ(QOS_APPEND_DESC_COMM, body_->QosList[0].AppendDescFlag);
    EXPECT_EQ((std::vector<int32_t>{9999, 1025, 2}), Values(*body_));
    EXPECT_EQ((std::vector<std::string>{"SidloPluginQos", guid, kVersion, "not_set_uin"}), Strings(*body_));

    // Values as the repair sets them, then the stop's stage and the report.
    EXPECT_TRUE(qos.SetValue(3, 1));
    EXPECT_TRUE(qos.SetValue(5, 3));
    EXPECT_TRUE(qos.SetValue(29, -5));
    EXPECT_FALSE(qos.SetValue(30, 1));
    EXPECT_FALSE(qos.SetValue(-1, 1));
    EXPECT_TRUE(qos.SetValue(17, 3));
    ASSERT_TRUE(qos.SendFullReport());
    ASSERT_TRUE(Next());
    EXPECT_EQ(first + 1, head_.Seq);
    std::vector<int32_t> expected(30, 0);
    expected[0] = 9999;
    expected[1] = 1025;
    expected[2] = 1;
    expected[3] = 1;
    expected[5] = 3;
    expected[17] = 3;
    expected[29] = -5;
    EXPECT_EQ(expected, Values(*body_));
    EXPECT_EQ((std::vector<std::string>{"SidloPluginQos", guid, "", kVersion, "", "", "", "", "", ""}),
              Strings(*body_));

    // Once only; later values are dropped.
    EXPECT_TRUE(qos.IsFullReportSent());
    EXPECT_FALSE(qos.SetValue(5, 2));
    EXPECT_FALSE(qos.SendFullReport());
    EXPECT_TRUE(Nothing());

    ASSERT_TRUE(qos.SendEndReport(3));
    ASSERT_TRUE(Next());
    EXPECT_EQ(first + 2, head_.Seq);
    EXPECT_EQ((std::vector<int32_t>{9999, 1025, 3, 3}), Values(*body_));
    EXPECT_EQ(4u, Strings(*body_).size());

    qos.Release();
    EXPECT_FALSE(qos.SendEndReport(3));
    EXPECT_TRUE(Nothing());
}

TEST_F(PluginQosTest, TheGuidIsSharedAcrossReportersAndLongStringsAreCut) {
    std::string guid;
    {
        PluginQos qos;
        Configure(&qos);
        ASSERT_TRUE(qos.Init());
        guid = qos.ClientId();
    }
    PluginQos again;
    Configure(&again);
    ASSERT_TRUE(again.Init());
    EXPECT_EQ(guid, again.ClientId());

    // A client id longer than a report string goes out cut to 126 bytes.
    WriteText(ini_, "[QOS]\r\nGUID=" + std::string(300, 'L') + "\r\n");
    PluginQos longId;
    Configure(&longId);
    ASSERT_TRUE(longId.Init());
    EXPECT_EQ(300u, longId.ClientId().size());
    ASSERT_TRUE(longId.SendStartReport());
    ASSERT_TRUE(Next());
    EXPECT_EQ(std::string(126, 'L'), Strings(*body_)[1]);
    ASSERT_TRUE(longId.SendFullReport());
    ASSERT_TRUE(Next());
    EXPECT_EQ(std::string(126, 'L'), Strings(*body_)[1]);
}

TEST_F(PluginQosTest, WithoutAServerNothingIsSentAndNothingWritten) {
    PluginQos qos;
    qos.SetCommonIniPath(ini_);
    int lookups = 0;
    qos.SetTransportOpener([&](const std::string&, unsigned short, std::string*) {
        ++lookups;
        return std::unique_ptr<QosTransport>();
    });
    EXPECT_EQ("", qos.ServerHost());
    EXPECT_EQ(8080, qos.ServerPort());
    EXPECT_FALSE(qos.Init());
    EXPECT_EQ(0, lookups);  // no name is looked up
    EXPECT_FALSE(qos.IsInitialised());
    EXPECT_FALSE(qos.SendStartReport());
    EXPECT_TRUE(qos.SetValue(17, 2));
    EXPECT_FALSE(qos.SendFullReport());
    EXPECT_FALSE(qos.SetValue(17, 2));  // the lists are gone all the same
    EXPECT_FALSE(qos.SendEndReport(2));
    EXPECT_FALSE(fs::exists(fs::path(ini_)));
}

TEST_F(PluginQosTest, TheSettingsFileNamesTheServer) {
    const std::wstring settings = scratch_.File(L"morlfixedconfig.ini");
    PluginQos untouched;
    untouched.ReadSettings(settings);  // missing file
    EXPECT_EQ("", untouched.ServerHost());

    WriteText(settings, "[MORL]\r\nversion=1.0\r\n");
    untouched.ReadSettings(Narrow(settings));  // no key
    EXPECT_EQ("", untouched.ServerHost());
    EXPECT_FALSE(untouched.Init());

    WriteText(settings, "[MORL]\r\nversion=1.0\r\nQosHost=localhost\r\n");
    PluginQos wide;
    wide.ReadSettings(settings);
    EXPECT_EQ("localhost", wide.ServerHost());
    EXPECT_EQ(8080, wide.ServerPort());
    PluginQos ansi;
    ansi.ReadSettings(Narrow(settings));
    EXPECT_EQ("localhost", ansi.ServerHost());
}

//-----------------------------------------------------------------------------
// The lookup on the reporter's own thread

// A lookup that waits until the test lets it go, then opens the real
// transport (or fails).  Records the thread it ran on.
class HeldLookup {
public:
    HeldLookup() : go_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~HeldLookup() {
        Let();
        // The sender's thread may still be inside the opener.
        while (running_.load() != 0) Sleep(1);
        CloseHandle(go_);
    }
    QosSender::Opener Opener(bool succeed) {
        return [this, succeed](const std::string& host, unsigned short port, std::string* failure) {
            ++running_;
            thread_ = GetCurrentThreadId();
            WaitForSingleObject(go_, INFINITE);
            std::unique_ptr<QosTransport> transport;
            if (succeed)
                transport = OpenQosTransport(host, port, failure);
            else
                *failure = "the name does not resolve";
            --running_;
            return transport;
        };
    }
    void Let() { SetEvent(go_); }
    DWORD Thread() const { return thread_.load(); }

private:
    HANDLE go_;
    std::atomic<DWORD> thread_{0};
    std::atomic<int> running_{0};
};

TEST_F(PluginQosTest, ReportsWaitInOrderBehindTheLookupOnItsOwnThread) {
    HeldLookup lookup;
    PluginQos qos;
    Configure(&qos);
    qos.SetTransportOpener(lookup.Opener(true));
    ASSERT_TRUE(qos.Init());
    // All three are handed over while the lookup is still held.
    ASSERT_TRUE(qos.SendStartReport());
    EXPECT_TRUE(qos.SetValue(17, 4));
    ASSERT_TRUE(qos.SendFullReport());
    ASSERT_TRUE(qos.SendEndReport(4));
    EXPECT_EQ(QosSender::Link::Pending, qos.GetLink());
    EXPECT_TRUE(Nothing());
    lookup.Let();
    ASSERT_TRUE(Next());
    EXPECT_EQ((std::vector<int32_t>{9999, 1025, 2}), Values(*body_));
    const uint32_t first = head_.Seq;
    ASSERT_TRUE(Next());
    EXPECT_EQ(30u, Values(*body_).size());
    EXPECT_EQ(4, Values(*body_)[17]);
    EXPECT_EQ(first + 1, head_.Seq);
    ASSERT_TRUE(Next());
    EXPECT_EQ((std::vector<int32_t>{9999, 1025, 3, 4}), Values(*body_));
    EXPECT_EQ(first + 2, head_.Seq);
    EXPECT_NE(0u, lookup.Thread());
    EXPECT_NE(GetCurrentThreadId(), lookup.Thread());
    EXPECT_EQ(QosSender::Link::Up, qos.GetLink());
}

TEST_F(PluginQosTest, AFailedLookupSendsNoReport) {
    HeldLookup lookup;
    PluginQos qos;
    Configure(&qos);
    qos.SetTransportOpener(lookup.Opener(false));
    ASSERT_TRUE(qos.Init());
    EXPECT_TRUE(qos.SendStartReport());  // handed over before the lookup ended
    lookup.Let();
    for (int i = 0; i < 500 && qos.GetLink() == QosSender::Link::Pending; ++i) Sleep(10);
    EXPECT_EQ(QosSender::Link::Failed, qos.GetLink());
    EXPECT_FALSE(qos.SendFullReport());
    EXPECT_FALSE(qos.SendEndReport(1));
    qos.Release();
    EXPECT_TRUE(Nothing());
}

TEST_F(PluginQosTest, ReleaseDoesNotWaitForALookupThatHangs) {
    HeldLookup lookup;
    {
        PluginQos qos;
        Configure(&qos);
        qos.SetTransportOpener(lookup.Opener(true));
        ASSERT_TRUE(qos.Init());
        ASSERT_TRUE(qos.SendStartReport());
        const ULONGLONG start = GetTickCount64();
        qos.Release();  // the lookup is still held
        const ULONGLONG waited = GetTickCount64() - start;
        std::printf("Release with the lookup held returned after %llu ms\n", waited);
    }
    // The reporter is gone; its thread still sends once the lookup ends in
    // time.
    lookup.Let();
    ASSERT_TRUE(Next());
    EXPECT_EQ((std::vector<int32_t>{9999, 1025, 2}), Values(*body_));
}

}  // namespace
