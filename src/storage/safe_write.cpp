#include "safe_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace storage {

namespace {

bool writeAll(int fd, const std::string &text) {
    const char *data = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    return true;
}

// Makes a rename durable; a failure here loses nothing that was not already
// at risk, so it is ignored.
void syncDirectoryOf(const std::string &path) {
    size_t slash = path.find_last_of('/');
    std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

int createExclusive(const std::string &temporary) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(temporary.c_str(), flags, 0600);
    // Left over from a crash, or planted: the name goes, whatever it points at
    // stays untouched. A second plant in between makes this write fail.
    if (fd < 0 && errno == EEXIST && ::unlink(temporary.c_str()) == 0)
        fd = ::open(temporary.c_str(), flags, 0600);
    return fd;
}

}  // namespace

WriteResult replaceFile(const std::string &path, const std::string &text) {
    if (path.empty()) return WriteResult::OpenFailed;
    const std::string temporary = path + ".tmp";
    int fd = createExclusive(temporary);
    if (fd < 0) return WriteResult::OpenFailed;

    bool written = true;
    struct stat old {};
    if (::lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        written = ::fchmod(fd, old.st_mode & 0777) == 0;
    written = written && writeAll(fd, text) && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (written) written = ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!written) {
        ::unlink(temporary.c_str());
        return WriteResult::WriteFailed;
    }
    syncDirectoryOf(path);
    return WriteResult::Written;
}

}  // namespace storage
