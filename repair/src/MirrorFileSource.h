// MirrorFileSource.h - a mirror archive on a local disk as a piece source:
// the raw bytes of the archive file, read through the archive library's
// file streams (one stream per connection, so workers read side by side).

#ifndef BREVIK_REPAIR_MIRRORFILESOURCE_H
#define BREVIK_REPAIR_MIRRORFILESOURCE_H

#include <memory>
#include <string>

#include "repair/PieceSource.h"

namespace brevik {
namespace repair {

// Null with the reason in *error when the file cannot be opened.
std::unique_ptr<PieceSource> MakeMirrorFileSource(const std::string& path, std::string* error);

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_MIRRORFILESOURCE_H
