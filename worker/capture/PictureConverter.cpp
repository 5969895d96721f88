#include "capture/PictureConverter.h"

#include "capture/Libyuv.h"
#include "media/FfmpegSupport.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

namespace tiloran {

namespace {

enum class Path { Libyuv, SwscaleDirect, SwscaleBilinear };

// A swscale context between two formats at the same size.
ScaleContextHolder createContext(int width, int height, AVPixelFormat from, AVPixelFormat to)
{
	ScaleContextHolder context(sws_alloc_context());
	if (!context)
		return nullptr;
	SwsContext *raw = context.get();
	const bool configured = av_opt_set_int(raw, "srcw", width, 0) >= 0 && av_opt_set_int(raw, "srch", height, 0) >= 0 &&
				av_opt_set_int(raw, "src_format", from, 0) >= 0 &&
				av_opt_set_int(raw, "dstw", width, 0) >= 0 && av_opt_set_int(raw, "dsth", height, 0) >= 0 &&
				av_opt_set_int(raw, "dst_format", to, 0) >= 0 &&
				av_opt_set_int(raw, "sws_flags", SWS_BILINEAR, 0) >= 0;
	if (!configured || sws_init_context(raw, nullptr, nullptr) < 0)
		return nullptr;
	return context;
}

// Planar 4:2:0 pictures between swscale's two direct steps.
struct PlanarBuffer {
	FfmpegMemoryHolder memory;
	uint8_t *data[4] = {};
	int linesize[4] = {};
};

} // namespace

// The contexts of one picture size: the whole picture's, or a field's.
struct ConversionContexts {
	ScaleContextHolder first;
	ScaleContextHolder second;
	PlanarBuffer planar;
};

struct PictureConverter::State {
	Path path = Path::SwscaleBilinear;
	int32_t width = 0;
	int32_t height = 0;
	AVPixelFormat sourceFormat = AV_PIX_FMT_NONE;
	// Indexed by whether they convert fields; made with the first picture
	// that needs them.
	ConversionContexts contexts[2];

	bool prepare(ConversionContexts &target, int height, std::string &message);
	bool convertOne(ConversionContexts &target, const uint8_t *const source[4], const int sourceStride[4],
			int height, const Nv12View &view, std::string &message);
};

PictureConverter::PictureConverter() : state_(std::make_unique<State>()) {}
PictureConverter::~PictureConverter() = default;
PictureConverter::PictureConverter(PictureConverter &&) noexcept = default;
PictureConverter &PictureConverter::operator=(PictureConverter &&) noexcept = default;

bool PictureConverter::hasLibyuv()
{
	return libyuvAvailable();
}

bool PictureConverter::open(int32_t width, int32_t height, AVPixelFormat sourceFormat, std::string &message,
			    bool useLibyuv)
{
	if (width < 2 || height < 2 || sourceFormat == AV_PIX_FMT_NONE) {
		message = "Invalid picture size or format for conversion to NV12";
		return false;
	}
	State &state = *state_;
	state = State();
	state.width = width;
	state.height = height;
	state.sourceFormat = sourceFormat;
	if (sourceFormat == AV_PIX_FMT_UYVY422)
		state.path = useLibyuv && libyuvAvailable() ? Path::Libyuv : Path::SwscaleDirect;
	else
		state.path = Path::SwscaleBilinear;
	// A picture of this size converts, or the input is refused now rather
	// than with its first picture.
	return state.path == Path::Libyuv || state.prepare(state.contexts[0], height, message);
}

const char *PictureConverter::path() const
{
	switch (state_->path) {
	case Path::Libyuv:
		return "libyuv";
	case Path::SwscaleDirect:
		return "swscale direct";
	case Path::SwscaleBilinear:
		break;
	}
	return "swscale bilinear";
}

bool PictureConverter::State::prepare(ConversionContexts &target, int pictureHeight, std::string &message)
{
	if (target.first)
		return true;
	if (path == Path::SwscaleDirect) {
		// Both steps are swscale's unscaled special cases: UYVY to planar
		// averages the two lines of each chroma sample, planar to NV12
		// interleaves.
		target.first = createContext(width, pictureHeight, sourceFormat, AV_PIX_FMT_YUV420P);
		target.second = createContext(width, pictureHeight, AV_PIX_FMT_YUV420P, AV_PIX_FMT_NV12);
		uint8_t *memory = nullptr;
		if (target.first && target.second &&
		    av_image_alloc(target.planar.data, target.planar.linesize, width, pictureHeight, AV_PIX_FMT_YUV420P,
				   32) >= 0) {
			target.planar.memory.reset(target.planar.data[0]);
			memory = target.planar.data[0];
		}
		if (!memory) {
			target = ConversionContexts();
			message = "Failed to create source conversion context to worker pixel format";
			return false;
		}
		return true;
	}
	target.first = createContext(width, pictureHeight, sourceFormat, AV_PIX_FMT_NV12);
	if (!target.first) {
		message = "Failed to create source conversion context to worker pixel format";
		return false;
	}
	return true;
}

bool PictureConverter::State::convertOne(ConversionContexts &target, const uint8_t *const source[4],
					 const int sourceStride[4], int pictureHeight, const Nv12View &view,
					 std::string &message)
{
	if (path == Path::Libyuv) {
		if (!libyuvUyvyToNv12(source[0], sourceStride[0], view.data[0], view.linesize[0], view.data[1],
				      view.linesize[1], width, pictureHeight)) {
			message = "Failed to convert source picture to NV12";
			return false;
		}
		return true;
	}
	if (!prepare(target, pictureHeight, message))
		return false;
	uint8_t *const destination[4] = { view.data[0], view.data[1], nullptr, nullptr };
	const int destinationStride[4] = { view.linesize[0], view.linesize[1], 0, 0 };
	int result;
	if (path == Path::SwscaleDirect) {
		result = sws_scale(target.first.get(), source, sourceStride, 0, pictureHeight, target.planar.data,
				   target.planar.linesize);
		if (result >= 0)
			result = sws_scale(target.second.get(), target.planar.data, target.planar.linesize, 0,
					   pictureHeight, destination, destinationStride);
	} else {
		result = sws_scale(target.first.get(), source, sourceStride, 0, pictureHeight, destination,
				   destinationStride);
	}
	if (result < 0) {
		message = "Failed to convert source picture to NV12: " + ffmpegErrorText(result);
		return false;
	}
	return true;
}

bool PictureConverter::convert(const AVFrame *picture, const Nv12View &target, std::string &message)
{
	State &state = *state_;
	if (!picture || picture->format != state.sourceFormat || picture->width != state.width ||
	    picture->height != state.height || target.width != state.width || target.height != state.height ||
	    !target.data[0] || !target.data[1]) {
		message = "Source picture does not fit its conversion to NV12";
		return false;
	}
	if (!frameIsInterlaced(picture) || state.height % 4 != 0) {
		return state.convertOne(state.contexts[0], picture->data, picture->linesize, state.height, target,
					message);
	}
	for (int field = 0; field < 2; ++field) {
		const uint8_t *source[4] = {};
		int sourceStride[4] = {};
		for (int plane = 0; plane < 4 && picture->data[plane]; ++plane) {
			source[plane] = picture->data[plane] + (field ? picture->linesize[plane] : 0);
			sourceStride[plane] = 2 * picture->linesize[plane];
		}
		if (!state.convertOne(state.contexts[1], source, sourceStride, state.height / 2,
				      nv12FieldView(target, field), message))
			return false;
	}
	return true;
}

} // namespace tiloran
