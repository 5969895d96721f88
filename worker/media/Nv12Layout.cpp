#include "media/Nv12Layout.h"

#include <cstddef>
#include <cstring>

namespace tiloran {

namespace {

uint8_t *planeRow(uint8_t *plane, int lineSize, int row)
{
	return plane + static_cast<ptrdiff_t>(row) * lineSize;
}

} // namespace

Nv12View nv12ViewOf(AVFrame *frame)
{
	Nv12View view;
	for (int plane = 0; plane < 2; ++plane) {
		view.data[plane] = frame->data[plane];
		view.linesize[plane] = frame->linesize[plane];
	}
	view.width = frame->width;
	view.height = frame->height;
	return view;
}

Nv12View nv12TileView(AVFrame *frame, int x, int y, int width, int height)
{
	Nv12View view;
	view.data[0] = planeRow(frame->data[0], frame->linesize[0], y) + x;
	view.data[1] = planeRow(frame->data[1], frame->linesize[1], y / 2) + x;
	view.linesize[0] = frame->linesize[0];
	view.linesize[1] = frame->linesize[1];
	view.width = width;
	view.height = height;
	return view;
}

Nv12View nv12FieldView(const Nv12View &view, int field)
{
	Nv12View fieldView;
	for (int plane = 0; plane < 2; ++plane) {
		fieldView.data[plane] = view.data[plane] + (field ? view.linesize[plane] : 0);
		fieldView.linesize[plane] = 2 * view.linesize[plane];
	}
	fieldView.width = view.width;
	fieldView.height = (view.height + 1 - field) / 2;
	return fieldView;
}

bool copyNv12View(const Nv12View &source, const Nv12View &target)
{
	if (!source.data[0] || !source.data[1] || !target.data[0] || !target.data[1] || source.width < 1 ||
	    source.height < 1 || source.width != target.width || source.height != target.height)
		return false;
	for (int row = 0; row < source.height; ++row)
		std::memcpy(planeRow(target.data[0], target.linesize[0], row),
			    planeRow(source.data[0], source.linesize[0], row), source.width);
	// One interleaved chroma pair covers 2x2 pixels, a last half-covered one
	// included.
	const int chromaBytes = (source.width + 1) / 2 * 2;
	for (int row = 0; row < (source.height + 1) / 2; ++row)
		std::memcpy(planeRow(target.data[1], target.linesize[1], row),
			    planeRow(source.data[1], source.linesize[1], row), chromaBytes);
	return true;
}

int allocateNv12Buffer(AVFrame *frame, int width, int height)
{
	frame->format = AV_PIX_FMT_NV12;
	frame->width = width;
	frame->height = height;
	return av_frame_get_buffer(frame, 32);
}

} // namespace tiloran
