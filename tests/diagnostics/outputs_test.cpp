#include "diagnostics/picture_commands.h"
#include "diagnostics/station_outputs.h"
#include "station_rig.h"

#include <fstream>

namespace kv::testing {
namespace {

using camsim::OutputWrite;
using Device = OutputWrite::Device;

TEST(StationOutputs, EmptyRelayAddressSkipsEveryRelayWrite) {
    StationRig rig;
    for (std::string value : {"", "   "}) {
        rig.profile.writeString("DIAGNOSTICS", "RELAY_BOARD_BASE_ADDR", value);
        const auto before = rig.bench.clock().now();
        EXPECT_TRUE(diagnostics::homeShutter(rig.station));
        EXPECT_TRUE(rig.bench.outputLog().empty());
        EXPECT_EQ(rig.bench.clock().now() - before, 10000ms);
    }
    EXPECT_EQ(rig.commands("Z2").size(), 2u);
    EXPECT_TRUE(rig.op.messages.empty());
}

TEST(StationOutputs, ExactBytesInOrder) {
    StationRig rig;
    rig.profile.writeString("DIAGNOSTICS", "RELAY_BOARD_BASE_ADDR", "378");
    ASSERT_TRUE(diagnostics::homeShutter(rig.station));
    const auto before = rig.bench.clock().now();
    ASSERT_TRUE(diagnostics::lightControllerWrite(rig.station, diagnostics::kLightDark));
    EXPECT_EQ(rig.bench.clock().now() - before, 4000ms);
    ASSERT_TRUE(diagnostics::lightControllerWrite(rig.station, 0x1284));
    ASSERT_TRUE(diagnostics::relayWrite(rig.station, diagnostics::kRelayBluePanel));
    const std::vector<OutputWrite> expected{
        {Device::Relay, 0x378, {3}},      {Device::Relay, 0x378, {0}},
        {Device::Light, 0, {0x85, 0x00}}, {Device::Light, 0, {0x84, 0x12}},
        {Device::Relay, 0x378, {0x0B}},
    };
    EXPECT_EQ(rig.bench.outputLog(), expected);
}

TEST(StationOutputs, RefusedDevicesAreToldAndNothingElseBreaks) {
    struct Row {
        std::string address;
        bool relayMissing, lightMissing;
        std::string relayMessage; // prefix; empty: the write succeeds
        std::string lightMessage;
    };
    const Row rows[] = {
        {"zz", false, false, "Relay board: \"zz\" is not a hexadecimal address", ""},
        {"0x378", true, false, "Relay board: /dev/parport0: cannot open", ""},
        {"378", false, true, "", "Light controller: /dev/lp0: cannot open"},
    };
    for (const Row& row : rows) {
        camsim::BenchStationOptions o;
        o.relayMissing = row.relayMissing;
        o.lightMissing = row.lightMissing;
        StationRig rig(o);
        rig.profile.writeString("DIAGNOSTICS", "RELAY_BOARD_BASE_ADDR", row.address);
        EXPECT_EQ(diagnostics::relayWrite(rig.station, 3), row.relayMessage.empty());
        const auto before = rig.bench.clock().now();
        EXPECT_EQ(diagnostics::lightControllerWrite(rig.station, 0x85), row.lightMessage.empty());
        if (!row.lightMessage.empty()) {
            EXPECT_EQ(rig.bench.clock().now(), before); // no settling wait after a failure
        }
        std::vector<std::string> expected;
        for (const std::string* m : {&row.relayMessage, &row.lightMessage})
            if (!m->empty())
                expected.push_back(*m);
        ASSERT_EQ(rig.op.messages.size(), expected.size()) << row.address;
        for (std::size_t i = 0; i < expected.size(); ++i)
            EXPECT_EQ(rig.op.messages[i].rfind(expected[i], 0), 0u) << rig.op.messages[i];
        // The procedures still run: the camera answers.
        EXPECT_TRUE(diagnostics::homeShutter(rig.station));
    }
}

TEST(StationOutputs, ParportsOfTheAddresses) {
    EXPECT_EQ(diagnostics::parportForAddress(0x378), "/dev/parport0");
    EXPECT_EQ(diagnostics::parportForAddress(0x278), "/dev/parport1");
    EXPECT_EQ(diagnostics::parportForAddress(0x3BC), "/dev/parport2");
    EXPECT_EQ(diagnostics::parportForAddress(0x3F8), std::nullopt);
}

// The system devices on plain files (what a recording stands-in under "PORTS" looks like):
// the relay port is opened once and every byte lands in order; the light controller's file is
// opened per code; a missing device is an error, never created.
TEST(StationOutputs, SystemDevicesWriteThroughPorts) {
    ScratchDir dir;
    settings::Profile profile(dir / "kvmini.INI");
    std::ofstream(dir / "relay.out").close();
    std::ofstream(dir / "lpt1.out").close();
    profile.writeString("PORTS", "RELAY_BOARD", (dir / "relay.out").string());
    profile.writeString("PORTS", "LPT1", (dir / "lpt1.out").string());
    diagnostics::SystemStationDevices devices(profile);
    std::string error;
    for (std::uint8_t v : {3, 0x0F, 0})
        ASSERT_TRUE(devices.relayWrite(0x378, v, error)) << error;
    const std::uint8_t code[2] = {0x85, 0};
    ASSERT_TRUE(devices.lightWrite(code, 500ms, error)) << error;
    ASSERT_TRUE(devices.lightWrite(code, 500ms, error)) << error;
    const auto content = [&](const char* name) {
        std::ifstream in(dir / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(content("relay.out"), std::string("\x03\x0F\x00", 3));
    EXPECT_EQ(content("lpt1.out"), std::string("\x85\x00\x85\x00", 4));

    profile.writeString("PORTS", "LPT1", (dir / "missing").string());
    EXPECT_FALSE(devices.lightWrite(code, 500ms, error));
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));

    settings::Profile other(dir / "other.INI");
    diagnostics::SystemStationDevices unmapped(other);
    EXPECT_FALSE(unmapped.relayWrite(0x3F8, 3, error));
    EXPECT_NE(error.find("no parallel port at address 3f8"), std::string::npos) << error;
}

} // namespace
} // namespace kv::testing
