// libFuzzer target for the TNEF decoder: any bytes must give a message or a
// cause without a crash, a leak or undefined behaviour. Built with
// MAILVANE_TNEF_SEEDS instead, it writes the seeds (tests/data/tnef) from
// the tests' own streams.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mapi/import/Tnef.h"

#ifndef MAILVANE_TNEF_SEEDS

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    mailvane::mapi::import::TnefMessage message;
    mailvane::mapi::import::DecodeTnef(std::string_view(reinterpret_cast<const char*>(data), size),
                                       &message);
    return 0;
}

#else

#include <fstream>
#include <iostream>
#include <string>

#include "import/TnefWriter.h"

int main(int argc, char** argv) {
    using namespace mailvane::mapi::import::tnef_writer;
    if (argc != 2) {
        std::cerr << "usage: mailvane-tnef-seeds FOLDER\n";
        return 2;
    }
    const struct {
        const char* name;
        TnefWriter stream;
    } kSeeds[] = {
        {"two-files", TwoFiles()}, {"properties", Properties()}, {"embedded", Embedded()}};
    for (const auto& seed : kSeeds)
        std::ofstream(std::string(argv[1]) + "/" + seed.name + ".tnef", std::ios::binary)
            << seed.stream.bytes();
    return 0;
}

#endif
