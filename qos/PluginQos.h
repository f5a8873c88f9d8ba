// qos/PluginQos.h - the plug-in's statistics reporter.
//
// Collects the 30 values and 10 strings of the full report while a repair
// runs and sends three kinds of report, each one UDP datagram without a
// reply: start (BeginMORLRepair), full (the first StopMORLRepair of the
// process, after the plug-in thread has ended) and end (the plug-in's
// destructor).  No lock: every operation runs on one thread at a time, as
// the plug-in's threads hand over (see the notes on each operation).

#ifndef QOS_PLUGINQOS_H
#define QOS_PLUGINQOS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QosWire.h"

struct QosTransport;  // the QoS handle: Winsock use and the server's socket

class PluginQos {
public:
    static constexpr int kValueCount = 30;
    static constexpr int kStringCount = 10;
    static constexpr uint32_t kReportId = 1025;
    static constexpr unsigned short kServerPort = 8080;
    // The statistics server's default host: a name under the reserved
    // ".invalid" domain, which never resolves, so that without a configured
    // server no report is sent.
    static const char* const kDefaultHost;

    PluginQos();
    virtual ~PluginQos();
    PluginQos(const PluginQos&) = delete;
    PluginQos& operator=(const PluginQos&) = delete;

    // Reads the key "QosHost" of section "MORL" from the plug-in settings
    // file (morlfixedconfig.ini); a non-empty value replaces the server's
    // host name.  Call before Init.  A missing file or key keeps the host.
    void ReadSettings(const std::wstring& settingsPath);
    void ReadSettings(const std::string& settingsPathAnsi);

    // Sets the server directly (tests; the port is 8080 otherwise).  Call
    // before Init.
    void SetServer(const std::string& host, unsigned short port);

    // Overrides the shared settings file that keeps the machine GUID (tests;
    // otherwise <application data>\Orvane\KestrumDL\Common.ini).  Call before
    // Init.
    void SetCommonIniPath(const std::wstring& path);

    // Sets up the transport (Winsock 2.0, a connected non-blocking UDP
    // socket to the server), the report record, the client id and the
    // version string.  False when the transport cannot be set up (no
    // network, a host that does not resolve): every report is then skipped.
    bool Init();

    // Stores value at index while both lists are whole (30 and 10 entries);
    // false otherwise (a bad index, or after the full report).
    bool SetValue(int index, int32_t value);

    // Start report: values [9999, 1025, 2], strings ["SidloPluginQos",
    // client id, version string, user id].
    bool SendStartReport();

    // Full report: all 30 values and 10 strings, only while both lists are
    // whole; then empties both, so it goes out once and later SetValue calls
    // fail.  Call after the plug-in thread has ended, with value 17 set to
    // the stage first.
    bool SendFullReport();

    // End report: values [9999, 1025, 3, stage], the start report's strings.
    bool SendEndReport(int stage);

    // Empties both lists and closes the transport.  Reports are skipped
    // afterwards.
    void Release();

    // Read access, for the plug-in's traces and for tests.
    bool IsInitialised() const;
    bool IsFullReportSent() const;   // the lists were emptied
    int32_t Value(int index) const;  // 0 for an index outside the list
    const std::string& ClientId() const;
    const std::string& VersionString() const;
    const std::string& UserId() const;
    const std::string& ServerHost() const;
    unsigned short ServerPort() const;
    uint32_t LastSequence() const;   // the Seq of the last report packed

private:
    bool Send(const std::vector<int32_t>& values,
              const std::vector<std::string>& strings);
    bool SetUpTransport();
    void PrepareRecord();

    std::vector<int32_t> values_;
    std::vector<std::string> strings_;
    uint32_t reportId_ = kReportId;
    std::string clientId_;
    std::string versionString_;
    std::string userId_;
    std::string serverHost_;
    unsigned short serverPort_ = kServerPort;
    std::wstring commonIniPath_;
    std::unique_ptr<QosTransport> transport_;
    std::unique_ptr<qos::QOSRep> record_;
    uint32_t seq_ = 0;
};

#endif  // QOS_PLUGINQOS_H
