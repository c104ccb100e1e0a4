// The files of --key-document, read once at start.
#pragma once

#include <string>
#include <vector>

#include "command_line.h"
#include "verification/offline_key_lookup.h"

// Reads every FILE (a UTF-8 path), at most one byte past the key document limit, so that the
// lookup can refuse a larger one as a fetch would. False, with the file named in error, when one
// cannot be read.
bool ReadSavedKeyDocuments(const std::vector<KeyDocumentOption>& options,
                           std::vector<SavedKeyDocument>& documents, std::string& error);
