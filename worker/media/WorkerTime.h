#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/rational.h>
}

namespace tiloran {

// Every timestamp that crosses the worker's components counts in 1/90000 s,
// MPEG-TS's own clock: the capture sources stamp their pictures and audio in
// it, and both encoders and both streams of the output use it.
inline constexpr AVRational kWorkerTimeBase{ 1, 90000 };
inline constexpr int64_t kWorkerTicksPerSecond = kWorkerTimeBase.den;

} // namespace tiloran
