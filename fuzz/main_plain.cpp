// A fuzz target as a plain program: runs one input, read from the path given or from stdin,
// so that a finding reproduces (under the sanitizer build or a debugger) without libFuzzer.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

#include "fuzz/fuzz_targets.h"

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: %s [input]   (reads stdin without a path)\n", argv[0]);
        return 2;
    }
    std::vector<char> input;
    if (argc == 2) {
        std::ifstream file(argv[1], std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "%s: cannot open %s\n", argv[0], argv[1]);
            return 2;
        }
        input.assign(std::istreambuf_iterator<char>(file), {});
    }
    else {
        input.assign(std::istreambuf_iterator<char>(std::cin), {});
    }
    return REMEDY_FUZZ_ENTRY(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}
