#include "saved_key_documents.h"

#include <utility>

#include "keyclient/http_get.h"
#include "program/files.h"

bool ReadSavedKeyDocuments(const std::vector<KeyDocumentOption>& options,
                           std::vector<SavedKeyDocument>& documents, std::string& error) {
    for (const KeyDocumentOption& option : options) {
        std::vector<unsigned char> bytes;
        std::string reason;
        if (!ReadFileStart(option.file, kMaxResponseBytes + 1, &bytes, &reason)) {
            error = "cannot read the key document '" + option.file + "': " + reason;
            return false;
        }
        SavedKeyDocument document;
        document.domain = option.domain;
        document.body.assign(bytes.begin(), bytes.end());
        documents.push_back(std::move(document));
    }
    return true;
}
