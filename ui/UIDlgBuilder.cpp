// UIDlgBuilder.cpp - skin files out of a zip archive, parsed with TinyXML
// into a control tree.

#include "UIDlgBuilder.h"

#include "UICommonControls.h"
#include "UIContainer.h"
#include "UIManager.h"

#include <fund/win/handle.h>
#include <fund/win/text.h>
#include <fund/xml_depth.h>
#include <tinyxml.h>
#include <unzip.h>
// After unzip.h: it needs zlib's declarations.
#include <iowin32.h>

namespace ui {

namespace {

// Skins are small; anything larger is not one.
constexpr size_t kMaxSkinSize = 1u << 20;
// Deeper trees than this are not a window's.
constexpr int kMaxDepth = 32;
// The same on the raw text, where <Window> and the root control count too.
constexpr size_t kMaxRawDepth = kMaxDepth + 2;

// Closes what minizip opened, whichever way the reading ends.
class CZipReader {
public:
    explicit CZipReader(const std::wstring& path) : m_zip(nullptr), m_fileOpen(false) {
        zlib_filefunc64_def functions;
        fill_win32_filefunc64W(&functions);
        m_zip = unzOpen2_64(path.c_str(), &functions);
    }
    ~CZipReader() {
        if (m_fileOpen) unzCloseCurrentFile(m_zip);
        if (m_zip != nullptr) unzClose(m_zip);
    }
    CZipReader(const CZipReader&) = delete;
    CZipReader& operator=(const CZipReader&) = delete;

    bool IsOpen() const { return m_zip != nullptr; }
    unzFile Get() const { return m_zip; }
    bool OpenCurrent() {
        m_fileOpen = unzOpenCurrentFile(m_zip) == UNZ_OK;
        return m_fileOpen;
    }

private:
    unzFile m_zip;
    bool m_fileOpen;
};

// A skin file lying in the folder itself (a program without a skin archive).
bool ReadPlainFile(const std::wstring& path, size_t maxSize, std::string* content, std::wstring* error) {
    fund::win::unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        *error = L"cannot open the skin file " + path;
        return false;
    }
    LARGE_INTEGER size = {};
    bool ok = ::GetFileSizeEx(file.get(), &size) && size.QuadPart >= 0 &&
              static_cast<uint64_t>(size.QuadPart) <= maxSize;
    std::string data;
    if (ok && size.QuadPart > 0) {
        data.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        ok = ::ReadFile(file.get(), &data[0], static_cast<DWORD>(data.size()), &read, nullptr) &&
             read == data.size();
    }
    file.reset();
    if (!ok) {
        *error = L"cannot read the skin file " + path;
        return false;
    }
    *content = std::move(data);
    return true;
}

std::wstring AttributeText(const char* utf8) { return fund::win::utf8_to_wide(utf8); }  // null: empty

}  // namespace

