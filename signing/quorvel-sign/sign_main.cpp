// quorvel-sign: makes the Quorvel signatures that quorvel-verify and the Quorvel tab check.
#include <sodium.h>

#include <cstdio>
#include <exception>
#include <new>

#include "command_support.h"
#include "program/console.h"
#include "sign_command_line.h"
#include "sign_commands.h"

int main(int argc, char** argv) {
    try {  // the arguments' copies included; out of memory is a constant line, which needs none
        PrepareConsoleForUtf8();
        const SignCommandLine line = ParseSignCommandLine(CommandLineArguments(argc, argv));
        switch (line.mode) {
            case SignMode::Help:
                std::fputs(SignUsageText(), stdout);
                return kSignExitDone;
            case SignMode::Version:
                std::fputs(SignVersionText().c_str(), stdout);
                return kSignExitDone;
            case SignMode::UsageError:
                std::fprintf(stderr, "quorvel-sign: %s\nTry 'quorvel-sign --help'.\n",
                             line.error.c_str());
                return kSignExitUsage;
            default:
                break;
        }
        if (sodium_init() < 0) {
            std::fputs("quorvel-sign: libsodium cannot start\n", stderr);
            return kSignExitRefused;
        }
        switch (line.mode) {
            case SignMode::Keygen:
                return RunKeygen(line, stdout, stderr);
            case SignMode::KeyDocument:
                return RunKeyDocument(line, stdout, stderr);
            case SignMode::Prepare:
                return RunPrepare(line, stdout, stderr);
            case SignMode::Attach:
                return RunAttach(line, stdout, stderr);
            case SignMode::Remove:
                return RunRemove(line, stdout, stderr);
            default:
                return RunSign(line, stdout, stderr);
        }
    } catch (const std::bad_alloc&) {
        std::fputs("quorvel-sign: out of memory\n", stderr);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quorvel-sign: %s\n", error.what());
    } catch (...) {
        std::fputs("quorvel-sign: unexpected error\n", stderr);
    }
    return kSignExitRefused;
}
