// A minimal shell data object that offers a drop list (CF_HDROP in global memory), as the
// shell hands one to property sheet handlers. Used by the host program and by the tests.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <string>
#include <vector>

// A data object (one reference) whose CF_HDROP lists files in order; null when out of memory.
IDataObject* CreateDropDataObject(const std::vector<std::wstring>& files);

// A data object (one reference) that offers no format at all.
IDataObject* CreateEmptyDataObject();

// Number of data objects of this file alive in the process (for leak checks in tests).
long LiveDataObjects();
