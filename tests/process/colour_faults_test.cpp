// The two renderings of the sensor mosaic agree in hue.

#include "imaging/process/cell_render.h"
#include "imaging/process/dsp_simulation.h"
#include "imaging/process/ram_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace kv::process {
namespace {

int dominant(const std::uint8_t* rgb) {
    return int(std::max_element(rgb, rgb + 3) - rgb);
}

TEST(ColourOrder, CellRenderingAndDspSimulationAgreeOnSingleSites) {
    struct Row {
        const char* site;
        CellSamples cell; // b, g, t, r
        int channel;      // 0 R, 1 G, 2 B
    } rows[] = {
        {"B", {400, 0, 0, 0}, 2},
        {"G", {0, 400, 0, 0}, 1},
        {"R", {0, 0, 0, 400}, 0},
    };
    for (const Row& row : rows) {
        std::vector<std::uint16_t> mosaic(kMosaicSamples);
        for (int j = 0; j < kCellRows; ++j)
            for (int k = 0; k < kCellColumns; ++k)
                SetMosaicCell(mosaic.data(), k, j, row.cell);
        std::vector<std::uint8_t> cells(kCellCount * 3);
        RenderMosaicCells(mosaic.data(), cells.data());
        const DspResult dsp = RunDspSimulation(mosaic.data(), DefaultDspParams(), {});
        ASSERT_TRUE(dsp.completed) << dsp.error;
        const std::size_t at = 3 * (200 * std::size_t(kCellColumns) + 240);
        EXPECT_EQ(dominant(&cells[at]), row.channel) << row.site << " in the cell rendering";
        EXPECT_EQ(dominant(&dsp.rgb8[at]), row.channel) << row.site << " in the simulation";
    }
}

} // namespace
} // namespace kv::process
