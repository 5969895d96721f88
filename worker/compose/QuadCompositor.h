#pragma once

#include "config/WorkerConfig.h"
#include "media/Nv12Layout.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

extern "C" {
#include <libavutil/frame.h>
}

namespace tiloran {

// Lays four NV12 tiles of equal size out as one 2x2 NV12 picture of twice
// the width and height, in place: no scaling or blending, and no tile of its
// own. begin names the picture (the pooled output picture); a source converts
// its picture straight into its slot's place (slotView), a picture of the
// caller's (a slate) is copied there (pushFrame), and compose fills each empty
// quadrant with the master's tile and gives the picture the properties
// (timestamps, interlacing marks) of the master's picture.
//
// Every quadrant with a source must be filled before each compose.
//
// Its console line and messages still name it "FilterCompositor", the name
// it had while it composed through a filter graph: operators' log filters
// and scripts know that name.
//
// Threads: single-threaded; only the worker's main thread calls it.
class QuadCompositor
{
public:
	QuadCompositor();
	~QuadCompositor();
	QuadCompositor(const QuadCompositor &) = delete;
	QuadCompositor &operator=(const QuadCompositor &) = delete;

	// Tiles are tileWidth x tileHeight, both even; quadrants[i] describes slot i.
	bool init(int32_t tileWidth, int32_t tileHeight, const std::array<QuadrantConfig, 4> &quadrants,
		  std::string &message);
	// The first quadrant that has a source.
	int32_t masterSlot() const;
	// Starts a picture in outputFrame: NV12 of the output size, writable, the
	// caller's until compose. Slots filled for an earlier picture count no
	// more.
	bool begin(AVFrame *outputFrame, std::string &message);
	// The place of slot 0..3 in the picture begun, for the caller to write
	// its tile into; the slot counts as filled.
	bool slotView(int32_t slot, Nv12View &view, std::string &message);
	// Copies an NV12 frame of tile size into slot 0..3 of the picture begun.
	bool pushFrame(int32_t slot, const AVFrame *frame, std::string &message);
	// Completes the picture begun: masterSlot is the master's quadrant,
	// whose tile fills the empty ones, and master holds the properties of
	// the master's picture (its pixels are not read).
	bool compose(int32_t masterSlot, const AVFrame *master, std::string &message);

private:
	struct State;
	std::unique_ptr<State> state_;
};

} // namespace tiloran
