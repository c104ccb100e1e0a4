// The host's own "General" tab, standing in for the one Explorer shows first: the file's name,
// folder and size, from an in-memory dialog template.
#pragma once

#include <windows.h>
#include <prsht.h>

#include <string>
#include <vector>

class GeneralPage {
public:
    explicit GeneralPage(std::wstring path);
    GeneralPage(const GeneralPage&) = delete;
    GeneralPage& operator=(const GeneralPage&) = delete;

    // The page for the sheet; the template lives as long as this object.
    HPROPSHEETPAGE Create();

private:
    std::wstring path_;
    std::vector<WORD> template_;
};
