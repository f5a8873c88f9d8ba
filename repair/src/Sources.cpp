// Sources.cpp - the source a location names.

#include "repair/PieceSource.h"

#include "HttpSource.h"
#include "MirrorFileSource.h"
#include "UrlText.h"

namespace brevik {
namespace repair {

std::unique_ptr<PieceSource> OpenSource(const std::string& location, const SourceSettings& settings,
                                        std::string* error) {
    if (IsHttpUrl(location)) return MakeHttpSource(location, settings);
    if (location.find("://") != std::string::npos) {
        *error = "unsupported address " + RedactUrl(location) +
                 " (http://, https:// or the path of a mirror archive)";
        return nullptr;
    }
    return MakeMirrorFileSource(location, error);
}

}  // namespace repair
}  // namespace brevik
