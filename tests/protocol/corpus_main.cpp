// Writes the seed datagrams into a directory: protocol_corpus <dir>.
#include <cstdio>
#include <fstream>
#include <string>

#include "protocol/corpus.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    for (const auto& seed : tivlo::protocol::testing::SeedDatagrams()) {
        std::string path = std::string(argv[1]) + "/" + seed.file;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(seed.bytes.data()), std::streamsize(seed.bytes.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