bool ReadFileFromZip(const std::wstring& zipPath, const std::string& fileName, size_t maxSize,
                     std::string* content, std::wstring* error) {
    CZipReader zip(zipPath);
    if (!zip.IsOpen()) {
        *error = L"cannot open the skin archive " + zipPath;
        return false;
    }
    if (unzLocateFile(zip.Get(), fileName.c_str(), 1) != UNZ_OK) {
        *error = L"the skin archive " + zipPath + L" holds no " + fund::win::utf8_to_wide(fileName);
        return false;
    }
    unz_file_info64 info = {};
    if (unzGetCurrentFileInfo64(zip.Get(), &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK ||
        info.uncompressed_size > maxSize || !zip.OpenCurrent()) {
        *error = L"cannot read " + fund::win::utf8_to_wide(fileName) + L" from " + zipPath;
        return false;
    }
    // The size in the directory is a claim: read in steps and stop at the
    // limit whatever the stream turns out to hold.
    std::string data;
    char buffer[16384];
    for (;;) {
        const int n = unzReadCurrentFile(zip.Get(), buffer, sizeof(buffer));
        if (n < 0) {
            *error = L"damaged entry " + fund::win::utf8_to_wide(fileName) + L" in " + zipPath;
            return false;
        }
        if (n == 0) break;
        if (data.size() + static_cast<size_t>(n) > maxSize) {
            *error = fund::win::utf8_to_wide(fileName) + L" in " + zipPath + L" is too large";
            return false;
        }
        data.append(buffer, static_cast<size_t>(n));
    }
    *content = std::move(data);
    return true;
}

std::unique_ptr<CControlUI> CDialogBuilder::Create(const std::wstring& skinFile, CPaintManagerUI* manager,
                                                   IDialogBuilderCallback* callback) {
    m_sError.clear();
    const std::wstring& folder = CPaintManagerUI::GetResourcePath();
    const std::wstring& zipName = CPaintManagerUI::GetResourceZip();
    std::string xml;
    std::wstring error;
    const bool read = zipName.empty() ? ReadPlainFile(folder + skinFile, kMaxSkinSize, &xml, &error)
                                      : ReadFileFromZip(folder + zipName, fund::win::wide_to_utf8(skinFile),
                                                        kMaxSkinSize, &xml, &error);
    if (!read) {
        Report(error);
        return nullptr;
    }
    return CreateFromXml(xml, manager, callback);
}

std::unique_ptr<CControlUI> CDialogBuilder::CreateFromXml(const std::string& xml, CPaintManagerUI* manager,
                                                          IDialogBuilderCallback* callback) {
    m_sError.clear();
    if (xml.size() > kMaxSkinSize) {
        Report(L"the skin is larger than " + std::to_wstring(kMaxSkinSize) + L" bytes");
        return nullptr;
    }
    // Measured before TinyXML, which descends once per level and would run
    // out of stack on a deep enough file.
    if (fund::xml_nesting_depth(xml, kMaxRawDepth) > kMaxRawDepth) {
        Report(L"the skin nests deeper than " + std::to_wstring(kMaxDepth) + L" levels");
        return nullptr;
    }
    TiXmlDocument document;
    document.Parse(xml.c_str(), nullptr, TIXML_ENCODING_UTF8);
    if (document.Error()) {
        Report(L"the skin is not well-formed XML: " + AttributeText(document.ErrorDesc()) + L" (line " +
               std::to_wstring(document.ErrorRow()) + L")");
        return nullptr;
    }
    const TiXmlElement* window = document.RootElement();
    if (window == nullptr || std::string(window->Value()) != "Window") {
        Report(L"the skin's root element is not <Window>");
        return nullptr;
    }
    if (manager != nullptr) ApplyWindow(window, manager);
    for (const TiXmlElement* child = window->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        if (std::string(child->Value()) == "Font") continue;
        std::unique_ptr<CControlUI> root = Parse(child, manager, callback, 0);
        if (root) return root;
    }
    Report(L"the skin has no control");
    return nullptr;
}

void CDialogBuilder::ApplyWindow(const TiXmlElement* window, CPaintManagerUI* manager) {
    for (const TiXmlAttribute* attr = window->FirstAttribute(); attr != nullptr; attr = attr->Next()) {
        const std::string name = attr->Name();
        const std::wstring value = AttributeText(attr->Value());
        if (name == "size") {
            SIZE size = {};
            if (ParseSize(value, &size))
                manager->SetInitSize(size.cx, size.cy);
            else
                Report(L"bad window size: " + value);
        } else if (name == "caption") {
            RECT caption = {};
            if (ParseRect(value, &caption))
                manager->SetCaptionRect(caption);
            else
                Report(L"bad caption: " + value);
        } else {
            Report(L"unknown window attribute " + AttributeText(attr->Name()));
        }
    }
    for (const TiXmlElement* font = window->FirstChildElement("Font"); font != nullptr;
         font = font->NextSiblingElement("Font")) {
        int id = 0, size = 12;
        bool bold = false, isDefault = false;
        TFontInfo info{L"", 12, false};
        bool ok = ParseInt(AttributeText(font->Attribute("id")), &id) &&
                  ParseInt(AttributeText(font->Attribute("size")), &size) && size > 0 && size <= 200;
        info.sFamily = AttributeText(font->Attribute("name"));
        if (font->Attribute("bold") != nullptr)
            ok = ok && ParseBool(AttributeText(font->Attribute("bold")), &bold);
        if (font->Attribute("default") != nullptr)
            ok = ok && ParseBool(AttributeText(font->Attribute("default")), &isDefault);
        if (!ok || info.sFamily.empty()) {
            Report(L"bad <Font> element on line " + std::to_wstring(font->Row()));
            continue;
        }
        info.nSize = size;
        info.bBold = bold;
        manager->AddFont(id, info, isDefault);
    }
}

std::unique_ptr<CControlUI> CDialogBuilder::MakeControl(const std::wstring& className,
                                                        IDialogBuilderCallback* callback) {
    if (callback != nullptr) {
        if (std::unique_ptr<CControlUI> own = callback->CreateControl(className)) return own;
    }
    if (className == L"VerticalLayout") return std::unique_ptr<CControlUI>(new CVerticalLayoutUI);
    if (className == L"HorizontalLayout") return std::unique_ptr<CControlUI>(new CHorizontalLayoutUI);
    if (className == L"Text") return std::unique_ptr<CControlUI>(new CTextUI);
    if (className == L"Button") return std::unique_ptr<CControlUI>(new CButtonUI);
    if (className == L"Progress") return std::unique_ptr<CControlUI>(new CProgressUI);
    if (className == L"Control") return std::unique_ptr<CControlUI>(new CControlUI);
    return nullptr;
}

std::unique_ptr<CControlUI> CDialogBuilder::Parse(const TiXmlElement* element, CPaintManagerUI* manager,
                                                  IDialogBuilderCallback* callback, int depth) {
    const std::wstring className = AttributeText(element->Value());
    if (depth > kMaxDepth) {
        Report(L"the skin nests deeper than " + std::to_wstring(kMaxDepth) + L" levels");
        return nullptr;
    }
    std::unique_ptr<CControlUI> control = MakeControl(className, callback);
    if (!control) {
        Report(L"unknown element <" + className + L"> on line " + std::to_wstring(element->Row()));
        return nullptr;
    }
    for (const TiXmlAttribute* attr = element->FirstAttribute(); attr != nullptr; attr = attr->Next()) {
        if (!control->SetAttribute(AttributeText(attr->Name()), AttributeText(attr->Value())))
            Report(L"attribute " + AttributeText(attr->Name()) + L"=\"" + AttributeText(attr->Value()) +
                   L"\" of <" + className + L"> on line " + std::to_wstring(element->Row()) + L" ignored");
    }
    CContainerUI* container = dynamic_cast<CContainerUI*>(control.get());
    for (const TiXmlElement* child = element->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        if (container == nullptr) {
            Report(L"<" + className + L"> holds no controls; its children are ignored");
            break;
        }
        if (std::unique_ptr<CControlUI> made = Parse(child, manager, callback, depth + 1))
            container->Add(std::move(made));
    }
    control->SetManager(manager, nullptr);
    return control;
}

void CDialogBuilder::Report(const std::wstring& message) {
    if (!m_sError.empty()) m_sError += L"\n";
    m_sError += message;
    ::OutputDebugStringW((L"[ui] skin: " + message + L"\n").c_str());
}

}  // namespace ui
