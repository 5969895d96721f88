#include "output/VideoEncoderSettings.h"

#include <algorithm>

namespace tiloran {

namespace {

// FFmpeg's AVFieldOrder values, spelled out so that this file needs no FFmpeg header.
constexpr int32_t fieldProgressive = 1;
constexpr int32_t fieldTopFirst = 2;
constexpr int32_t fieldTopCodedFirstBottomShownFirst = 4;
constexpr int32_t fieldBottomCodedFirstTopShownFirst = 5;

// Below two pictures the buffer model starves key pictures, which are
// several average ones.
constexpr int64_t fewestBufferPictures = 2;
constexpr int64_t mostBufferMs = 1000;
// The share of the latency a burst may take: the rest is left for the round
// trip of a retransmission (SRT's own advice is a latency of at least four
// round trips).
constexpr int64_t burstSharePercent = 75;

} // namespace

// Why the buffer is what it is: a picture larger than the average leaves the
// encoder at once, and the link carries it at about the average rate, so its
// last bytes arrive up to buffer / rate later than an average picture's. The
// receiver holds every packet back for the latency and then plays it or
// gives it up, so a burst that takes longer than the latency, less a round
// trip for retransmission, arrives too late whatever the link's headroom:
// the buffer is three quarters of the latency's worth of the rate. More than
// a second only adds delay; less than two pictures leaves no room for a key
// picture.
VideoRate boundedVideoRate(int64_t bitsPerSecond, std::optional<int> srtLatencyMs, int32_t frameRateNumerator,
			   int32_t frameRateDenominator)
{
	int64_t bufferMs =
		srtLatencyMs ? std::min<int64_t>(int64_t{ *srtLatencyMs } * burstSharePercent / 100, mostBufferMs) : mostBufferMs;
	if (frameRateNumerator > 0 && frameRateDenominator > 0) {
		const int64_t fewestMs =
			(fewestBufferPictures * 1000 * frameRateDenominator + frameRateNumerator - 1) / frameRateNumerator;
		bufferMs = std::max(bufferMs, std::min(fewestMs, mostBufferMs));
	}
	return { bitsPerSecond, bitsPerSecond, bitsPerSecond * bufferMs / 1000 };
}

std::string videoEncoderLookupName(const std::string &codec)
{
	return codec == "h264" ? "libx264" : codec;
}

VideoEncoderSettings chooseVideoEncoderSettings(const std::string &encoderName, int32_t outputWidth,
						int32_t outputHeight, int32_t frameRateNumerator,
						int32_t frameRateDenominator, int32_t fieldOrder)
{
	VideoEncoderSettings settings;
	settings.nvenc = encoderName == "h264_nvenc";
	settings.qsv = encoderName == "h264_qsv";

	if (settings.nvenc) {
		// Every picture an IDR frame: a receiver can join at any picture.
		settings.gopSize = 1;
	} else {
		const int64_t twoSeconds = frameRateDenominator > 0
						   ? 2 * static_cast<int64_t>(frameRateNumerator) / frameRateDenominator
						   : 1;
		settings.gopSize = static_cast<int32_t>(std::max<int64_t>(twoSeconds, 1));
	}

	settings.interlaced = !settings.nvenc && fieldOrder >= fieldTopFirst &&
			      fieldOrder <= fieldBottomCodedFirstTopShownFirst;
	settings.fieldOrder = settings.interlaced ? fieldOrder : fieldProgressive;

	settings.logLines.push_back("[CompositeOutput] Encoder field_order=" + std::to_string(settings.fieldOrder) +
				    " scan=" + (settings.interlaced ? "interlaced" : "progressive") +
				    " encoder=" + encoderName);

	if (settings.nvenc) {
		const bool highLevel = outputWidth > 1920 || outputHeight > 1080;
		settings.options = {
			{ "preset", std::string("p1") },
			{ "tune", std::string("ull") },
			// Constant bitrate, low delay: the buffer is the context's
			// rc_buffer_size, the ceiling its rc_max_rate.
			{ "rc", std::string("cbr_ld_hq") },
			{ "zerolatency", int64_t{ 1 } },
			{ "delay", int64_t{ 0 } },
			{ "rc-lookahead", int64_t{ 0 } },
			{ "surfaces", int64_t{ 2 } },
			{ "forced-idr", int64_t{ 1 } },
			{ "strict_gop", int64_t{ 1 } },
			{ "profile", std::string("high") },
		};
		if (highLevel)
			settings.options.push_back({ "level", std::string("5.2") });
		settings.logLines.push_back("[CompositeOutput] NVENC " + std::to_string(outputWidth) + "x" +
					    std::to_string(outputHeight) +
					    " gop=1 forced-idr=1 profile=high" +
					    (highLevel ? " level=5.2" : " level=auto"));
	} else if (settings.qsv) {
		// Constant bitrate (the wrapper's choice for a ceiling equal to the
		// average) with its low-delay rate control: every picture kept to
		// the buffer, nothing looked ahead, one picture in flight.
		settings.options = {
			{ "preset", std::string("veryfast") },
			{ "look_ahead", int64_t{ 0 } },
			{ "low_delay_brc", int64_t{ 1 } },
			{ "async_depth", int64_t{ 1 } },
			{ "forced_idr", int64_t{ 1 } },
		};
	} else {
		settings.options = {
			{ "preset", std::string("veryfast") },
			{ "tune", std::string("zerolatency") },
			// A picture forced to I (for a receiver connected anew) is
			// then an IDR picture, where decoding can begin.
			{ "forced-idr", int64_t{ 1 } },
		};
		if (settings.interlaced) {
			const bool topFirst = fieldOrder == fieldTopFirst ||
					      fieldOrder == fieldTopCodedFirstBottomShownFirst;
			settings.options.push_back({ "x264-params", std::string(topFirst ? "tff=1" : "bff=1") });
		}
	}
	return settings;
}

} // namespace tiloran
