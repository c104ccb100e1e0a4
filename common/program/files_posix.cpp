#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "program/files.h"

namespace {

bool Fail(std::string* error) {
    *error = std::strerror(errno);
    return false;
}

// Removes a file made on the way, then reports the failure that made it useless: in this order,
// because the message may run out of memory, and no partial file may stay behind.
bool RemoveAndFail(const std::string& path, std::string* error) {
    const int failure = errno;
    unlink(path.c_str());
    errno = failure;
    return Fail(error);
}

bool WriteAll(int fd, const unsigned char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now, reporting the result (a failed close can mean lost data).
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return close(fd) == 0;
    }

  private:
    int fd_;
};

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool ReadRegularFile(const std::string& path, std::size_t maxBytes, LargeFile large,
                     std::vector<unsigned char>* bytes, std::string* error) {
    if (path.find('\0') != std::string::npos) {
        *error = "the path holds a NUL character";
        return false;
    }
    // A named pipe waits for a writer when opened for reading, unless the open does not wait.
    Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status {};
    if (file.get() < 0 || fstat(file.get(), &status) != 0) {
        return Fail(error);
    }
    if (!S_ISREG(status.st_mode)) {
        *error = "not a regular file";
        return false;
    }
    const auto size = static_cast<unsigned long long>(status.st_size);
    if (size > maxBytes && large == LargeFile::Refused) {
        *error = "too large";
        return false;
    }
    bytes->assign(size > maxBytes ? maxBytes : static_cast<std::size_t>(size), 0);
    std::size_t done = 0;
    while (done < bytes->size()) {
        const ssize_t got = read(file.get(), bytes->data() + done, bytes->size() - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return Fail(error);
        }
        if (got == 0) {
            *error = "the file shrank while it was read";
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

bool CreatePrivateFile(const std::string& path, const std::string& text, std::string* error) {
    Descriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (file.get() < 0) {
        return Fail(error);
    }
    if (!WriteAll(file.get(), reinterpret_cast<const unsigned char*>(text.data()), text.size()) ||
        fsync(file.get()) != 0 || !file.Close()) {
        return RemoveAndFail(path, error);
    }
    return true;
}

bool WriteFileAtomically(const std::string& path, const std::vector<unsigned char>& bytes,
                         const std::string& modelPath, std::string* error) {
    std::string temporary = FolderOf(path) + "/.quorvel-sign-XXXXXX";
    Descriptor file(mkstemp(temporary.data()));
    if (file.get() < 0) {
        return Fail(error);
    }
    struct stat model {};
    const mode_t mode = stat(modelPath.c_str(), &model) == 0 ? (model.st_mode & 07777) : 0644;
    if (fchmod(file.get(), mode) != 0 || !WriteAll(file.get(), bytes.data(), bytes.size()) ||
        fsync(file.get()) != 0 || !file.Close() || rename(temporary.c_str(), path.c_str()) != 0) {
        return RemoveAndFail(temporary, error);
    }
    return true;
}

bool CreateFolder(const std::string& path, std::string* error) {
    struct stat status {};
    if (mkdir(path.c_str(), 0777) == 0 ||
        (errno == EEXIST && stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))) {
        return true;
    }
    return Fail(error);
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }
