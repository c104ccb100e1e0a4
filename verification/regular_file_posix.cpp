#include "regular_file_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/text_conversion.h"

int OpenRegularFile(const std::u16string& path) {
    if (path.find(u'\0') != std::u16string::npos) {
        return -1;
    }
    bool lossless = false;
    const std::string native = WideToUtf8(path, &lossless);
    if (!lossless) {
        return -1;
    }
    const int descriptor = open(native.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (descriptor < 0) {
        return -1;
    }
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(descriptor);
        return -1;
    }
    return descriptor;
}
