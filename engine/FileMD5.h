// engine/FileMD5.h - the MD5 digest (RFC 1321) of a file on disk, as the
// engine writes its stored digests: 32 upper-case hexadecimal digits.

#ifndef BREVIK_ENGINE_FILEMD5_H
#define BREVIK_ENGINE_FILEMD5_H

#include <string>

namespace brevik {
namespace managers {

// Reads the file in blocks of 4096 bytes.  False when it cannot be opened
// or read (a folder, a missing file, a read error).
bool FileMD5Hex(const std::wstring& path, std::string& hex);

}  // namespace managers
}  // namespace brevik

#endif  // BREVIK_ENGINE_FILEMD5_H
