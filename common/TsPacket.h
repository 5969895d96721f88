#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tiloran {

// What the recording and its listing need to know of one 188-byte MPEG-TS
// packet, without a demuxer.
constexpr std::size_t kTsPacketSize = 188;

// Whether the packet begins a PES packet (pictures or audio frames), as
// opposed to carrying tables or continuing a PES packet.
bool beginsPes(const uint8_t *packet);

// The PTS (1/90000 s) of the video PES packet that packet begins; none for
// any other packet.
std::optional<int64_t> videoPesPts(const uint8_t *packet);

} // namespace tiloran
