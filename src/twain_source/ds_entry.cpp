// The library's one exported symbol, DS_Entry, and the single data source object that lives
// from the library's load to its unload (the manager unloads it after every MSG_CLOSEDS, so
// nothing is kept between loads).
#include "twain_source/test_ds.h"

namespace {

kvsource::CTestDS* theSource = nullptr;

__attribute__((constructor)) void attach() {
    if (!theSource) {
        try {
            theSource = new kvsource::CTestDS;
        } catch (...) {
            theSource = nullptr;
        }
    }
}

__attribute__((destructor)) void detach() {
    delete theSource;
    theSource = nullptr;
}

} // namespace

extern "C" __attribute__((visibility("default"))) twain::TW_UINT16
DS_Entry(twain::TW_IDENTITY* origin, twain::TW_UINT32 dataGroup, twain::TW_UINT16 dataType,
         twain::TW_UINT16 message, twain::TW_MEMREF data) {
    if (!theSource)
        return twain::TWRC_FAILURE;
    return theSource->entry(origin, dataGroup, dataType, message, data);
}
