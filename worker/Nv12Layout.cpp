#include "Nv12Layout.h"

#include "FfmpegSupport.h"

#include <cstdint>
#include <cstring>

namespace tiloran {

namespace {

uint8_t *planeRow(uint8_t *plane, int lineSize, int row)
{
	return plane + static_cast<ptrdiff_t>(row) * lineSize;
}

} // namespace

bool blitNv12Tile(const AVFrame *source, AVFrame *target, int x, int y, int width, int height,
		  bool fieldMode, int firstFieldParity)
{
	if (!source || !target || source->format != AV_PIX_FMT_NV12 || target->format != AV_PIX_FMT_NV12)
		return false;
	if (!source->data[0] || !source->data[1] || !target->data[0] || !target->data[1])
		return false;
	if (x < 0 || y < 0 || width < 1 || height < 1 || source->width < width || source->height < height ||
	    target->width - x < width || target->height - y < height)
		return false;

	uint8_t *lumaTarget = planeRow(target->data[0], target->linesize[0], y) + x;
	const auto copyLumaRow = [&](int row) {
		std::memcpy(planeRow(lumaTarget, target->linesize[0], row),
			    planeRow(source->data[0], source->linesize[0], row), width);
	};
	if (fieldMode) {
		const int secondFieldParity = 1 - firstFieldParity;
		for (int row = firstFieldParity; row < height; row += 2)
			copyLumaRow(row);
		for (int row = secondFieldParity; row < height; row += 2)
			copyLumaRow(row);
	} else {
		for (int row = 0; row < height; ++row)
			copyLumaRow(row);
	}

	// One interleaved chroma pair covers 2x2 pixels. A tile of odd size has a
	// last half-covered pair that must still be copied, and a tile at an odd
	// position shares its first pair with its neighbour; tiles are laid out in
	// slot order, so the later tile's chroma wins there and no pair stays unwritten.
	const int chromaRows = (height + 1) / 2;
	const int chromaBytes = (width + 1) / 2 * 2;
	uint8_t *chromaTarget = planeRow(target->data[1], target->linesize[1], y / 2) + x / 2 * 2;
	for (int row = 0; row < chromaRows; ++row)
		std::memcpy(planeRow(chromaTarget, target->linesize[1], row),
			    planeRow(source->data[1], source->linesize[1], row), chromaBytes);
	return true;
}

bool layoutNv12Tiles(const Nv12LayoutRequest &request, std::string &message)
{
	if (!request.masterFrame) {
		message = "Master frame is required for layout composition";
		return false;
	}
	AVFrame *target = request.targetFrame;
	if (!target) {
		message = "Output frame is null";
		return false;
	}
	const int64_t slotCount = static_cast<int64_t>(request.columns) * request.rows;
	if (slotCount > maximumLayoutSlots) {
		message = "NV12 compositor slot count exceeds maximum";
		return false;
	}
	if (request.tileWidth < 1 || request.tileHeight < 1) {
		message = "Invalid tile size for layout composition";
		return false;
	}
	if (target->format != AV_PIX_FMT_NV12) {
		message = "Output frame must be NV12";
		return false;
	}
	if (request.columns < 1 || request.rows < 1 ||
	    target->width != static_cast<int64_t>(request.tileWidth) * request.columns ||
	    target->height != static_cast<int64_t>(request.tileHeight) * request.rows) {
		message = "Output frame size does not match layout grid size";
		return false;
	}

	const bool fieldMode = frameIsInterlaced(request.masterFrame);
	const int firstFieldParity = frameIsTopFieldFirst(request.masterFrame) ? 0 : 1;

	for (int slot = 0; slot < slotCount; ++slot) {
		const AVFrame *tile = request.slotFrames[slot];
		if (!tile) {
			message = "Missing frame for layout slot " + std::to_string(slot);
			return false;
		}
		if (tile->format != AV_PIX_FMT_NV12) {
			message = "Layout slot frame is not NV12";
			return false;
		}
		if (tile->width != request.tileWidth || tile->height != request.tileHeight) {
			message = "Layout slot frame size does not match tile size";
			return false;
		}
		const int x = request.tileWidth * (slot % request.columns);
		const int y = request.tileHeight * (slot / request.columns);
		if (!blitNv12Tile(tile, target, x, y, request.tileWidth, request.tileHeight, fieldMode,
				  firstFieldParity)) {
			message = "Failed to blit NV12 tile at slot " + std::to_string(slot);
			return false;
		}
	}

	if (replaceFrameProps(target, request.masterFrame) < 0) {
		message = "Failed to copy master frame properties to composed output";
		return false;
	}
	return true;
}

} // namespace tiloran
