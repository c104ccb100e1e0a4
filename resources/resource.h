// Resource identifiers of quorvel-shell-integration.dll, shared by the resource script and the
// code that loads the templates and the font.
#pragma once

// The property page (template and its controls).
#define IDD_PROPERTY_PAGE 1000
#define IDC_STATUS 1001
#define IDC_RESULTS 1002
#define IDC_DOMAIN 1003
#define IDC_LICENSES_LINK 1004
#define IDC_DESCRIPTION 1005

// The licences dialog.
#define IDD_LICENSES 1006
#define IDC_LICENSES_TEXT 1007

// The TrueType file of the domain line's font, RCDATA, 54,444 bytes.
#define IDR_DOMAIN_FONT 1100

// The module's manifest (the resource id that a DLL's own manifest takes).
#define IDR_MODULE_MANIFEST 2
