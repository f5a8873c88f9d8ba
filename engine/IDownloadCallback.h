// engine/IDownloadCallback.h - how the download manager reports to the
// plug-in.  Called on the plug-in thread (from BeginDownload) and on the
// engine thread (from a sync result); the plug-in only posts messages.

#ifndef BREVIK_ENGINE_IDOWNLOADCALLBACK_H
#define BREVIK_ENGINE_IDOWNLOADCALLBACK_H

class IDownloadCallback {
public:
    // A download failed with `code` (6: a file could not be synced).  The
    // text is not used by the plug-in; it is valid during the call only.
    virtual void OnDownloadFail(const wchar_t* text, int code) = 0;
    // Nothing was left to download.
    virtual void OnDownloadAllSuccess() = 0;

protected:
    // Never deleted through this interface.
    ~IDownloadCallback() = default;
};

#endif  // BREVIK_ENGINE_IDOWNLOADCALLBACK_H
