// The files that the command-line programs read and write; paths are UTF-8. Every function
// returns false with a short lower-case reason in *error on failure.
#pragma once

#include <string>
#include <vector>

// What a file of more than maxBytes gives: a failure ("too large"), or its first maxBytes bytes.
enum class LargeFile { Refused, FirstBytes };

// The regular file at path. Pipes, devices and directories are refused before their first byte,
// without waiting for them.
bool ReadRegularFile(const std::string& path, std::size_t maxBytes, LargeFile large,
                     std::vector<unsigned char>* bytes, std::string* error);

// The whole regular file at path; a file of more than maxBytes fails with "too large".
inline bool ReadWholeFile(const std::string& path, std::size_t maxBytes,
                          std::vector<unsigned char>* bytes, std::string* error) {
    return ReadRegularFile(path, maxBytes, LargeFile::Refused, bytes, error);
}

// As ReadWholeFile, but a larger file gives its first maxBytes bytes.
inline bool ReadFileStart(const std::string& path, std::size_t maxBytes,
                          std::vector<unsigned char>* bytes, std::string* error) {
    return ReadRegularFile(path, maxBytes, LargeFile::FirstBytes, bytes, error);
}

// A new file that only the user can read (mode 0600; on Windows a DACL for the user alone),
// created only when nothing exists at path. A failed write removes it again.
bool CreatePrivateFile(const std::string& path, const std::string& text, std::string* error);

// Replaces (or creates) path with bytes through a temporary file in the same folder and an
// atomic rename: at every moment path is either what it was or complete. The new file takes
// the permissions of modelPath when it exists.
bool WriteFileAtomically(const std::string& path, const std::vector<unsigned char>& bytes,
                         const std::string& modelPath, std::string* error);

// Makes the folder at path unless a folder is there already (its parent must exist).
bool CreateFolder(const std::string& path, std::string* error);

// Removes the file at path (a file this program wrote, when a later step failed).
bool RemoveFile(const std::string& path);
