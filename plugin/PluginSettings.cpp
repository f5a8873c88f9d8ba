// PluginSettings.cpp - settings file, launcher version file, base folder.

#include "PluginSettings.h"

#include <windows.h>

#include <fund/trace.h>
#include <fund/win/module.h>
#include <tinyxml.h>

#include <mutex>
#include <vector>

namespace {

const char kSection[] = "MORL";
const char kSettingsFile[] = "morlfixedconfig.ini";
const char kDataFile[] = "\\Sidlo\\mmog_data.xml";
const size_t kClientVersionBuffer = 260;

// The last client version read; the launcher data file may vanish between
// two reads, and then the previous value stands.
struct ClientVersionBuffer {
    std::mutex lock;
    std::string text = "0.0.0.0";
};

ClientVersionBuffer& ClientVersion()
{
    static ClientVersionBuffer buffer;
    return buffer;
}

// Depth first from `element` itself: the first element named `name`.
const TiXmlElement* FindElement(const TiXmlElement* element, const char* name)
{
    if (element == nullptr)
        return nullptr;
    if (element->ValueStr() == name)
        return element;
    for (const TiXmlElement* child = element->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        if (const TiXmlElement* found = FindElement(child, name))
            return found;
    }
    return nullptr;
}

std::string ReadString(const std::string& path, const char* key, size_t maxChars)
{
    std::vector<char> buffer(maxChars + 1, '\0');
    GetPrivateProfileStringA(kSection, key, "", buffer.data(),
                             static_cast<DWORD>(buffer.size()), path.c_str());
    buffer.back() = '\0';
    return std::string(buffer.data());
}

}  // namespace

std::string BaseFolderOf(const std::string& modulePath)
{
    const std::string::size_type file = modulePath.rfind('\\');
    if (file == std::string::npos)
        return std::string();
    const std::string::size_type folder = modulePath.rfind('\\', file == 0 ? 0 : file - 1);
    if (folder == std::string::npos || folder == file)
        return std::string();
    return modulePath.substr(0, folder);
}

std::string GetBaseFolder()
{
    const HMODULE module = fund::win::this_module();
    Trace(L"module path: %ls", fund::win::module_path(module).c_str());
    // The profile routines take ANSI paths of at most MAX_PATH characters.
    char path[MAX_PATH + 1] = "";
    const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::string();
    return BaseFolderOf(std::string(path, length));
}

void ReadClientVersion(const std::string& dataFilePath, std::string& version)
{
    TiXmlDocument document;
    if (!document.LoadFile(dataFilePath.c_str()))
        return;
    const TiXmlElement* root = document.RootElement();
    const TiXmlElement* conf = FindElement(root, "ClientConf");
    const TiXmlElement* data = FindElement(conf, "VersionData");
    const TiXmlElement* element = FindElement(data, "Version");
    if (element == nullptr)
        return;
    const TiXmlNode* first = element->FirstChild();
    const TiXmlText* text = first != nullptr ? first->ToText() : nullptr;
    if (text == nullptr) {
        // No text to compare: an empty version never equals a recorded one
        // and asks for a repair.
        version.clear();
        return;
    }
    std::string value = text->ValueStr();
    if (value.size() > kClientVersionBuffer - 2)
        value.resize(kClientVersionBuffer - 2);
    version = value;
}

CPluginSettings::CPluginSettings(const std::string& baseFolder)
    : m_settingsPath(baseFolder + "\\" + kSettingsFile),
      m_dataFilePath(baseFolder + kDataFile)
{
}

std::string CPluginSettings::ReadVersion() const
{
    return ReadString(m_settingsPath, "version", kVersionChars);
}

void CPluginSettings::WriteVersion(const std::string& version) const
{
    WritePrivateProfileStringA(kSection, "version", version.c_str(), m_settingsPath.c_str());
}

bool CPluginSettings::ReadBeCancel() const
{
    return GetPrivateProfileIntA(kSection, "becancel", 0, m_settingsPath.c_str()) == 0;
}

void CPluginSettings::WriteBeCancel() const
{
    WritePrivateProfileStringA(kSection, "becancel", "1", m_settingsPath.c_str());
}

int CPluginSettings::ReadMicroVersionType() const
{
    const int type = static_cast<int>(
        GetPrivateProfileIntA(kSection, "MicroVersionType", 0, m_settingsPath.c_str()));
    return type < 1 ? 1 : type;
}

std::string CPluginSettings::GetClientVersion() const
{
    ClientVersionBuffer& buffer = ClientVersion();
    std::lock_guard<std::mutex> hold(buffer.lock);
    ReadClientVersion(m_dataFilePath, buffer.text);
    return buffer.text;
}
