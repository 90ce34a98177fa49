// makeprogram: writes a complete program image built by the tests' PE builder, for the end-to-end
// tests and the benchmarks (which run on the Linux side):
//   makeprogram OUT SIZE [MACHINE]
// SIZE bytes (at least 1024): PE32+ headers and one section holding the rest of the file; MACHINE
// as a number (default 0x8664, x86-64).
#include "pebuilder.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: makeprogram OUT SIZE [MACHINE]\n");
        return 2;
    }
    const unsigned long long size = std::strtoull(argv[2], nullptr, 0);
    const unsigned long machine = argc == 4 ? std::strtoul(argv[3], nullptr, 0) : pebuilder::MACHINE_AMD64;
    if (size < 1024 || size > 0xFFFFFFFFull || machine > 0xFFFF) {
        std::fprintf(stderr, "makeprogram: SIZE must lie from 1024 to 4 GiB - 1, MACHINE below 0x10000\n");
        return 2;
    }
    pebuilder::Options o;
    o.pe32plus = true;
    o.machine = static_cast<uint16_t>(machine);
    o.sizeOfHeaders = 0x200;
    o.sections = {{0x200, static_cast<uint32_t>(size - 0x200)}};
    o.size = static_cast<size_t>(size);
    const std::string bytes = pebuilder::build(o).bytes;
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    if (std::fclose(out) != 0 || !written) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
