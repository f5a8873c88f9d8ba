// PluginSettings.cpp - settings file, launcher version file, base folder.

#include "PluginSettings.h"

#include <windows.h>

#include <fund/trace.h>
#include <fund/win/handle.h>
#include <fund/win/module.h>
#include <fund/win/text.h>
#include <fund/xml_depth.h>
#include <tinyxml.h>

#include <mutex>
#include <vector>

namespace {

const wchar_t kSection[] = L"MORL";
const wchar_t kSettingsFile[] = L"morlfixedconfig.ini";
const wchar_t kDataFile[] = L"\\Sidlo\\mmog_data.xml";
const size_t kClientVersionBuffer = 260;

// The last client version read; the launcher data file may vanish between
// two reads, and then the previous value stands.
struct ClientVersionBuffer {
    std::mutex lock;
    std::string text = "0.0.0.0";
};

ClientVersionBuffer& ClientVersion() {
    static ClientVersionBuffer buffer;
    return buffer;
}

// Depth first from `element` itself: the first element named `name`.
const TiXmlElement* FindElement(const TiXmlElement* element, const char* name) {
    if (element == nullptr) return nullptr;
    if (element->ValueStr() == name) return element;
    for (const TiXmlElement* child = element->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        if (const TiXmlElement* found = FindElement(child, name)) return found;
    }
    return nullptr;
}

// <folder>\<file> as the profile routines can take it: they handle paths
// of at most MAX_PATH characters, so a longer folder goes by its short
// name where the file system has one.
std::wstring ProfilePath(const std::wstring& folder, const wchar_t* file) {
    const std::wstring full = folder + L"\\" + file;
    if (full.size() < MAX_PATH) return full;
    const bool prefixed = folder.compare(0, 4, L"\\\\?\\") == 0;
    if (!prefixed && (folder.size() < 3 || folder[1] != L':')) return full;
    const std::wstring longForm = prefixed ? folder : L"\\\\?\\" + folder;
    std::vector<wchar_t> buffer(longForm.size() + 1);
    const DWORD length =
        GetShortPathNameW(longForm.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) return full;
    std::wstring shortFolder(buffer.data(), length);
    if (shortFolder.compare(0, 4, L"\\\\?\\") == 0) shortFolder.erase(0, 4);
    const std::wstring shortPath = shortFolder + L"\\" + file;
    return shortPath.size() < MAX_PATH ? shortPath : full;
}

// At most maxChars characters of the key's value, as UTF-8.
std::string ReadString(const std::wstring& path, const wchar_t* key, size_t maxChars) {
    std::vector<wchar_t> buffer(maxChars + 1, L'\0');
    GetPrivateProfileStringW(kSection, key, L"", buffer.data(), static_cast<DWORD>(buffer.size()),
                             path.c_str());
    buffer.back() = L'\0';
    return fund::win::wide_to_utf8(buffer.data());
}

// The whole file when it holds at most maxBytes; false otherwise.
bool ReadSmallFile(const std::wstring& path, size_t maxBytes, std::string& content) {
    fund::win::unique_hfile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<uint64_t>(size.QuadPart) > maxBytes)
        return false;
    std::string data(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!data.empty() && (!ReadFile(file.get(), &data[0], static_cast<DWORD>(data.size()), &read, nullptr) ||
                          read != data.size()))
        return false;
    content.swap(data);
    return true;
}

}  // namespace

std::wstring BaseFolderOf(const std::wstring& modulePath) {
    const std::wstring::size_type file = modulePath.rfind(L'\\');
    if (file == std::wstring::npos) return std::wstring();
    const std::wstring::size_type folder = modulePath.rfind(L'\\', file == 0 ? 0 : file - 1);
    if (folder == std::wstring::npos || folder == file) return std::wstring();
    return modulePath.substr(0, folder);
}

std::wstring GetBaseFolder() {
    const std::wstring path = fund::win::module_path(fund::win::this_module());
    Trace(L"module path: %ls", path.c_str());
    return BaseFolderOf(path);
}

void ReadClientVersion(const std::wstring& dataFilePath, std::string& version) {
    std::string content;
    if (!ReadSmallFile(dataFilePath, kMaxDataFileBytes, content)) {
        Trace(L"error: the launcher data file %ls cannot be read or is larger than %u bytes",
              dataFilePath.c_str(), static_cast<unsigned>(kMaxDataFileBytes));
        return;
    }
    // Measured before TinyXML, which descends once per level.
    if (fund::xml_nesting_depth(content, kMaxDataFileDepth) > kMaxDataFileDepth) {
        Trace(L"error: the launcher data file %ls nests deeper than %u levels", dataFilePath.c_str(),
              static_cast<unsigned>(kMaxDataFileDepth));
        return;
    }
    TiXmlDocument document;
    document.Parse(content.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    if (document.Error()) return;
    const TiXmlElement* root = document.RootElement();
    const TiXmlElement* conf = FindElement(root, "ClientConf");
    const TiXmlElement* data = FindElement(conf, "VersionData");
    const TiXmlElement* element = FindElement(data, "Version");
    if (element == nullptr) return;
    const TiXmlNode* first = element->FirstChild();
    const TiXmlText* text = first != nullptr ? first->ToText() : nullptr;
    if (text == nullptr) {
        // No text to compare: an empty version never equals a recorded one
        // and asks for a repair.
        version.clear();
        return;
    }
    std::string value = text->ValueStr();
    if (value.size() > kClientVersionBuffer - 2) value.resize(kClientVersionBuffer - 2);
    version = value;
}

CPluginSettings::CPluginSettings(const std::wstring& baseFolder)
    : m_settingsPath(ProfilePath(baseFolder, kSettingsFile)), m_dataFilePath(baseFolder + kDataFile) {}

std::string CPluginSettings::ReadVersion() const {
    return ReadString(m_settingsPath, L"version", kVersionChars);
}

void CPluginSettings::WriteVersion(const std::string& version) const {
    WritePrivateProfileStringW(kSection, L"version", fund::win::utf8_to_wide(version).c_str(),
                               m_settingsPath.c_str());
}

bool CPluginSettings::ReadBeCancel() const {
    return GetPrivateProfileIntW(kSection, L"becancel", 0, m_settingsPath.c_str()) == 0;
}

void CPluginSettings::WriteBeCancel() const {
    WritePrivateProfileStringW(kSection, L"becancel", L"1", m_settingsPath.c_str());
}

int CPluginSettings::ReadMicroVersionType() const {
    const int type =
        static_cast<int>(GetPrivateProfileIntW(kSection, L"MicroVersionType", 0, m_settingsPath.c_str()));
    return type < 1 ? 1 : type;
}

std::string CPluginSettings::GetClientVersion() const {
    ClientVersionBuffer& buffer = ClientVersion();
    std::lock_guard<std::mutex> hold(buffer.lock);
    ReadClientVersion(m_dataFilePath, buffer.text);
    return buffer.text;
}
