// qosdump.exe under Windows sockets, fed by PluginQos: the operator's check
// of a server setup, end to end.

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "PluginQos.h"

namespace {

// Closes a handle it owns.
class Handle {
public:
    explicit Handle(HANDLE h = nullptr) : h_(h) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    HANDLE* put() {
        reset();
        return &h_;
    }
    void reset() {
        if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
        h_ = nullptr;
    }

private:
    HANDLE h_;
};

std::wstring BesideThisProgram(const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return (std::filesystem::path(path).parent_path() / name).wstring();
}

// One line from a pipe (without its end), empty once the pipe is closed.
std::string ReadLine(HANDLE pipe) {
    std::string line;
    char c;
    DWORD n = 0;
    while (ReadFile(pipe, &c, 1, &n, nullptr) && n == 1) {
        if (c == '\n') break;
        if (c != '\r') line += c;
    }
    return line;
}

class QosdumpProcess {
public:
    explicit QosdumpProcess(const std::wstring& arguments) {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        Handle outWrite, errWrite;
        if (!CreatePipe(out_.put(), outWrite.put(), &inherit, 0) ||
            !CreatePipe(err_.put(), errWrite.put(), &inherit, 0)) {
            return;
        }
        SetHandleInformation(out_.get(), HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(err_.get(), HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = outWrite.get();
        startup.hStdError = errWrite.get();
        std::wstring command = L"\"" + BesideThisProgram(L"qosdump.exe") + L"\" " + arguments;
        PROCESS_INFORMATION info = {};
        if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                           &info)) {
            process_.put()[0] = info.hProcess;
            CloseHandle(info.hThread);
        }
    }
    ~QosdumpProcess() {
        if (process_.get() != nullptr && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.get(), 9);
        }
    }
    bool started() const { return process_.get() != nullptr; }
    std::string OutLine() { return ReadLine(out_.get()); }
    std::string ErrLine() { return ReadLine(err_.get()); }
    DWORD Wait() {
        WaitForSingleObject(process_.get(), 30000);
        DWORD code = 99;
        GetExitCodeProcess(process_.get(), &code);
        return code;
    }

private:
    Handle out_, err_, process_;
};

TEST(QosdumpWin, PrintsThePluginsStartReport) {
    QosdumpProcess dump(L"--bind 127.0.0.1 --port 0 --count 1 --idle-ms 20000");
    ASSERT_TRUE(dump.started());
    const std::string ready = dump.ErrLine();
    const std::string prefix = "qosdump: listening on udp 127.0.0.1:";
    ASSERT_EQ(0u, ready.find(prefix)) << ready;
    const unsigned short port = static_cast<unsigned short>(std::stoi(ready.substr(prefix.size())));

    PluginQos qos;
    qos.SetServer("localhost", port);
    ASSERT_TRUE(qos.Init());
    ASSERT_TRUE(qos.SendStartReport());
    EXPECT_EQ("{\"kind\":\"start\",\"seq\":" + std::to_string(qos.LastSequence()) +
                  ",\"values\":[9999,1025,2],\"strings\":[\"SidloPluginQos\",\"" + qos.ClientId() +
                  "\",\"draviksidloplugin/1/2/3/4\",\"not_set_uin\"]}",
              dump.OutLine());
    EXPECT_EQ(0u, dump.Wait());
}

// An empty datagram is no report and no time-out: the dump goes on
// listening and prints the report that follows.
TEST(QosdumpWin, AnEmptyDatagramIsSkippedNotTakenForTheIdleTimeOut) {
    QosdumpProcess dump(L"--bind 127.0.0.1 --port 0 --count 1 --idle-ms 20000");
    ASSERT_TRUE(dump.started());
    const std::string ready = dump.ErrLine();
    const std::string prefix = "qosdump: listening on udp 127.0.0.1:";
    ASSERT_EQ(0u, ready.find(prefix)) << ready;
    const unsigned short port = static_cast<unsigned short>(std::stoi(ready.substr(prefix.size())));

    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char nothing = 0;
    EXPECT_EQ(0, sendto(s, &nothing, 0, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)));
    closesocket(s);
    WSACleanup();
    EXPECT_EQ("qosdump: 0 bytes from 127.0.0.1:", dump.ErrLine().substr(0, 32));

    PluginQos qos;
    qos.SetServer("127.0.0.1", port);
    ASSERT_TRUE(qos.Init());
    ASSERT_TRUE(qos.SendStartReport());
    EXPECT_EQ(0u, dump.OutLine().find("{\"kind\":\"start\""));
    EXPECT_EQ(0u, dump.Wait());
}

TEST(QosdumpWin, RefusesBadOptions) {
    QosdumpProcess dump(L"--count many");
    ASSERT_TRUE(dump.started());
    EXPECT_EQ(0u, dump.ErrLine().find("usage: qosdump"));
    EXPECT_EQ(1u, dump.Wait());
}

}  // namespace
