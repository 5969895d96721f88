#pragma once

#include <cstdint>
#include <string>

namespace tiloran {

// One input the server offers to the client: a capture card, or a test-pattern
// input when the server runs with --test-inputs. The worker opens it by name.
struct DeviceInfo {
	std::string id;
	std::string name;
	std::string type;
	std::string status;
	// The embedded audio channels the worker captures from it, of which a
	// stream takes two.
	std::int32_t audioChannels = 2;
};

// A bitrate choice of the client configuration document: megabits per second
// for video, kilobits per second for audio.
struct BitrateOption {
	std::string title;
	std::int32_t value;
};

// A codec choice of the client configuration document; the value is the
// FFmpeg encoder name that the worker opens.
struct CodecOption {
	std::string title;
	std::string value;
};

} // namespace tiloran
