// SPDX-License-Identifier: MIT
// Runs the fuzz target once on each file given, for builds without
// libFuzzer: the seeds and every input that ever crashed it.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        if (!file) {
            fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        std::vector<uint8_t> input((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    printf("%d inputs replayed\n", argc - 1);
    return 0;
}
