// The station's two light outputs: the relay board on a parallel port's control register and
// the light controller on the device "LPT1".
//
// Relay values: 0 all off, 3 idle (station ready), 0x0F white LED panel, 0x0B blue LED panel.
// Light controller codes (sent as two bytes, little-endian): 0x85 dark, 0x84 blue flash
// filter, 0x82 focus target lighting, 0x81 end of the final test.
#pragma once

#include "base/bytes.h"
#include "platform/output_device.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace kv::settings {
class Profile;
}

namespace kv::diagnostics {

struct Station;

inline constexpr std::uint8_t kRelayOff = 0;
inline constexpr std::uint8_t kRelayIdle = 3;
inline constexpr std::uint8_t kRelayWhitePanel = 0x0F;
inline constexpr std::uint8_t kRelayBluePanel = 0x0B;
inline constexpr std::uint16_t kLightDark = 0x85;
inline constexpr std::uint16_t kLightBlueFilter = 0x84;
inline constexpr std::uint16_t kLightFocusTarget = 0x82;
inline constexpr std::uint16_t kLightEndOfTest = 0x81;

// The light controller's time-out per write and the settling wait after each code.
inline constexpr std::chrono::milliseconds kLightTimeout{500};
inline constexpr std::chrono::milliseconds kLightSettle{4000};

// Where the outputs go. The system's devices in a real station; recorders in the bench
// station and the tests.
class StationDevices {
public:
    virtual ~StationDevices() = default;
    // Writes `value` to the control register of the port at I/O base `baseAddress`.
    virtual bool relayWrite(unsigned baseAddress, std::uint8_t value, std::string& error) = 0;
    // Writes `bytes` to the light controller with `timeout` per write.
    virtual bool lightWrite(ByteSpan bytes, std::chrono::milliseconds timeout,
                            std::string& error) = 0;
};

// The parallel port device of an I/O base address: 0x378 parport0, 0x278 parport1, 0x3BC
// parport2; nothing for any other address.
std::optional<std::string> parportForAddress(unsigned baseAddress);

// The real devices: section "PORTS" key "RELAY_BOARD" (else the parport of the address) and
// key "LPT1" (default /dev/lp0). The relay port is opened and claimed at its first write and
// held until the object goes, so the outputs hold between writes.
class SystemStationDevices final : public StationDevices {
public:
    explicit SystemStationDevices(const settings::Profile& profile) : profile_(profile) {}
    bool relayWrite(unsigned baseAddress, std::uint8_t value, std::string& error) override;
    bool lightWrite(ByteSpan bytes, std::chrono::milliseconds timeout, std::string& error) override;

private:
    const settings::Profile& profile_;
    platform::ControlPort relay_;
};

// Reads "RELAY_BOARD_BASE_ADDR"; empty: nothing is written and the result is true. Otherwise
// the hexadecimal address's port receives `value`. A bad address or a failing device is told
// to the operator ("Relay board: ...") and gives false; nothing else is affected.
bool relayWrite(Station& s, std::uint8_t value);

// Writes `code` as two bytes (low, high) to the light controller, then waits 4000 ms on the
// station's clock. A failing device is told to the operator ("Light controller: ...") and
// gives false (without the wait).
bool lightControllerWrite(Station& s, std::uint16_t code);

} // namespace kv::diagnostics
