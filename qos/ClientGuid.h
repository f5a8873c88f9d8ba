// qos/ClientGuid.h - the machine's GUID, kept in the settings file that the
// maker's tools share.

#ifndef QOS_CLIENTGUID_H
#define QOS_CLIENTGUID_H

#include <string>

// <application data>\Orvane\KestrumDL\Common.ini; the application-data
// folder is created when missing.  Empty when the folder is unknown.
std::wstring DefaultCommonIniPath();

// The GUID of section "QOS", key "GUID" of the file at path, as UTF-8.  When
// the file or the value is missing, a new GUID in registry form
// ("{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}") is made, written there (with
// the file's folders, unless the path holds one of <>"|*?) and returned.
// Empty only when no GUID could be made.
std::string GetClientGuid(const std::wstring& commonIniPath);

#endif  // QOS_CLIENTGUID_H
