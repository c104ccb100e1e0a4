// quorvel-verify: the verification job of the Quorvel tab, on the command line.
#include <cstdio>
#include <exception>
#include <new>

#include "command_line.h"
#include "commands.h"
#include "program/console.h"
#include "version.h"

int main(int argc, char** argv) {
    // Nothing ends the program unreported, the arguments' own copies included. Out of memory is
    // a constant line: printing it needs no memory.
    try {
        PrepareConsoleForUtf8();
        const CommandLine commandLine = ParseCommandLine(CommandLineArguments(argc, argv));
        switch (commandLine.mode) {
            case CommandMode::Help:
                std::fputs(UsageText(), stdout);
                return kExitAllGood;
            case CommandMode::Version:
                std::fputs(VersionText().c_str(), stdout);
                return kExitAllGood;
            case CommandMode::UsageError:
                std::fprintf(stderr, "quorvel-verify: %s\nTry 'quorvel-verify --help'.\n",
                             commandLine.error.c_str());
                return kExitUsage;
            case CommandMode::Info:
                return RunInfoCommand(commandLine, stdout);
            case CommandMode::Verify:
                return RunVerifyCommand(commandLine, stdout, stderr);
        }
    } catch (const std::bad_alloc&) {
        std::fputs("quorvel-verify: out of memory\n", stderr);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quorvel-verify: %s\n", error.what());
    } catch (...) {
        std::fputs("quorvel-verify: unexpected error\n", stderr);
    }
    return kExitNotAllGood;
}
