// quorvel-make-fixture unsigned-pe --out FILE [--size BYTES] [--pe32]: an unsigned synthetic
// PE image for the scripts to sign with quorvel-sign.
#include <cstdio>
#include <exception>
#include <string>

#include "quorvel_test/signed_pe.h"

int main(int argc, char** argv) {
    quorvel_test::SignedPeOptions options;
    std::string out;
    bool usage = argc < 2 || std::string(argv[1]) != "unsigned-pe";
    for (int i = 2; i < argc && !usage; ++i) {
        const std::string option = argv[i];
        const bool valued = i + 1 < argc && (option == "--out" || option == "--size");
        if (option == "--pe32")
            options.pe32plus = false;
        else if (valued && option == "--out")
            out = argv[++i];
        else if (valued)
            options.approximate_size = std::stoull(argv[++i]);
        else
            usage = true;
    }
    if (usage || out.empty()) {
        std::fputs("usage: quorvel-make-fixture unsigned-pe --out FILE [--size BYTES] [--pe32]\n",
                   stderr);
        return 2;
    }
    try {
        quorvel_test::WriteFile(out, quorvel_test::MakeUnsignedPe(options));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quorvel-make-fixture: %s\n", error.what());
        return 1;
    }
    return 0;
}
