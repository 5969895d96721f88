#pragma once

#include "WorkerConfig.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

extern "C" {
#include <libavutil/frame.h>
}

namespace tiloran {

// Lays four NV12 tiles of equal size out as one 2x2 NV12 picture of twice
// the width and height, by copying rows; no scaling or blending. The picture
// takes the properties (timestamps, interlacing marks) of the last tile
// pushed into the master slot: the first quadrant that has a source.
//
// Every slot must be pushed before each compose; an empty quadrant is filled
// by the caller (with the master's picture).
//
// Threads: single-threaded; only the worker's main thread calls it.
class FilterCompositor
{
public:
	FilterCompositor();
	~FilterCompositor();
	FilterCompositor(const FilterCompositor &) = delete;
	FilterCompositor &operator=(const FilterCompositor &) = delete;

	// Tiles are tileWidth x tileHeight; quadrants[i] describes slot i.
	bool init(int32_t tileWidth, int32_t tileHeight, const std::array<QuadrantConfig, 4> &quadrants,
		  std::string &message);
	// Copies an NV12 frame of tile size into slot 0..3. Pushing a slot again
	// before the next compose replaces its picture.
	bool pushFrame(int32_t slot, const AVFrame *frame, std::string &message);
	// Writes the 2x2 picture into outputFrame, which is reallocated when its
	// size or format is not the output's.
	bool compose(AVFrame *outputFrame, std::string &message);

private:
	struct State;
	std::unique_ptr<State> state_;
};

} // namespace tiloran
