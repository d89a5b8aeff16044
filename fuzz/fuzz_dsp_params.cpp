// Text read from outside for the simulations: the parameter file, a cell matrix ("color.mtx")
// and a gamma-gain table.

#include "imaging/process/dsp_params.h"
#include "imaging/process/dsp_simulation.h"
#include "imaging/process/process_commands.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const kv::process::DspParams params = kv::process::ParseDspParams(text);
    if (params.labelsFound > 7)
        __builtin_trap();
    (void)kv::process::DevelopMtxText(params, size % 2 == 0);
    (void)kv::process::SharpeningGain(int(size) * 64, int(size) * 100, params.alphaHigh,
                                      params.alphaLow);
    (void)kv::process::ParseCellMatrix(text);
    kv::process::GammaGainTable table{};
    (void)kv::process::ParseGammaGainTable(data, size, table);
    return 0;
}
