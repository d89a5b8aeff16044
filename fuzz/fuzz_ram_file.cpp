// RAM files from disk: the loader's size rules, then unpacking, rendering and the reverse
// packing on whatever bytes it accepted.

#include "imaging/process/cell_render.h"
#include "imaging/process/ram_file.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("kv_fuzz_ram_" + std::to_string(::getpid()));
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    kv::Bytes ram;
    std::string error;
    if (!kv::process::LoadRamFile(path, ram, &error)) {
        // Short inputs still exercise the readers on a zero-padded image.
        ram.assign(kv::process::kRamFileSize, 0);
        for (std::size_t i = 0; i < size && i < ram.size(); ++i)
            ram[kv::process::kRamPictureOffset + i % kv::process::kRamPictureBytes] = data[i];
    }
    const auto mosaic = kv::process::UnpackMosaic(ram, 6);
    std::vector<std::uint8_t> rgb(kv::process::kCellCount * 3);
    kv::process::RenderCells(ram, rgb.data());
    const kv::Bytes packed = kv::process::PackMosaic(mosaic.data(), 6);
    if (kv::process::UnpackMosaic(packed, 6) != mosaic)
        __builtin_trap();
    return 0;
}
