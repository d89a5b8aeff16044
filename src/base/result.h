// The 16-bit result codes that camera-link and file operations return (0 = success).
#pragma once

#include <cstdint>
#include <string_view>

namespace kv {

using Status = std::uint16_t;

namespace status {
inline constexpr Status Ok = 0;
inline constexpr Status LinkLost = 256;      // the link was already lost before the call
inline constexpr Status IoFailed = 512;      // a read or write call failed (or the device vanished)
inline constexpr Status Overrun = 514;       // receive overrun reported by the driver
inline constexpr Status LostWhileBusy = 516; // the link was lost while the camera was busy
inline constexpr Status TimedOut = 517;      // the time-out passed before all bytes came
inline constexpr Status Failed = 0xFFFF;     // no "OK\r\n" from the camera; file operation failed
} // namespace status

// A short English text saying what a result code means, for messages and logs.
std::string_view statusText(Status code);

} // namespace kv
