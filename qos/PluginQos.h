// qos/PluginQos.h - the plug-in's statistics reporter.
//
// Collects the 30 values and 10 strings of the full report while a repair
// runs and sends three kinds of report, each one UDP datagram without a
// reply: start (BeginMORLRepair), full (the first StopMORLRepair of the
// process, after the plug-in thread has ended) and end (the plug-in's
// destructor).  Only a server named in the settings ("QosHost") gets
// reports; without one nothing is looked up or sent.  The name lookup, the
// connect and the sends run on the reporter's own thread (QosSender), so
// the launcher's thread never waits for the network.  No lock: every other
// operation runs on one thread at a time, as the plug-in's threads hand
// over (see the notes on each operation).

#ifndef QOS_PLUGINQOS_H
#define QOS_PLUGINQOS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QosSender.h"
#include "QosWire.h"

class PluginQos {
public:
    static constexpr int kValueCount = 30;
    static constexpr int kStringCount = 10;
    static constexpr uint32_t kReportId = 1025;
    static constexpr unsigned short kServerPort = 8080;

    PluginQos();
    virtual ~PluginQos();
    PluginQos(const PluginQos&) = delete;
    PluginQos& operator=(const PluginQos&) = delete;

    // Reads the key "QosHost" of section "MORL" from the plug-in settings
    // file (morlfixedconfig.ini); a non-empty value names the server.  Call
    // before Init.  A missing file or key keeps the host (none at first).
    void ReadSettings(const std::wstring& settingsPath);
    void ReadSettings(const std::string& settingsPathAnsi);

    // Sets the server directly (tests; the port is 8080 otherwise).  Call
    // before Init.
    void SetServer(const std::string& host, unsigned short port);

    // Replaces how the sender's thread looks the server up and connects
    // (tests: a slow or failing lookup).  Call before Init.
    void SetTransportOpener(QosSender::Opener opener);

    // Overrides the shared settings file that keeps the machine GUID (tests;
    // otherwise <application data>\Orvane\KestrumDL\Common.ini).  Call before
    // Init.
    void SetCommonIniPath(const std::wstring& path);

    // Without a server: false, and every report is skipped.  Otherwise
    // prepares the report record, the client id and the version string and
    // starts the sender, whose thread sets up the transport (Winsock 2.0,
    // the lookup, a connected non-blocking UDP socket) and then sends the
    // reports in order; true.  A lookup that fails drops every report.
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

    // Empties both lists and closes the sender: the reports handed over
    // still go out (it waits for them a second at most).  Reports are
    // skipped afterwards.
    void Release();

    // The sends of the reports above answer whether the report was handed
    // to the sender, not whether it arrived.

    // Read access, for the plug-in's traces and for tests.
    bool IsInitialised() const;       // the sender runs
    QosSender::Link GetLink() const;  // how its lookup went
    bool IsFullReportSent() const;    // the lists were emptied
    int32_t Value(int index) const;   // 0 for an index outside the list
    const std::string& ClientId() const;
    const std::string& VersionString() const;
    const std::string& UserId() const;
    const std::string& ServerHost() const;
    unsigned short ServerPort() const;
    uint32_t LastSequence() const;  // the Seq of the last report packed

private:
    bool Send(const std::vector<int32_t>& values, const std::vector<std::string>& strings);
    bool Start();
    bool Pack(const std::vector<int32_t>& values, const std::vector<std::string>& strings);
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
    QosSender::Opener opener_;
    QosSender sender_;
    std::unique_ptr<qos::QOSRep> record_;
    uint32_t seq_ = 0;
};

#endif  // QOS_PLUGINQOS_H
