// qos/qosdump/QosJson.h - a decoded report as one line of JSON.

#ifndef QOSDUMP_QOSJSON_H
#define QOSDUMP_QOSJSON_H

#include <string>

#include "QosWire.h"

// "start", "full" or "end" from the report's kind (value 2), else "unknown".
const char* ReportKind(const qos::QOSRep& body);

// {"kind":...,"seq":...,"values":[...],"strings":[...]} without a newline.
// The values and strings are those of the first common description.
std::string ReportJson(const qos::QOSCSPkgHead& head, const qos::QOSRep& body);

// text as a JSON string literal; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string& text);

#endif  // QOSDUMP_QOSJSON_H
