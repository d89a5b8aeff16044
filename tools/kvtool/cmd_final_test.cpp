// kvtool final-test: the final test's gain run replayed from the working files of a folder
// (P = 0, no camera), with the scripted operator answering the verdict box. Writes r.txt and
// r.json into the folder; --report-json prints r.json.

#include "command.h"
#include "diagnostics/gain_replay.h"
#include "platform/atomic_file.h"
#include "scripted_operator.h"
#include "settings/profile.h"
#include "shell/editions.h"

#include <cstdio>

namespace kvtool {
namespace {

using namespace kv;

int runFinalTest(Args& args) {
    const auto replay = args.option("--replay");
    const bool json = args.flag("--report-json");
    const bool automatic = args.flag("--automatic");
    ScriptedOperator op;
    std::string error;
    if (!op.takeAnswers(args, error))
        return fail(error);
    if (!replay)
        return fail("final-test runs from working files only: give --replay DIR");
    diagnostics::GainReplayOptions o;
    o.folder = *replay;
    o.programRevision = std::string(shell::kProgramVersion);
    o.automaticMode = automatic;
    const diagnostics::GainReplayResult r =
        diagnostics::replayGainRun(op, settings::appProfile(), o);
    if (json) {
        Bytes text;
        if (platform::readWholeFile(o.folder / "r.json", text, 1u << 20))
            std::fwrite(text.data(), 1, text.size(), stdout);
    }
    if (!r.errorText.empty())
        std::fprintf(stderr, "%s\n", r.errorText.c_str() + 1);
    std::printf("Sensor: %s\n", r.passed == 1 ? "PASSED" : "FAILED");
    return r.status == 0 && r.passed == 1 ? 0 : 1;
}

Registrar finalTestCommand{{"final-test",
                            "final-test --replay DIR [--report-json] [--automatic]\n"
                            "      [--answer QUESTION=ANSWER] [--answers FILE]",
                            "the final test's gain run from the working files a.tif, z.tif, "
                            "r.tif, c.tif of DIR: r.txt and r.json",
                            runFinalTest}};

} // namespace
} // namespace kvtool
