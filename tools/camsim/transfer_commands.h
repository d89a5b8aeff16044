// The bench camera's transfer commands (stored items, card files, memories, downloads).
#pragma once

namespace kv::camsim {

class BenchCamera;

// Adds the transfer command handlers to `camera`. Called by the BenchCamera constructor.
void registerTransferCommands(BenchCamera& camera);

} // namespace kv::camsim
