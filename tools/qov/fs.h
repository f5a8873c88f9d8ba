// fs.h - the few file-system operations qov needs, behind one seam.
//
// Paths are UTF-8 strings with '/' between folders.  fs_posix.cpp implements
// this header with POSIX calls (stat, opendir/readdir, mkdir, open/read); a
// Windows build supplies fs_windows.cpp with the same functions over the wide
// Win32 calls, converting UTF-8 to UTF-16 only there.

#ifndef QOV_FS_H
#define QOV_FS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <fund/win/handle.h>
#endif

namespace qov {
namespace fs {

enum class Kind { Missing, File, Directory, Other };

struct Status {
    Kind kind = Kind::Missing;
    uint64_t size = 0;  // bytes, for files
};

// Looks at PATH (following symbolic links).  False with an error text when the
// path exists but cannot be examined; a missing path is not an error (the
// status says Kind::Missing).
bool GetStatus(const std::string& path, Status* status, std::string* error);

// Like GetStatus, but a symbolic link is reported as Kind::Other and not
// followed (used while walking folders, so that links cannot make loops).
bool GetLinkStatus(const std::string& path, Status* status, std::string* error);

// The names in folder PATH (without "." and ".."), sorted bytewise so that
// walks are deterministic.
bool ListDirectory(const std::string& path, std::vector<std::string>* names, std::string* error);

// Creates PATH and every missing folder above it.  An existing folder is
// fine; safe to call from several threads for overlapping paths.
bool MakeDirectories(const std::string& path, std::string* error);

// Removes a file (not a folder).  A missing file is fine.
bool RemoveFile(const std::string& path, std::string* error);

// "a/b/c.txt" -> "c.txt"; trailing separators are ignored.
std::string BaseName(const std::string& path);

// Joins two path parts with one separator.
std::string JoinPath(const std::string& folder, const std::string& name);

// Whether one part of a relative path can be used as a file or folder name
// inside an output folder (not empty, not "." or "..", nothing this
// platform treats specially: on Windows also no device name such as "nul.txt"
// or "COM1", no ':' and no characters Windows refuses).
bool IsSafePathPart(const std::string& part);

// A file opened for reading, closed by the destructor.
class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    bool Open(const std::string& path, std::string* error);
    // Reads up to SIZE bytes; *done is 0 at the end of the file.
    bool Read(void* buffer, size_t size, size_t* done, std::string* error);
    void Close();

private:
#if defined(_WIN32)
    fund::win::unique_hfile file_;
#else
    int fd_ = -1;
#endif
};

// Whether STREAM is an interactive terminal.
bool IsTerminal(std::FILE* stream);

// Puts STREAM into binary mode (no newline translation), for `cat`.
void SetBinaryMode(std::FILE* stream);

}  // namespace fs
}  // namespace qov

#endif  // QOV_FS_H
