// qos/PluginQos.cpp - the plug-in's statistics reporter.

#include "PluginQos.h"

struct QosTransport {};

const char* const PluginQos::kDefaultHost = "qos.brevik.invalid";

PluginQos::PluginQos()
    : values_(kValueCount, 0), strings_(kStringCount), userId_("not_set_uin"),
      serverHost_(kDefaultHost) {}

PluginQos::~PluginQos() = default;

void PluginQos::ReadSettings(const std::wstring&) {}
void PluginQos::ReadSettings(const std::string&) {}

void PluginQos::SetServer(const std::string& host, unsigned short port) {
    serverHost_ = host;
    serverPort_ = port;
}

void PluginQos::SetCommonIniPath(const std::wstring& path) { commonIniPath_ = path; }

bool PluginQos::Init() { return false; }

bool PluginQos::SetValue(int index, int32_t value) {
    if (values_.size() != kValueCount || strings_.size() != kStringCount) return false;
    if (index < 0 || index >= kValueCount) return false;
    values_[static_cast<size_t>(index)] = value;
    return true;
}

bool PluginQos::SendStartReport() { return false; }
bool PluginQos::SendFullReport() { return false; }
bool PluginQos::SendEndReport(int) { return false; }

void PluginQos::Release() {
    values_.clear();
    strings_.clear();
    transport_.reset();
}

bool PluginQos::IsInitialised() const { return transport_ != nullptr; }
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

bool PluginQos::Send(const std::vector<int32_t>&, const std::vector<std::string>&) { return false; }
bool PluginQos::SetUpTransport() { return false; }
void PluginQos::PrepareRecord() {}
