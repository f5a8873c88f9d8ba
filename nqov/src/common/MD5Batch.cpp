// MD5Batch.cpp - QOVMD5Batch: the multi-buffer engine for callers outside
// the library, which hash whole messages (pieces read or received).

#include "QOVLib.h"

#include "MD5Multi.h"

#include <algorithm>

namespace {

bool IsUsable(const QOV_MD5_MESSAGE& message) {
    return message.pbDigest != nullptr && (message.pvData != nullptr || message.cbData == 0);
}

}  // namespace

bool QOVMD5Batch(const QOV_MD5_MESSAGE* pMessages, size_t nMessages) {
    if (nMessages == 0) return true;
    if (pMessages == nullptr || !std::all_of(pMessages, pMessages + nMessages, IsUsable)) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // The engine takes jobs a lane at a time, so a few at a time are made
    // from the messages instead of a copy of them all.
    TMD5Multi engine;
    TMD5Job done[kMD5MaxLanes];
    size_t next = 0;
    for (;;) {
        while (next < nMessages) {
            TMD5Job job;
            // An empty message may come without data.
            static const uint8_t kNothing = 0;
            job.pvData = pMessages[next].cbData > 0 ? pMessages[next].pvData : &kNothing;
            job.cbData = pMessages[next].cbData;
            job.pbDigest = pMessages[next].pbDigest;
            if (!engine.Add(job)) break;
            next++;
        }
        if (engine.Run(done) == 0 && next >= nMessages) return true;
    }
}
