// Command-line options of the bench camera, shared by kvcamsim and `kvtool --simulate`:
//   --camera=plain|card|b   --firmware=TEXT  --serial=N  --rate=N  --picture-busy=MS
//   --seed=N  --corrupt=RATE  --drop=RATE  --state-bytes=RATE  --silent  --pull-after=N
//   --busy=MS  --refuse=XX  --pace=BITS|link  --late=XX:MS  --slow-rows=MS  --garbage=XX[:N]
#pragma once

#include "camsim/bench_camera.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kv::camsim {

// `option(name)` returns an option's value (taking it from the command line), `flag(name)`
// says whether a flag was given. False with `error` set when a value does not parse.
bool readBenchOptions(const std::function<std::optional<std::string>(std::string_view)>& option,
                      const std::function<bool(std::string_view)>& flag,
                      BenchCameraOptions& options, std::string& error);

// The option summary for help texts.
extern const char* const kBenchOptionsHelp;

} // namespace kv::camsim
