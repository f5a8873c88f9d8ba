// engine/IRestoreCallback.h - how the restore manager reports to the
// plug-in.  Called on the restore thread; the plug-in only posts messages.

#ifndef BREVIK_ENGINE_IRESTORECALLBACK_H
#define BREVIK_ENGINE_IRESTORECALLBACK_H

class IRestoreCallback {
public:
    // The restore ended with `code` (11: a file could not be extracted).
    // The text is not used by the plug-in; it is valid during the call only.
    virtual void OnRestoreFail(const wchar_t* text, int code) = 0;
    // Every listed file is in place.
    virtual void OnRestoreSuccess() = 0;

protected:
    // Never deleted through this interface.
    ~IRestoreCallback() = default;
};

#endif  // BREVIK_ENGINE_IRESTORECALLBACK_H
