// The wavelet-compression marker of stored wavelet pictures.

#include "camsim/transfer_store.h"
#include "imaging/jpeg_file.h"
#include "library/store_retrieved.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

namespace kv::library {
namespace {

TEST(StoreRetrievedMarker, WaveletCompressionMarkerCarriesTheQuality) {
    kv::testing::ScratchDir dir;
    StoreContext context;
    context.base = dir.path() / "Image";
    struct Row {
        std::int16_t quality;
        int marker; // 0: not written
    } rows[] = {{0, 0}, {1, 1}, {2, 2}};
    for (const Row& row : rows) {
        camera::TransferItem item;
        item.pictureNumber = static_cast<std::int16_t>(row.quality + 1);
        item.quality = row.quality;
        item.picture = camsim::makeCompressedPicture(row.quality, 1);
        item.pictureSize = static_cast<std::uint32_t>(item.picture.size());
        item.result = status::Ok;
        const StoredItem stored = storeRetrievedItem(item, context);
        ASSERT_EQ(stored.result, status::Ok) << stored.error;
        int width = 0, height = 0;
        imaging::JpegMarkers markers;
        ASSERT_EQ(imaging::ReadJpegSize(stored.picture, width, height, &markers), status::Ok);
        EXPECT_EQ(markers.waveletCompression, row.marker) << row.quality;
        EXPECT_EQ(markers.app1Count, row.marker ? 5 : 4) << row.quality;
    }
}

} // namespace
} // namespace kv::library
