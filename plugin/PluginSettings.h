// PluginSettings.h - the plug-in's settings file (morlfixedconfig.ini) and
// the launcher's version file (Sidlo\mmog_data.xml), both in the base
// folder two levels above the plug-in file.
//
// The settings file is read and written with the system's profile routines
// (section "MORL"), through its wide path; values are UTF-8 inside the
// plug-in.  It records the client version of the last
// successful repair, the micro version type that selects the list files,
// and whether the user has ever stopped a download.

#ifndef BREVIK_PLUGIN_PLUGINSETTINGS_H
#define BREVIK_PLUGIN_PLUGINSETTINGS_H

#include <string>

// The folder two levels above `modulePath` (backslash-separated), without a
// trailing backslash; empty when either backslash is missing.
std::wstring BaseFolderOf(const std::wstring& modulePath);

// The base folder of the module that holds this code (Brevik.dll, or a test
// program that links the plug-in statically), from its full wide path: a
// folder with any characters, longer than MAX_PATH too.  Traces the
// module's path.
std::wstring GetBaseFolder();

// The launcher data file is refused beyond these: a version file is small
// and shallow, and TinyXML's recursion would run out of stack on a deep one.
const size_t kMaxDataFileBytes = 1u << 20;
const size_t kMaxDataFileDepth = 64;

// Reads the client version from a launcher data file: the text of the first
// "Version" element under the first "VersionData" under the first
// "ClientConf", each found depth first from the root element.  On success
// the text (at most 258 characters) is stored in `version`; on any failure
// (missing, too large, too deep or malformed file, an element not found)
// `version` is left as it is.  A "Version" element whose first child is not
// text gives an empty version.
void ReadClientVersion(const std::wstring& dataFilePath, std::string& version);

class CPluginSettings {
public:
    // The recorded version is read into a 16-byte buffer.
    static const size_t kVersionChars = 15;

    // Settings and launcher data file in `baseFolder` (no trailing
    // backslash; an empty folder gives paths that begin with a backslash).
    // The plug-in and its engine thread use the one wide path.
    explicit CPluginSettings(const std::wstring& baseFolder);

    const std::wstring& SettingsPath() const { return m_settingsPath; }
    const std::wstring& DataFilePath() const { return m_dataFilePath; }

    // "version": the client version of the last successful repair, at most
    // 15 characters; empty when none has succeeded.
    std::string ReadVersion() const;
    bool IsVersionEmpty() const { return ReadVersion().empty(); }
    void WriteVersion(const std::string& version) const;

    // "becancel": true while it is 0 (the feedback page was never offered).
    bool ReadBeCancel() const;
    void WriteBeCancel() const;

    // "MicroVersionType", at least 1.
    int ReadMicroVersionType() const;

    // The client version buffer, process-wide (initially "0.0.0.0"),
    // refreshed from the launcher data file; returns the buffer's text.
    std::string GetClientVersion() const;

private:
    std::wstring m_settingsPath;
    std::wstring m_dataFilePath;
};

#endif  // BREVIK_PLUGIN_PLUGINSETTINGS_H
