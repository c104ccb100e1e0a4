// Files and folders for the Windows tests, named with wide paths.
#pragma once

#include <string>
#include <vector>

#include "quorvel_test/bytes.h"

namespace windows_test {

// A new, empty folder below the user's temporary folder; removed with everything in it when
// the object goes. Path without a trailing backslash.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
};

// Long-path form of an absolute path: "\\?\" in front, so that the 260-character limit of the
// plain form does not apply.
std::wstring ExtendedPath(const std::wstring& path);

// Creates every missing folder of an absolute path (given in the plain form). Throws
// std::runtime_error with the system's error code on failure.
void CreateFolders(const std::wstring& path);

// Writes or reads a whole file through the extended form of path. Throw std::runtime_error.
void WriteWholeFile(const std::wstring& path, const quorvel_test::Bytes& bytes);
quorvel_test::Bytes ReadWholeFile(const std::wstring& path);

// The folder of the running executable, without a trailing backslash.
std::wstring ExecutableFolder();

// UTF-8 path (for example a Linux path that Wine maps to drive Z:) to a Windows wide path.
std::wstring WindowsPathFromHost(const std::string& path);

// Lines of a text file split at tabs.
std::vector<std::vector<std::string>> ReadTable(const std::wstring& path);

}  // namespace windows_test
