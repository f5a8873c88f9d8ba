// qosdump's JSON lines, and (natively) the program itself receiving reports
// on a loopback port.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QosJson.h"
#include "QosWire.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#endif

using namespace qos;

namespace {

std::unique_ptr<QOSRep> Report(std::vector<int32_t> values, std::vector<std::string> strings) {
    auto body = std::make_unique<QOSRep>();
    body->BusinessID = 100;
    body->QosNum = 1;
    body->QosList[0].QosID = 2003;
    body->QosList[0].AppendDescFlag = QOS_APPEND_DESC_COMM;
    QOSAppendDescComm& comm = body->QosList[0].AppendDesc.Comm;
    comm.IntNum = static_cast<uint32_t>(values.size());
    for (size_t i = 0; i < values.size(); ++i) comm.IntList[i] = values[i];
    comm.StrNum = static_cast<uint32_t>(strings.size());
    for (size_t i = 0; i < strings.size(); ++i) {
        CopyWireString(comm.StrList[i], QOS_CS_ADINFO_STR_LEN, strings[i], kQosMaxStrBytes);
    }
    return body;
}

QOSCSPkgHead Head(uint32_t seq) {
    QOSCSPkgHead head;
    head.Magic = QOS_CS_MAGIC;
    head.Cmd = QOS_REP;
    head.ProtoVer = kQosProtoVer;
    head.Seq = seq;
    return head;
}

TEST(QosJson, KindsAndFields) {
    EXPECT_EQ(
        "{\"kind\":\"start\",\"seq\":4294967295,\"values\":[9999,1025,2],"
        "\"strings\":[\"SidloPluginQos\",\"{G}\",\"v\",\"not_set_uin\"]}",
        ReportJson(Head(0xFFFFFFFFu),
                   *Report({9999, 1025, 2}, {"SidloPluginQos", "{G}", "v", "not_set_uin"})));
    EXPECT_STREQ("full", ReportKind(*Report({9999, 1025, 1}, {})));
    EXPECT_STREQ("end", ReportKind(*Report({9999, 1025, 3, 7}, {})));
    EXPECT_STREQ("unknown", ReportKind(*Report({9999, 1025}, {})));
    EXPECT_STREQ("unknown", ReportKind(*Report({9999, 1025, 4}, {})));
    EXPECT_EQ("{\"kind\":\"end\",\"seq\":1,\"values\":[9999,1025,3,-1],\"strings\":[]}",
              ReportJson(Head(1), *Report({9999, 1025, 3, -1}, {})));

    auto none = std::make_unique<QOSRep>();
    EXPECT_EQ("{\"kind\":\"unknown\",\"seq\":2,\"values\":[],\"strings\":[]}", ReportJson(Head(2), *none));
}

TEST(QosJson, StringsAreEscapedAndValidUtf8) {
    EXPECT_EQ("\"a\\\"b\\\\c\\u000a\\u0001\"", JsonString("a\"b\\c\n\x01"));
    EXPECT_EQ("\"\xE4\xBF\xAE\xE5\xA4\x8D\"", JsonString("\xE4\xBF\xAE\xE5\xA4\x8D"));  // 修复
    EXPECT_EQ("\"\\ufffd\\ufffdx\"", JsonString("\xC0\xAFx"));                          // overlong
    EXPECT_EQ("\"\\ufffd\\ufffd\"", JsonString("\xE4\xBF"));             // cut short: one per byte
    EXPECT_EQ("\"\\ufffd\\ufffd\\ufffd\"", JsonString("\xED\xA0\x80"));  // a surrogate
}

#ifndef _WIN32

// Runs qosdump with a pipe on each output stream.
class QosdumpProcess {
public:
    explicit QosdumpProcess(std::vector<std::string> args) {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            close(out[0]);
            close(err[0]);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(QOSDUMP_PATH));
            for (std::string& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(QOSDUMP_PATH, argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_ = fdopen(out[0], "r");
        err_ = fdopen(err[0], "r");
    }
    ~QosdumpProcess() {
        if (out_) fclose(out_);
        if (err_) fclose(err_);
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

    static std::string Line(FILE* f) {
        char buffer[4096];
        if (f == nullptr || fgets(buffer, sizeof(buffer), f) == nullptr) return std::string();
        return buffer;
    }
    std::string OutLine() { return Line(out_); }
    std::string ErrLine() { return Line(err_); }
    int Wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
    FILE* err_ = nullptr;
};

void SendTo(unsigned short port, const std::vector<unsigned char>& bytes) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    close(fd);
}

std::vector<unsigned char> Packed(uint32_t seq, const QOSRep& body) {
    std::vector<unsigned char> out(kQosMaxPackedSize);
    size_t n = 0;
    EXPECT_EQ(WireResult::Ok, PackReport(Head(seq), body, out.data(), out.size(), &n));
    out.resize(n);
    return out;
}

TEST(Qosdump, PrintsEachReportAndSkipsOtherDatagrams) {
    QosdumpProcess dump({"--bind", "127.0.0.1", "--port", "0", "--count", "2", "--idle-ms", "20000"});
    std::string ready = dump.ErrLine();
    const std::string prefix = "qosdump: listening on udp 127.0.0.1:";
    ASSERT_EQ(0u, ready.find(prefix)) << ready;
    unsigned short port = static_cast<unsigned short>(std::stoi(ready.substr(prefix.size())));
    ASSERT_NE(0, port);

    SendTo(port, Packed(41, *Report({9999, 1025, 2}, {"SidloPluginQos", "g", "v", "u"})));
    SendTo(port, {0x75, 0x72, 0x00});
    SendTo(port, Packed(42, *Report({9999, 1025, 3, 6}, {"SidloPluginQos", "g", "v", "u"})));

    EXPECT_EQ(
        "{\"kind\":\"start\",\"seq\":41,\"values\":[9999,1025,2],"
        "\"strings\":[\"SidloPluginQos\",\"g\",\"v\",\"u\"]}\n",
        dump.OutLine());
    EXPECT_EQ(
        "{\"kind\":\"end\",\"seq\":42,\"values\":[9999,1025,3,6],"
        "\"strings\":[\"SidloPluginQos\",\"g\",\"v\",\"u\"]}\n",
        dump.OutLine());
    EXPECT_EQ("qosdump: 3 bytes from 127.0.0.1:", dump.ErrLine().substr(0, 32));
    EXPECT_EQ(0, dump.Wait());
}

// An empty datagram is no report and no time-out: the dump goes on
// listening for the rest of its idle time.
TEST(Qosdump, AnEmptyDatagramIsSkippedNotTakenForTheIdleTimeOut) {
    QosdumpProcess dump({"--bind", "127.0.0.1", "--port", "0", "--count", "1", "--idle-ms", "20000"});
    std::string ready = dump.ErrLine();
    const std::string prefix = "qosdump: listening on udp 127.0.0.1:";
    ASSERT_EQ(0u, ready.find(prefix)) << ready;
    unsigned short port = static_cast<unsigned short>(std::stoi(ready.substr(prefix.size())));

    SendTo(port, {});
    EXPECT_EQ("qosdump: 0 bytes from 127.0.0.1:", dump.ErrLine().substr(0, 32));
    SendTo(port, Packed(7, *Report({9999, 1025, 2}, {"SidloPluginQos", "g", "v", "u"})));
    EXPECT_EQ(
        "{\"kind\":\"start\",\"seq\":7,\"values\":[9999,1025,2],"
        "\"strings\":[\"SidloPluginQos\",\"g\",\"v\",\"u\"]}\n",
        dump.OutLine());
    EXPECT_EQ(0, dump.Wait());
}

TEST(Qosdump, StopsWhenIdleAndRefusesBadOptions) {
    QosdumpProcess idle({"--bind", "127.0.0.1", "--port", "0", "--idle-ms", "100"});
    EXPECT_NE(std::string::npos, idle.ErrLine().find("listening"));
    EXPECT_EQ(0, idle.Wait());
    EXPECT_EQ("", idle.OutLine());

    QosdumpProcess bad({"--port", "70000"});
    EXPECT_EQ(1, bad.Wait());
    QosdumpProcess badBind({"--bind", "localhost", "--port", "0"});
    EXPECT_EQ(1, badBind.Wait());
}

#endif  // !_WIN32

}  // namespace
