// The process's command line and console, per platform.
#pragma once

#include <string>
#include <vector>

// The arguments after the program name, in UTF-8.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Makes the console show the UTF-8 that the program writes.
void PrepareConsoleForUtf8();
