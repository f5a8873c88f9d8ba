// qos/PluginQos.cpp - the plug-in's statistics reporter.

#include <windows.h>

#include <algorithm>
#include <vector>

#include "ClientGuid.h"
#include "ModuleVersion.h"
#include "PluginQos.h"
#include "QosTransport.h"
#include "QosSender.h"
#include "fund/guard.h"
#include "fund/trace.h"

namespace {

const int32_t kMarker = 9999;  // value 0 of every report
const uint32_t kBusinessId = 100;
const uint32_t kQosId = 2003;
const char kReportName[] = "SidloPluginQos";
const char kUserId[] = "not_set_uin";
// The report kinds, value 2 of every report.
const int32_t kKindFull = 1;
const int32_t kKindStart = 2;
const int32_t kKindEnd = 3;
const size_t kHostChars = 256;

// The settings file's key that names the statistics server.
const char kSettingsSection[] = "MORL";
const char kHostKey[] = "QosHost";

std::wstring Widen(const std::string& text) {
    std::wstring out;
    for (unsigned char c : text) out += static_cast<wchar_t>(c);
    return out;
}

}  // namespace

PluginQos::PluginQos()
    : values_(kValueCount, 0),
      strings_(kStringCount),
      userId_(kUserId),
      opener_(&OpenQosTransport),
      record_(std::make_unique<qos::QOSRep>()) {}

PluginQos::~PluginQos() { Release(); }

void PluginQos::ReadSettings(const std::wstring& settingsPath) {
    wchar_t host[kHostChars] = {};
    GetPrivateProfileStringW(Widen(kSettingsSection).c_str(), Widen(kHostKey).c_str(), L"", host, kHostChars,
                             settingsPath.c_str());
    std::string narrow;
    for (const wchar_t* p = host; *p; ++p) {
        if (*p > 0x7F) return;  // host names are ASCII; ignore anything else
        narrow += static_cast<char>(*p);
    }
    if (!narrow.empty()) serverHost_ = narrow;
}

void PluginQos::ReadSettings(const std::string& settingsPathAnsi) {
    char host[kHostChars] = {};
    GetPrivateProfileStringA(kSettingsSection, kHostKey, "", host, kHostChars, settingsPathAnsi.c_str());
    if (host[0] != '\0') serverHost_ = host;
}

void PluginQos::SetServer(const std::string& host, unsigned short port) {
    serverHost_ = host;
    serverPort_ = port;
}

void PluginQos::SetCommonIniPath(const std::wstring& path) { commonIniPath_ = path; }

void PluginQos::SetTransportOpener(QosSender::Opener opener) { opener_ = std::move(opener); }

bool PluginQos::Init() {
    Trace(L"PluginQos::Init");
    // Nothing the reporter meets (out of memory above all) may fail the
    // repair: it just reports nothing.
    bool ready = false;
    fund::guarded(L"PluginQos::Init", [&] { ready = Start(); });
    return ready;
}

bool PluginQos::Start() {
    reportId_ = kReportId;
    if (serverHost_.empty()) {
        Trace(L"PluginQos::Init: no statistics server is set (QosHost); no report is sent");
        return false;
    }
    if (sender_.IsStarted()) return true;
    seq_ = RandomQosSequence();
    if (!sender_.Start(serverHost_, serverPort_, opener_)) return false;
    PrepareRecord();
    clientId_ = GetClientGuid(commonIniPath_.empty() ? DefaultCommonIniPath() : commonIniPath_);
    versionString_ = PluginVersionString(OwnModuleVersion());
    if (values_.size() == kValueCount && strings_.size() == kStringCount) {
        values_[0] = kMarker;
        values_[1] = static_cast<int32_t>(reportId_);
        values_[2] = kKindFull;
        values_[3] = 1;
        strings_[0] = kReportName;
        strings_[1] = clientId_;
        strings_[3] = versionString_;
    }
    return true;
}

void PluginQos::PrepareRecord() {
    *record_ = qos::QOSRep();
    record_->BusinessID = kBusinessId;
    record_->QosNum = 1;
    qos::QOSCSQosRep& rep = record_->QosList[0];
    rep.QosID = kQosId;
    rep.QosVal = 0;
    rep.AppendDescFlag = qos::QOS_APPEND_DESC_COMM;
}

