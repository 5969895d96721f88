#pragma once

#include "media/FfmpegSupport.h"
#include "preview/FailureReportLimiter.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tiloran {

// Keeps "preview.jpg" in the preview directory showing a recent composed
// picture. The caller's thread only copies the picture; conversion to full
// range YUV 4:2:0, JPEG encoding and the file replacement happen on the
// writer thread. The file is replaced through a temporary file in one step,
// so a reader never sees half a picture. Preview problems are printed and
// the picture dropped; they never reach the caller. A failure that repeats
// with every picture is printed once and then summarised at most once a
// minute, and the first picture saved after failures says so. A preview
// directory removed while the writer runs is created again for the next
// picture.
//
// Threads: init, start, submitFrame and the destructor run on the worker's
// main thread; the writer thread only takes pictures from the pending queue.
// The destructor stops and joins the writer thread after waking it.
class PreviewWriter
{
public:
	PreviewWriter();
	~PreviewWriter();
	PreviewWriter(const PreviewWriter &) = delete;
	PreviewWriter &operator=(const PreviewWriter &) = delete;

	// Creates the preview directory with any missing parents.
	bool init(const std::string &outputPath, int32_t pixelFormat, std::string &message);
	// Launches the writer thread; a running writer is left as it is.
	bool start();
	// Copies the picture for the writer thread; at most the two newest
	// pictures wait, older ones are dropped.
	void submitFrame(const AVFrame *frame);

private:
	// One picture packed with alignment 1 in the writer's pixel format.
	struct PreviewImage {
		FfmpegMemoryHolder buffer;
		int32_t size = 0;
		int32_t width = 0;
		int32_t height = 0;
	};

	void writerLoop();
	bool savePreview(PreviewImage image, const std::string &targetPath, std::string &message);
	bool ensurePreviewDirectory(std::string &message);
	void reportSaveResult(bool saved, const std::string &message);
	bool convertPicture(const PreviewImage &image, std::string &message);
	FfmpegMemoryHolder takeSpareBuffer(int32_t size);
	void keepSpareBuffer(PreviewImage &image);

	std::string outputPath_;
	int32_t pixelFormat_ = AV_PIX_FMT_NONE;
	std::thread writerThread_;
	std::atomic<bool> running_ = false;
	std::atomic<bool> stopRequested_ = false;
	std::mutex mutex_;
	std::condition_variable condition_;
	std::deque<PreviewImage> pendingImages_;
	// Packed buffers of pictures already converted or dropped, used again for
	// the next pictures of the same size; guarded by mutex_.
	std::vector<FfmpegMemoryHolder> spareBuffers_;
	int32_t spareBufferSize_ = 0;

	// The full-range picture and its converter, kept by the writer thread
	// for the next picture of the same size.
	FrameHolder convertedPicture_;
	ScaleContextHolder converter_;
	// Used by the writer thread only.
	FailureReportLimiter saveFailures_;
};

} // namespace tiloran
