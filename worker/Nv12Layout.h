#pragma once

#include <array>
#include <string>

extern "C" {
#include <libavutil/frame.h>
}

namespace tiloran {

// The largest grid the layout routine handles: the 2x2 picture.
constexpr int maximumLayoutSlots = 4;

// What the compositor hands to the layout routine for one composed picture.
// Slot i of the grid sits at row i / columns and column i % columns.
struct Nv12LayoutRequest {
	int columns = 2;
	int rows = 2;
	int tileWidth = 0;
	int tileHeight = 0;
	std::array<const AVFrame *, maximumLayoutSlots> slotFrames = {};
	// Its interlacing marks choose frame or field copying; the composed
	// picture takes its properties.
	const AVFrame *masterFrame = nullptr;
	AVFrame *targetFrame = nullptr;
};

// Copies the rows of every slot tile into its place in the target NV12 picture.
bool layoutNv12Tiles(const Nv12LayoutRequest &request, std::string &message);

// Copies one NV12 tile of width x height pixels into the target at (x, y).
// Field mode copies the rows of the first field (0: even rows, 1: odd rows)
// before those of the other; the picture written is the same.
bool blitNv12Tile(const AVFrame *source, AVFrame *target, int x, int y, int width, int height,
		  bool fieldMode, int firstFieldParity);

} // namespace tiloran
