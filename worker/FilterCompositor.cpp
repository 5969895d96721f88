#include "FilterCompositor.h"

#include "FfmpegSupport.h"
#include "Nv12Layout.h"

#include "common/ConsoleLine.h"

namespace tiloran {

namespace {

constexpr int gridColumns = 2;
constexpr int gridRows = 2;
constexpr int slotCount = gridColumns * gridRows;
constexpr int bufferAlignment = 32;

// Gives an allocated frame an NV12 buffer of the given size.
bool allocateNv12Buffer(AVFrame *frame, int width, int height, std::string &message)
{
	frame->format = AV_PIX_FMT_NV12;
	frame->width = width;
	frame->height = height;
	const int result = av_frame_get_buffer(frame, bufferAlignment);
	if (result < 0) {
		message = "Failed to allocate compositor frame buffer: " + ffmpegErrorText(result);
		return false;
	}
	return true;
}

} // namespace

struct FilterCompositor::State {
	int32_t tileWidth = 0;
	int32_t tileHeight = 0;
	int32_t outputWidth = 0;
	int32_t outputHeight = 0;
	int32_t masterSlot = 0;
	std::array<FrameHolder, slotCount> slotFrames;
	std::array<bool, slotCount> slotFilled = {};
	int32_t filledCount = 0;
	// Holds only the properties of the master slot's last tile: its pixels
	// already sit in the slot frame, and the picture takes nothing else from it.
	FrameHolder masterReference;
	bool initialized = false;
};

FilterCompositor::FilterCompositor()
	: state_(std::make_unique<State>())
{
}

FilterCompositor::~FilterCompositor() = default;

bool FilterCompositor::init(int32_t tileWidth, int32_t tileHeight, const std::array<QuadrantConfig, 4> &quadrants,
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

	for (FrameHolder &slotFrame : state.slotFrames) {
		slotFrame = allocateFrame();
		if (!slotFrame) {
			message = "Failed to allocate slot frame";
			return false;
		}
		if (!allocateNv12Buffer(slotFrame.get(), tileWidth, tileHeight, message))
			return false;
	}
	state.masterReference = allocateFrame();
	if (!state.masterReference) {
		message = "Failed to allocate master reference frame";
		return false;
	}
	state.masterReference->format = AV_PIX_FMT_NV12;
	state.masterReference->width = tileWidth;
	state.masterReference->height = tileHeight;

	state.slotFilled = {};
	state.filledCount = 0;
	state.initialized = true;
	printLine("[FilterCompositor] Manual NV12 layout " + std::to_string(gridColumns) + "x" +
		  std::to_string(gridRows) + " output=" + std::to_string(state.outputWidth) + "x" +
		  std::to_string(state.outputHeight) + " tile=" + std::to_string(tileWidth) + "x" +
		  std::to_string(tileHeight) + " master_slot=" + std::to_string(masterSlot));
	return true;
}

bool FilterCompositor::pushFrame(int32_t slot, const AVFrame *frame, std::string &message)
{
	State &state = *state_;
	if (!state.initialized) {
		message = "FilterCompositor is not initialized";
		return false;
	}
	if (static_cast<uint32_t>(slot) >= static_cast<uint32_t>(slotCount)) {
		message = "Invalid quadrant index: " + std::to_string(slot);
		return false;
	}
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

	AVFrame *slotFrame = state.slotFrames[slot].get();
	int result = av_frame_make_writable(slotFrame);
	if (result < 0) {
		message = "Failed to make slot frame writable: " + ffmpegErrorText(result);
		return false;
	}
	result = av_frame_copy(slotFrame, frame);
	if (result < 0) {
		message = "Failed to copy frame into compositor slot: " + ffmpegErrorText(result);
		return false;
	}
	result = replaceFrameProps(slotFrame, frame);
	if (result < 0) {
		message = "Failed to copy frame props into compositor slot: " + ffmpegErrorText(result);
		return false;
	}

	if (slot == state.masterSlot) {
		result = replaceFrameProps(state.masterReference.get(), frame);
		if (result < 0) {
			message = "Failed to copy master reference frame props: " + ffmpegErrorText(result);
			return false;
		}
	}

	if (!state.slotFilled[slot]) {
		state.slotFilled[slot] = true;
		++state.filledCount;
	}
	return true;
}

bool FilterCompositor::compose(AVFrame *outputFrame, std::string &message)
{
	State &state = *state_;
	if (!state.initialized) {
		message = "FilterCompositor is not initialized";
		return false;
	}
	if (state.filledCount < slotCount) {
		message = "FilterCompositor does not have all 2x2 slot frames";
		return false;
	}
	if (!outputFrame) {
		message = "Output frame is null";
		return false;
	}
	if (!state.masterReference) {
		message = "Master reference frame is not available";
		return false;
	}

	// The tiles are laid out straight into the caller's frame: each byte of
	// the picture is written once. A buffer shared with someone else is not
	// ours to overwrite, and its old content is of no use, so it is replaced.
	if (!outputFrame->data[0] || outputFrame->width != state.outputWidth ||
	    outputFrame->height != state.outputHeight || outputFrame->format != AV_PIX_FMT_NV12 ||
	    !av_frame_is_writable(outputFrame)) {
		av_frame_unref(outputFrame);
		if (!allocateNv12Buffer(outputFrame, state.outputWidth, state.outputHeight, message))
			return false;
	}

	Nv12LayoutRequest request;
	request.columns = gridColumns;
	request.rows = gridRows;
	request.tileWidth = state.tileWidth;
	request.tileHeight = state.tileHeight;
	for (int slot = 0; slot < slotCount; ++slot)
		request.slotFrames[slot] = state.slotFrames[slot].get();
	request.masterFrame = state.masterReference.get();
	request.targetFrame = outputFrame;
	if (!layoutNv12Tiles(request, message))
		return false;

	state.slotFilled = {};
	state.filledCount = 0;
	return true;
}

} // namespace tiloran
