// Gain files: the encoded gain image decoder (any bytes of the right length) and the gain
// file loader's choice between the two forms.

#include "imaging/process/gain_file.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Grow the input to the encoded image's size by repeating it, so the decoder always runs.
    kv::Bytes encoded(kv::process::kEncodedGainBytes, 0);
    for (std::size_t i = 0; size > 0 && i < encoded.size(); ++i)
        encoded[i] = data[i % size];
    std::vector<std::uint16_t> gains;
    if (!kv::process::DecodeGainImage(encoded, gains) || gains.size() != 960u * 800u)
        __builtin_trap();

    static const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("kv_fuzz_gain_" + std::to_string(::getpid()));
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    std::string error;
    (void)kv::process::LoadGainFile(path, gains, &error);
    return 0;
}
