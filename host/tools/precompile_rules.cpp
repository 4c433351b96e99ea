// Compiles the shipped rules when remedy is built, so that the command and the daemon load
// them instead of compiling them at every start:
//
//   remedy_precompile_rules STAMP RULES.yar...
//
// Writes each file's compiled rules into .compiled/ beside it, then touches STAMP.
#include <cstdio>
#include <fstream>
#include <string>

#include "host/signatures.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s STAMP RULES.yar...\n", argv[0]);
        return 2;
    }
    for (int k = 2; k < argc; ++k) {
        std::string error;
        if (!host::SignatureLibrary::precompile(argv[k], &error)) {
            std::fprintf(stderr, "%s: %s\n", argv[k], error.c_str());
            return 1;
        }
    }
    std::ofstream(argv[1]) << "compiled\n";
    return 0;
}
