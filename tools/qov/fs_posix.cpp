// fs_posix.cpp - fs.h over POSIX calls.

#include "fs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qov {
namespace fs {

namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

Kind KindOf(const struct stat& st) {
    if (S_ISREG(st.st_mode)) return Kind::File;
    if (S_ISDIR(st.st_mode)) return Kind::Directory;
    return Kind::Other;
}

bool StatWith(int (*statFn)(const char*, struct stat*), const std::string& path, Status* status,
              std::string* error) {
    struct stat st;
    *status = Status();
    if (statFn(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return true;
        *error = ErrnoText(errno);
        return false;
    }
    status->kind = KindOf(st);
    status->size = status->kind == Kind::File ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

}  // namespace

bool GetStatus(const std::string& path, Status* status, std::string* error) {
    return StatWith(::stat, path, status, error);
}

bool GetLinkStatus(const std::string& path, Status* status, std::string* error) {
    return StatWith(::lstat, path, status, error);
}

bool ListDirectory(const std::string& path, std::vector<std::string>* names, std::string* error) {
    names->clear();
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        *error = ErrnoText(errno);
        return false;
    }
    errno = 0;
    while (struct dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names->push_back(name);
        errno = 0;
    }
    const int err = errno;
    closedir(dir);
    if (err != 0) {
        *error = ErrnoText(err);
        return false;
    }
    std::sort(names->begin(), names->end());
    return true;
}

bool MakeDirectories(const std::string& path, std::string* error) {
    if (path.empty()) return true;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        const std::string prefix = path.substr(0, pos);
        if (prefix.empty()) continue;
        if (mkdir(prefix.c_str(), 0777) == 0 || errno == EEXIST) continue;
        *error = "cannot create folder '" + prefix + "': " + ErrnoText(errno);
        return false;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = "'" + path + "' exists and is not a folder";
        return false;
    }
    return true;
}

bool RemoveFile(const std::string& path, std::string* error) {
    if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
    *error = ErrnoText(errno);
    return false;
}

std::string BaseName(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') end--;
    const size_t slash = path.rfind('/', end - 1);
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(start, end - start);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

bool IsSafePathPart(const std::string& part) {
    return !part.empty() && part != "." && part != ".." && part.find('/') == std::string::npos &&
           part.find('\0') == std::string::npos;
}

InputFile::~InputFile() { Close(); }

bool InputFile::Open(const std::string& path, std::string* error) {
    Close();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = ErrnoText(errno);
        return false;
    }
    fd_ = fd;
    return true;
}

bool InputFile::Read(void* buffer, size_t size, size_t* done, std::string* error) {
    *done = 0;
    for (;;) {
        const ssize_t got = read(fd_, buffer, size);
        if (got >= 0) {
            *done = static_cast<size_t>(got);
            return true;
        }
        if (errno != EINTR) {
            *error = ErrnoText(errno);
            return false;
        }
    }
}

void InputFile::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

void SetBinaryMode(std::FILE*) {
    // POSIX streams never translate newlines.
}

}  // namespace fs
}  // namespace qov
