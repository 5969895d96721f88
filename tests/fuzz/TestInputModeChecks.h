#pragma once

// Properties shared by the fuzz targets of the test inputs: the server offers a
// test input under a name that carries its mode, and the worker reads the mode
// back out of that name. Both must accept the same modes, and a mode that is
// accepted must describe a picture the pipeline can make.

#include <string>
#include <string_view>

#include "capture/SourceInput.h"
#include "config/TestInputs.h"

namespace tiloran::fuzz {

inline void check(bool condition)
{
	if (!condition)
		__builtin_trap();
}

// Whether the server takes MODE in --test-inputs=1:MODE.
inline bool serverAcceptsMode(std::string_view mode)
{
	TestInputs testInputs;
	std::string message;
	const bool accepted = parseTestInputsValue("1:" + std::string(mode), testInputs, message);
	check(accepted ? testInputs.mode == mode : !message.empty());
	return accepted;
}

// The mode written the way the server's examples write it.
inline std::string canonicalModeText(const TestInputMode &mode)
{
	const AVRational perSecond = mode.interlaced ? av_mul_q(mode.frameRate, AVRational{ 2, 1 }) : mode.frameRate;
	std::string rate;
	if (perSecond.den == 1) {
		rate = std::to_string(perSecond.num);
	} else {
		check(perSecond.den == 1001);
		rate = perSecond.num == 24000 ? "23.98" : perSecond.num == 30000 ? "29.97" : "59.94";
		check(perSecond.num == 24000 || perSecond.num == 30000 || perSecond.num == 60000);
	}
	return std::to_string(mode.width) + "x" + std::to_string(mode.height) + (mode.interlaced ? "i" : "p") + rate;
}

// A mode the worker accepted: even sizes from 16 to 8192, from half a frame to
// 120 frames per second, the same when read again from its plain spelling, and
// accepted by the server too.
inline void checkAcceptedMode(const TestInputMode &mode)
{
	check(mode.width >= 16 && mode.width <= 8192 && mode.width % 2 == 0);
	check(mode.height >= 16 && mode.height <= 8192 && mode.height % 2 == 0);
	check(mode.frameRate.num > 0 && mode.frameRate.den > 0);
	const double framesPerSecond = av_q2d(mode.frameRate);
	check(framesPerSecond >= 0.5 && framesPerSecond <= 120);

	const std::string text = canonicalModeText(mode);
	TestInputMode again;
	check(parseTestInputMode(text, again));
	check(again.width == mode.width && again.height == mode.height && again.interlaced == mode.interlaced &&
	      av_cmp_q(again.frameRate, mode.frameRate) == 0);
	check(serverAcceptsMode(text));
}

// The server and the worker agree on whether TEXT is a mode.
inline void checkModeAgreement(std::string_view text)
{
	TestInputMode mode;
	const bool worker = parseTestInputMode(text, mode);
	check(worker == serverAcceptsMode(text));
	if (worker)
		checkAcceptedMode(mode);
}

} // namespace tiloran::fuzz
