// QOVLog.cpp - the process-wide log sink, the formatting of log lines and
// the name of the operation running on each thread.

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

namespace {
// The exported operation running on this thread (innermost), or null.
thread_local const char* t_operation = nullptr;
}  // namespace

const char* QOVOperationName(const char* szFunction) {
    return t_operation != nullptr ? t_operation : szFunction;
}

TQOVOperationScope::TQOVOperationScope(const char* szName) : m_szOuter(t_operation) { t_operation = szName; }

TQOVOperationScope::~TQOVOperationScope() { t_operation = m_szOuter; }

TQOVEntryDetail::TQOVEntryDetail(const char* szFormat, ...) {
    m_szText[0] = 0;
    if (!QOVLogEnabled()) return;
    va_list args;
    va_start(args, szFormat);
    vsnprintf(m_szText, sizeof(m_szText), szFormat, args);
    va_end(args);
}

void QOVLogEntry(const TQOVOperation& op) {
    if (QOVLogEnabled()) QOVLogFormat("[debug QOV2LOG]%d [%s] %s\n", op.nLine, op.szName, op.szDetail);
}
