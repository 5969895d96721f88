#include "compose/QuadCompositor.h"

#include "media/FfmpegSupport.h"

#include "common/ConsoleLine.h"

namespace tiloran {

namespace {

constexpr int gridColumns = 2;
constexpr int gridRows = 2;
constexpr int slotCount = gridColumns * gridRows;

} // namespace

struct QuadCompositor::State {
	int32_t tileWidth = 0;
	int32_t tileHeight = 0;
	int32_t outputWidth = 0;
	int32_t outputHeight = 0;
	int32_t masterSlot = 0;
	std::array<bool, slotCount> slotEmpty = {};
	std::array<bool, slotCount> slotFilled = {};
	// The picture begun; the caller's.
	AVFrame *picture = nullptr;
	bool initialized = false;

	Nv12View view(int32_t slot) const
	{
		return nv12TileView(picture, tileWidth * (slot % gridColumns), tileHeight * (slot / gridColumns),
				    tileWidth, tileHeight);
	}
	bool checkSlot(int32_t slot, std::string &message) const;
};

QuadCompositor::QuadCompositor()
	: state_(std::make_unique<State>())
{
}

QuadCompositor::~QuadCompositor() = default;

bool QuadCompositor::init(int32_t tileWidth, int32_t tileHeight, const std::array<QuadrantConfig, 4> &quadrants,
			    std::string &message)
{
	State &state = *state_;
	if (state.initialized) {
		message = "FilterCompositor is already initialized";
		return false;
	}
	if (tileWidth < 1 || tileHeight < 1) {
		message = "Invalid quadrant dimensions";
		return false;
	}
	// A tile at an odd position would share its chroma pairs with its
	// neighbour; no capture mode has an odd size.
	if (tileWidth % 2 != 0 || tileHeight % 2 != 0) {
		message = "Quadrant dimensions must be even";
		return false;
	}
	int32_t masterSlot = -1;
	for (int slot = 0; slot < slotCount; ++slot) {
		if (!quadrants[slot].empty) {
			masterSlot = slot;
			break;
		}
	}
	if (masterSlot < 0) {
		message = "FilterCompositor requires at least one real source";
		return false;
	}

	state.tileWidth = tileWidth;
	state.tileHeight = tileHeight;
	state.masterSlot = masterSlot;
	state.outputWidth = tileWidth * gridColumns;
	state.outputHeight = tileHeight * gridRows;
	for (int slot = 0; slot < slotCount; ++slot)
		state.slotEmpty[slot] = quadrants[slot].empty;
	state.slotFilled = {};
	state.initialized = true;
	printLine("[FilterCompositor] Manual NV12 layout " + std::to_string(gridColumns) + "x" +
		  std::to_string(gridRows) + " output=" + std::to_string(state.outputWidth) + "x" +
		  std::to_string(state.outputHeight) + " tile=" + std::to_string(tileWidth) + "x" +
		  std::to_string(tileHeight) + " master_slot=" + std::to_string(masterSlot));
	return true;
}

int32_t QuadCompositor::masterSlot() const
{
	return state_->masterSlot;
}

bool QuadCompositor::begin(AVFrame *outputFrame, std::string &message)
{
	State &state = *state_;
	if (!state.initialized) {
		message = "FilterCompositor is not initialized";
		return false;
	}
	if (!outputFrame) {
		message = "Output frame is null";
		return false;
	}
	// A buffer shared with someone else (the encoder) is not ours to write.
	if (!outputFrame->data[0] || outputFrame->width != state.outputWidth ||
	    outputFrame->height != state.outputHeight || outputFrame->format != AV_PIX_FMT_NV12 ||
	    !av_frame_is_writable(outputFrame)) {
		message = "Output frame is not a writable NV12 picture of the output size";
		return false;
	}
	state.picture = outputFrame;
	state.slotFilled = {};
	return true;
}

bool QuadCompositor::State::checkSlot(int32_t slot, std::string &message) const
{
	if (!initialized) {
		message = "FilterCompositor is not initialized";
		return false;
	}
	if (static_cast<uint32_t>(slot) >= static_cast<uint32_t>(slotCount)) {
		message = "Invalid quadrant index: " + std::to_string(slot);
		return false;
	}
	if (!picture) {
		message = "FilterCompositor has no picture begun";
		return false;
	}
	return true;
}

bool QuadCompositor::slotView(int32_t slot, Nv12View &view, std::string &message)
{
	State &state = *state_;
	if (!state.checkSlot(slot, message))
		return false;
	view = state.view(slot);
	state.slotFilled[slot] = true;
	return true;
}

bool QuadCompositor::pushFrame(int32_t slot, const AVFrame *frame, std::string &message)
{
	State &state = *state_;
	if (!state.checkSlot(slot, message))
		return false;
	if (!frame) {
		message = "No frame to push for quadrant " + std::to_string(slot);
		return false;
	}
	if (frame->format != AV_PIX_FMT_NV12) {
		message = "Compositor slot expects NV12 frame";
		return false;
	}
	if (frame->width != state.tileWidth || frame->height != state.tileHeight) {
		message = "Compositor slot frame size does not match tile size";
		return false;
	}
	// The view only reads through its pointers.
	if (!copyNv12View(nv12ViewOf(const_cast<AVFrame *>(frame)), state.view(slot))) {
		message = "Failed to copy frame into compositor slot " + std::to_string(slot);
		return false;
	}
	state.slotFilled[slot] = true;
	return true;
}

bool QuadCompositor::compose(int32_t masterSlot, const AVFrame *master, std::string &message)
{
	State &state = *state_;
	if (!state.checkSlot(masterSlot, message))
		return false;
	if (state.slotEmpty[masterSlot]) {
		message = "Master quadrant " + std::to_string(masterSlot) + " has no source";
		return false;
	}
	if (!master) {
		message = "Master reference frame is not available";
		return false;
	}
	for (int slot = 0; slot < slotCount; ++slot) {
		if (!state.slotEmpty[slot] && !state.slotFilled[slot]) {
			message = "FilterCompositor does not have all 2x2 slot frames";
			return false;
		}
	}
	const Nv12View masterTile = state.view(masterSlot);
	for (int slot = 0; slot < slotCount; ++slot) {
		if (state.slotEmpty[slot] && !copyNv12View(masterTile, state.view(slot))) {
			message = "Failed to copy master tile into empty quadrant " + std::to_string(slot);
			return false;
		}
	}
	const int result = replaceFrameProps(state.picture, master);
	if (result < 0) {
		message = "Failed to copy master frame properties to composed output: " + ffmpegErrorText(result);
		return false;
	}
	state.picture = nullptr;
	state.slotFilled = {};
	return true;
}

} // namespace tiloran
