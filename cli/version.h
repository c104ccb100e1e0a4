// What quorvel-verify --version prints.
#pragma once

#include <string>

// "quorvel-verify VERSION", then one line each for libsodium, libcurl with its TLS backend and
// RapidJSON, every line ended by '\n'.
std::string VersionText();
