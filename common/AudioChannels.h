#pragma once

#include <cstdint>

namespace tiloran {

// Embedded audio channels, as both programs count them.

// The most embedded channels an input is captured with: the highest channel
// number a stream may take its stereo from.
inline constexpr std::int32_t kMaximumAudioChannels = 16;

// The embedded channels of a test input (the server's --test-inputs), each
// pair with a tone of its own.
inline constexpr std::int32_t kTestInputAudioChannels = 16;

} // namespace tiloran
