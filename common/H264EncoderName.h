#pragma once

#include <string_view>

namespace tiloran {

// An FFmpeg encoder name (h264, libx264, h264_nvenc, h264_qsv, ...): lower-case
// letters, digits and underscores, naming an H.264 encoder. A display name
// such as "H.264" is no encoder name.
inline bool isH264EncoderName(std::string_view codec)
{
	if (codec.find("264") == std::string_view::npos)
		return false;
	for (const char character : codec) {
		const bool allowed = (character >= 'a' && character <= 'z') || (character >= '0' && character <= '9') ||
				     character == '_';
		if (!allowed)
			return false;
	}
	return true;
}

} // namespace tiloran