bool PluginQos::SetValue(int index, int32_t value) {
    if (values_.size() != kValueCount || strings_.size() != kStringCount) return false;
    if (index < 0 || index >= kValueCount) return false;
    values_[static_cast<size_t>(index)] = value;
    return true;
}

bool PluginQos::SendStartReport() {
    Trace(L"PluginQos::SendStartReport");
    bool sent = false;
    fund::guarded(L"PluginQos::SendStartReport", [&] {
        sent = Send({kMarker, static_cast<int32_t>(reportId_), kKindStart},
                    {kReportName, clientId_, versionString_, userId_});
    });
    return sent;
}

bool PluginQos::SendFullReport() {
    Trace(L"PluginQos::SendFullReport");
    if (values_.size() != kValueCount || strings_.size() != kStringCount) return false;
    bool sent = Send(values_, strings_);
    // Emptied whether or not it went out: the full report is made once, and
    // later values have nowhere to go.
    values_.clear();
    strings_.clear();
    return sent;
}

bool PluginQos::SendEndReport(int stage) {
    Trace(L"PluginQos::SendEndReport %d", stage);
    bool sent = false;
    fund::guarded(L"PluginQos::SendEndReport", [&] {
        sent = Send({kMarker, static_cast<int32_t>(reportId_), kKindEnd, stage},
                    {kReportName, clientId_, versionString_, userId_});
    });
    return sent;
}

void PluginQos::Release() {
    values_.clear();
    strings_.clear();
    sender_.Close();
}

bool PluginQos::Send(const std::vector<int32_t>& values, const std::vector<std::string>& strings) {
    bool sent = false;
    fund::guarded(L"PluginQos::Send", [&] { sent = Pack(values, strings); });
    return sent;
}

bool PluginQos::Pack(const std::vector<int32_t>& values, const std::vector<std::string>& strings) {
    if (!sender_.IsStarted()) return false;
    qos::QOSAppendDescComm& comm = record_->QosList[0].AppendDesc.Comm;
    comm.IntNum = static_cast<uint32_t>(std::min(values.size(), qos::QOS_CS_ADINFO_MAX_INT));
    std::copy_n(values.begin(), comm.IntNum, comm.IntList);
    comm.StrNum = static_cast<uint32_t>(std::min(strings.size(), qos::QOS_CS_ADINFO_MAX_STR));
    for (uint32_t i = 0; i < comm.StrNum; ++i) {
        qos::CopyWireString(comm.StrList[i], qos::QOS_CS_ADINFO_STR_LEN, strings[i], qos::kQosMaxStrBytes);
    }
    record_->CltID[qos::QOS_CS_STRING_LEN - 1] = '\0';
    record_->ServerID[qos::QOS_CS_STRING_LEN - 1] = '\0';

    qos::QOSCSPkgHead head;
    head.Magic = qos::QOS_CS_MAGIC;
    head.Cmd = qos::QOS_REP;
    head.ProtoVer = qos::kQosProtoVer;
    head.Seq = ++seq_;

    std::vector<unsigned char> packet(qos::kQosMaxPackedSize);
    size_t size = 0;
    qos::WireResult packed = qos::PackReport(head, *record_, packet.data(), packet.size(), &size);
    if (packed != qos::WireResult::Ok) {
        Trace(L"error: PluginQos::Send pack failed: %hs", qos::WireResultText(packed));
        return false;
    }
    packet.resize(size);
    if (!sender_.Send(std::move(packet))) {
        Trace(L"error: PluginQos::Send: the report is not sent");
        return false;
    }
    return true;
}

bool PluginQos::IsInitialised() const { return sender_.IsStarted(); }
QosSender::Link PluginQos::GetLink() const { return sender_.GetLink(); }
bool PluginQos::IsFullReportSent() const { return values_.empty(); }

int32_t PluginQos::Value(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= values_.size()) return 0;
    return values_[static_cast<size_t>(index)];
}

const std::string& PluginQos::ClientId() const { return clientId_; }
const std::string& PluginQos::VersionString() const { return versionString_; }
const std::string& PluginQos::UserId() const { return userId_; }
const std::string& PluginQos::ServerHost() const { return serverHost_; }
unsigned short PluginQos::ServerPort() const { return serverPort_; }
uint32_t PluginQos::LastSequence() const { return seq_; }
