// The PC's loudspeaker as the station procedures see it: set the wave-output volume and play
// a wave file without waiting for its end. The program implements it with its sound library;
// a machine without an audio device gets the silent one, and nothing else fails because of it.
#pragma once

#include <cstdint>
#include <string_view>

namespace kv {

class SoundOutput {
public:
    virtual ~SoundOutput() = default;
    // Volume of both channels, 0..65535 each. False when the device refused it.
    virtual bool setVolume(std::uint16_t left, std::uint16_t right) = 0;
    // Starts playing the wave file and returns at once. False when it cannot be played.
    virtual bool playFile(std::string_view path) = 0;
};

// Plays nothing and reports success.
class SilentSound final : public SoundOutput {
public:
    bool setVolume(std::uint16_t, std::uint16_t) override { return true; }
    bool playFile(std::string_view) override { return true; }
};

} // namespace kv
