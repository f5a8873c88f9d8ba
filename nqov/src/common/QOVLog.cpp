// QOVLog.cpp - the process-wide log sink and the formatting of log lines.

#include "common/QOVCommon.h"

#include "common/QOVPlatform.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {
std::atomic<QOV_LOG_SINK> g_logSink{nullptr};
}

void QOVSetLogSink(QOV_LOG_SINK pfnSink) { g_logSink.store(pfnSink); }

bool QOVLogEnabled() { return g_logSink.load(std::memory_order_relaxed) != nullptr; }

void QOVLogFormat(const char* szFormat, ...) {
    QOV_LOG_SINK sink = g_logSink.load();
    if (sink == nullptr) return;
    // Logging must not disturb the error the caller is about to report.
    const uint32_t savedError = PlatformGetLastError();
    char line[1024];
    va_list args;
    va_start(args, szFormat);
    vsnprintf(line, sizeof(line), szFormat, args);
    va_end(args);
    sink(line);
    PlatformSetLastError(savedError);
}
