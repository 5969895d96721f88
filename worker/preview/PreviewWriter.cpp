#include "preview/PreviewWriter.h"

#include "preview/platform/FileReplacement.h"

#include "common/ConsoleLine.h"
#include "common/PrintableText.h"

#include <filesystem>
#include <fstream>
#include <system_error>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

namespace tiloran {

namespace {

constexpr size_t maximumPendingImages = 2;
// The pictures waiting, plus the one being converted.
constexpr size_t maximumSpareBuffers = maximumPendingImages + 1;
constexpr const char *previewFileName = "preview.jpg";
constexpr int jpegGlobalQuality = 236;
// A failure repeated with every picture is summarised at most this often.
constexpr std::chrono::minutes saveFailureReportInterval{ 1 };

bool copyFrameData(const AVFrame *frame, uint8_t *buffer, int bufferSize, int32_t pixelFormat, std::string &message)
{
	if (!frame || !buffer) {
		message = "Invalid source frame or destination buffer";
		return false;
	}
	const int result = av_image_copy_to_buffer(buffer, bufferSize, frame->data, frame->linesize,
						   static_cast<AVPixelFormat>(pixelFormat), frame->width,
						   frame->height, 1);
	if (result < 0) {
		message = "Failed to copy frame data: " + ffmpegErrorText(result);
		return false;
	}
	return true;
}

ScaleContextHolder createConverter(int width, int height, int32_t pixelFormat)
{
	ScaleContextHolder converter(sws_alloc_context());
	if (!converter)
		return nullptr;
	SwsContext *context = converter.get();
	const bool configured = av_opt_set_int(context, "srcw", width, 0) >= 0 &&
				av_opt_set_int(context, "srch", height, 0) >= 0 &&
				av_opt_set_int(context, "src_format", pixelFormat, 0) >= 0 &&
				av_opt_set_int(context, "src_range", 0, 0) >= 0 &&
				av_opt_set_int(context, "dstw", width, 0) >= 0 &&
				av_opt_set_int(context, "dsth", height, 0) >= 0 &&
				av_opt_set_int(context, "dst_format", AV_PIX_FMT_YUV420P, 0) >= 0 &&
				av_opt_set_int(context, "dst_range", 1, 0) >= 0 &&
				av_opt_set_int(context, "sws_flags", SWS_BILINEAR, 0) >= 0;
	if (!configured || sws_init_context(context, nullptr, nullptr) < 0)
		return nullptr;
	return converter;
}

void removeIgnoringErrors(const std::string &path)
{
	std::error_code ignored;
	std::filesystem::remove(path, ignored);
}

} // namespace

PreviewWriter::PreviewWriter() : saveFailures_(saveFailureReportInterval) {}

PreviewWriter::~PreviewWriter()
{
	if (running_) {
		stopRequested_ = true;
		{
			// Taking the lock orders the request before a waiter's check.
			std::lock_guard<std::mutex> lock(mutex_);
		}
		condition_.notify_all();
		writerThread_.join();
		running_ = false;
		printLine("[PreviewWriter] Stopped");
	}
	std::lock_guard<std::mutex> lock(mutex_);
	pendingImages_.clear();
}

bool PreviewWriter::init(const std::string &outputPath, int32_t pixelFormat, std::string &message)
{
	// The writer thread reads both while it runs.
	if (running_) {
		message = "PreviewWriter is already running";
		return false;
	}
	outputPath_ = outputPath;
	pixelFormat_ = pixelFormat;
	if (pixelFormat == AV_PIX_FMT_NONE) {
		message = "Invalid pixel format: AV_PIX_FMT_NONE";
		return false;
	}
	std::error_code error;
	std::filesystem::create_directories(outputPath, error);
	if (error) {
		message = "Failed to create preview directory: " + error.message();
		return false;
	}
	return true;
}

bool PreviewWriter::start()
{
	if (running_)
		return true;
	if (pixelFormat_ == AV_PIX_FMT_NONE) {
		printErrorLine("[PreviewWriter] Cannot start: pixel format not set");
		return false;
	}
	stopRequested_ = false;
	running_ = true;
	try {
		writerThread_ = std::thread(&PreviewWriter::writerLoop, this);
	} catch (const std::system_error &error) {
		running_ = false;
		printErrorLine(std::string("[PreviewWriter] Failed to start thread: ") + error.what());
		return false;
	}
	printLine("[PreviewWriter] Started, output path: " + printableText(outputPath_) +
		  ", pixel format: " + std::to_string(pixelFormat_));
	return true;
}

void PreviewWriter::submitFrame(const AVFrame *frame)
{
	if (!running_ || stopRequested_)
		return;
	if (!frame) {
		printErrorLine("[PreviewWriter] Failed to copy frame data: Invalid source frame or destination buffer");
		return;
	}
	// Packing a frame of another layout with this one's plane sizes would
	// read past its planes.
	if (frame->format != pixelFormat_) {
		printErrorLine("[PreviewWriter] Frame pixel format " + std::to_string(frame->format) +
			       " does not match writer pixel format " + std::to_string(pixelFormat_));
		return;
	}
	const int size = av_image_get_buffer_size(static_cast<AVPixelFormat>(pixelFormat_), frame->width,
						  frame->height, 1);
	if (size < 1) {
		printErrorLine("[PreviewWriter] Failed to calculate buffer size for pixel format " +
			       std::to_string(pixelFormat_));
		return;
	}
	PreviewImage image;
	image.buffer = takeSpareBuffer(size);
	image.size = size;
	if (!image.buffer) {
		printErrorLine("[PreviewWriter] Failed to allocate frame buffer");
		return;
	}
	std::string message;
	if (!copyFrameData(frame, image.buffer.get(), size, pixelFormat_, message)) {
		printErrorLine("[PreviewWriter] Failed to copy frame data: " + message);
		keepSpareBuffer(image);
		return;
	}
	image.width = frame->width;
	image.height = frame->height;
	{
		std::lock_guard<std::mutex> lock(mutex_);
		while (pendingImages_.size() >= maximumPendingImages) {
			PreviewImage dropped = std::move(pendingImages_.front());
			pendingImages_.pop_front();
			if (dropped.size == spareBufferSize_ && spareBuffers_.size() < maximumSpareBuffers)
				spareBuffers_.push_back(std::move(dropped.buffer));
		}
		pendingImages_.push_back(std::move(image));
	}
	condition_.notify_one();
}

// Every picture would otherwise allocate and give back a buffer the size of
// the output picture, which the allocator does not always hand out again:
// the worker grew by a picture's size with each of the first previews.
FfmpegMemoryHolder PreviewWriter::takeSpareBuffer(int32_t size)
{
	{
		std::lock_guard<std::mutex> lock(mutex_);
		if (size != spareBufferSize_) {
			spareBuffers_.clear();
			spareBufferSize_ = size;
		}
		if (!spareBuffers_.empty()) {
			FfmpegMemoryHolder buffer = std::move(spareBuffers_.back());
			spareBuffers_.pop_back();
			return buffer;
		}
	}
	return FfmpegMemoryHolder(static_cast<uint8_t *>(av_malloc(size)));
}

void PreviewWriter::keepSpareBuffer(PreviewImage &image)
{
	std::lock_guard<std::mutex> lock(mutex_);
	if (image.buffer && image.size == spareBufferSize_ && spareBuffers_.size() < maximumSpareBuffers)
		spareBuffers_.push_back(std::move(image.buffer));
	image.buffer.reset();
}

void PreviewWriter::writerLoop()
{
	if (stopRequested_)
		return;
	const std::string targetPath = (std::filesystem::path(outputPath_) / previewFileName).string();
	for (;;) {
		PreviewImage image;
		{
			std::unique_lock<std::mutex> lock(mutex_);
			condition_.wait(lock, [this] { return !pendingImages_.empty() || stopRequested_; });
			if (stopRequested_ && pendingImages_.empty())
				return;
			image = std::move(pendingImages_.front());
			pendingImages_.pop_front();
		}
		std::string message;
		const bool saved = savePreview(std::move(image), targetPath, message);
		reportSaveResult(saved, message);
		if (stopRequested_)
			return;
	}
}

// A folder that cannot take the picture (read-only, full, gone) fails the
// same way for every preview picture for as long as it lasts.
void PreviewWriter::reportSaveResult(bool saved, const std::string &message)
{
	if (saved) {
		if (const std::optional<std::uint64_t> failures = saveFailures_.succeeded())
			printLine("[PreviewWriter] Preview saved again after " + std::to_string(*failures) +
				  (*failures == 1 ? " failed attempt" : " failed attempts"));
		return;
	}
	if (const std::optional<std::string> report =
		    saveFailures_.failed(message, FailureReportLimiter::Clock::now()))
		printErrorLine("[PreviewWriter] Failed to save preview: " + printableText(*report));
}

// The directory was made by init, but a cleaner of the temporary directory
// or an operator may have removed it since; the server keeps looking for the
// preview there, so it is put back.
bool PreviewWriter::ensurePreviewDirectory(std::string &message)
{
	std::error_code error;
	if (std::filesystem::is_directory(outputPath_, error))
		return true;
	std::filesystem::create_directories(outputPath_, error);
	if (error) {
		message = "Failed to create preview directory: " + error.message();
		return false;
	}
	printLine("[PreviewWriter] Preview directory was missing, created it again: " + printableText(outputPath_));
	return true;
}

bool PreviewWriter::convertPicture(const PreviewImage &image, std::string &message)
{
	FrameHolder source = allocateFrame();
	if (!source) {
		message = "Failed to allocate source frame";
		return false;
	}
	source->width = image.width;
	source->height = image.height;
	source->format = pixelFormat_;
	int result = av_image_fill_arrays(source->data, source->linesize, image.buffer.get(),
					  static_cast<AVPixelFormat>(pixelFormat_), image.width, image.height, 1);
	if (result < 0) {
		message = "Failed to fill source frame arrays: " + ffmpegErrorText(result);
		return false;
	}

	if (!convertedPicture_ || convertedPicture_->width != image.width ||
	    convertedPicture_->height != image.height) {
		converter_.reset();
		convertedPicture_ = allocateFrame();
		if (!convertedPicture_) {
			message = "Failed to allocate YUV frame";
			return false;
		}
		convertedPicture_->width = image.width;
		convertedPicture_->height = image.height;
		convertedPicture_->format = AV_PIX_FMT_YUV420P;
		convertedPicture_->color_range = AVCOL_RANGE_JPEG;
		result = av_frame_get_buffer(convertedPicture_.get(), 32);
		if (result < 0) {
			convertedPicture_.reset();
			message = "Failed to allocate YUV frame buffer: " + ffmpegErrorText(result);
			return false;
		}
	}

	// The worker's pictures are video range and the JPEG is full range:
	// black and white must be stretched or the preview looks washed out.
	// The ranges have to be known before the context is set up, since an
	// unscaled conversion between equal ranges skips that step.
	if (!converter_)
		converter_ = createConverter(image.width, image.height, pixelFormat_);
	if (!converter_) {
		message = "Failed to create conversion context from format " + std::to_string(pixelFormat_) +
			  " to YUV420P";
		return false;
	}
	// The encoder only reads the converted picture, so writing it again for
	// the next picture never changes one in use.
	result = av_frame_make_writable(convertedPicture_.get());
	if (result < 0) {
		message = "Failed to allocate YUV frame buffer: " + ffmpegErrorText(result);
		return false;
	}
	sws_scale(converter_.get(), source->data, source->linesize, 0, image.height,
		  convertedPicture_->data, convertedPicture_->linesize);
	return true;
}

bool PreviewWriter::savePreview(PreviewImage image, const std::string &targetPath, std::string &message)
{
	const std::string temporaryPath = targetPath + ".tmp";

	const bool converted = convertPicture(image, message);
	keepSpareBuffer(image);
	if (!converted)
		return false;
	const AVFrame *yuv = convertedPicture_.get();

	// A fresh encoder for each picture: one kept open carries its rate
	// control from picture to picture, and writes other bytes (of another
	// size) for the same picture than a fresh one does.
	const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
	if (!codec) {
		message = "MJPEG encoder not found";
		return false;
	}
	CodecContextHolder encoder(avcodec_alloc_context3(codec));
	if (!encoder) {
		message = "Failed to allocate MJPEG encoder context";
		return false;
	}
	encoder->width = image.width;
	encoder->height = image.height;
	encoder->pix_fmt = AV_PIX_FMT_YUV420P;
	encoder->color_range = AVCOL_RANGE_JPEG;
	encoder->time_base = AVRational{1, 30};
	encoder->global_quality = jpegGlobalQuality;
	int result = avcodec_open2(encoder.get(), codec, nullptr);
	if (result < 0) {
		message = "Failed to open MJPEG encoder: " + ffmpegErrorText(result);
		return false;
	}

	result = avcodec_send_frame(encoder.get(), yuv);
	if (result < 0) {
		message = "Failed to send frame to encoder: " + ffmpegErrorText(result);
		return false;
	}
	PacketHolder packet = allocatePacket();
	if (!packet) {
		message = "Failed to receive packet from encoder: " + ffmpegErrorText(AVERROR(ENOMEM));
		return false;
	}
	result = avcodec_receive_packet(encoder.get(), packet.get());
	if (result < 0) {
		message = "Failed to receive packet from encoder: " + ffmpegErrorText(result);
		return false;
	}

	if (!ensurePreviewDirectory(message))
		return false;
	std::ofstream file(temporaryPath, std::ios::binary | std::ios::trunc);
	if (!file.is_open()) {
		message = "Failed to open output file: " + temporaryPath;
		return false;
	}
	file.write(reinterpret_cast<const char *>(packet->data), packet->size);
	file.close();
	if (file.fail()) {
		removeIgnoringErrors(temporaryPath);
		message = "Failed to write output file: " + temporaryPath;
		return false;
	}

	if (!platform::replaceFileAtomically(temporaryPath, targetPath)) {
		removeIgnoringErrors(temporaryPath);
		message = "Failed to replace preview file atomically";
		return false;
	}
	return true;
}

} // namespace tiloran
