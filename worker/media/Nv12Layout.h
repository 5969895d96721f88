#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
}

namespace tiloran {

// Where an NV12 picture of width x height is, or is to be written: its two
// planes, possibly a tile's rows inside a larger picture. It owns nothing.
struct Nv12View {
	uint8_t *data[2] = {};
	int linesize[2] = {};
	int width = 0;
	int height = 0;
};

// The whole of an NV12 frame.
Nv12View nv12ViewOf(AVFrame *frame);
// The tile of width x height at (x, y) of an NV12 frame; x and y even, so
// that the tile's chroma pairs are its own.
Nv12View nv12TileView(AVFrame *frame, int x, int y, int width, int height);
// Every other row of a view from its first (0) or second (1) row on: one
// field of an interlaced picture, as a picture of its own. Its chroma rows
// are every other chroma row too, which is where a field's chroma goes when
// the view's height is a multiple of 4.
Nv12View nv12FieldView(const Nv12View &view, int field);

// Copies the rows of one view into another of the same size.
bool copyNv12View(const Nv12View &source, const Nv12View &target);

// Gives frame (without a buffer) an NV12 buffer of width x height, 32-byte
// aligned as every NV12 picture of the worker is; returns FFmpeg's result.
int allocateNv12Buffer(AVFrame *frame, int width, int height);

} // namespace tiloran
