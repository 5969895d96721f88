#include "common/TsPacket.h"

namespace tiloran {

namespace {

// The payload of a packet that begins a unit; null for any other.
const uint8_t *unitPayload(const uint8_t *packet, std::size_t &size)
{
	if (packet[0] != 0x47 || !(packet[1] & 0x40))
		return nullptr;
	const int adaptation = (packet[3] >> 4) & 3;
	std::size_t offset = 4;
	if (adaptation == 2 || adaptation == 0)
		return nullptr;
	if (adaptation == 3)
		offset += 1 + std::size_t{ packet[4] };
	if (offset + 3 > kTsPacketSize)
		return nullptr;
	size = kTsPacketSize - offset;
	return packet + offset;
}

} // namespace

bool beginsPes(const uint8_t *packet)
{
	std::size_t size = 0;
	const uint8_t *payload = unitPayload(packet, size);
	return payload && payload[0] == 0 && payload[1] == 0 && payload[2] == 1;
}

std::optional<int64_t> videoPesPts(const uint8_t *packet)
{
	std::size_t size = 0;
	const uint8_t *p = unitPayload(packet, size);
	if (!p || size < 14 || p[0] != 0 || p[1] != 0 || p[2] != 1 || (p[3] & 0xF0) != 0xE0 || !(p[7] & 0x80))
		return std::nullopt;
	return (int64_t{ p[9] & 0x0E } << 29) | (int64_t{ p[10] } << 22) | (int64_t{ p[11] & 0xFE } << 14) |
	       (int64_t{ p[12] } << 7) | (int64_t{ p[13] } >> 1);
}

} // namespace tiloran
