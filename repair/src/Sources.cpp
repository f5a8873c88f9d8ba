// Sources.cpp - the source a location names.

#include "repair/PieceSource.h"

#include "MirrorFileSource.h"
#include "UrlText.h"
#if !defined(_WIN32)
#include "HttpSource.h"
#endif

namespace brevik {
namespace repair {

std::unique_ptr<PieceSource> OpenSource(const std::string& location, const SourceSettings& settings,
                                        std::string* error) {
    if (IsHttpUrl(location)) {
#if defined(_WIN32)
        (void)settings;
        *error = "HTTP sources are not supported by this build yet: " + RedactUrl(location);
        return nullptr;
#else
        return MakeHttpSource(location, settings);
#endif
    }
    if (location.find("://") != std::string::npos) {
        *error = "unsupported address " + RedactUrl(location) + " (http://, https:// or the path of a mirror archive)";
        return nullptr;
    }
    return MakeMirrorFileSource(location, error);
}

}  // namespace repair
}  // namespace brevik
