#include "output/OutputThread.h"

#include <utility>

namespace tiloran {

namespace {

constexpr size_t audioQueueLimit = 64;

const char *const stoppedMessage = "CompositeOutput is stopped";

} // namespace

OutputThread::OutputThread(Work &work, PicturePool pool) : work_(work), pool_(std::move(pool))
{
	thread_ = std::thread([this] { run(); });
}

OutputThread::~OutputThread()
{
	{
		std::lock_guard lock(mutex_);
		stopRequested_ = true;
	}
	condition_.notify_all();
	thread_.join();
}

bool OutputThread::takePicture(FrameHolder &picture, std::string &error)
{
	{
		std::unique_lock lock(mutex_);
		condition_.wait(lock, [this] { return !pool_.empty() || !error_.empty() || stopRequested_; });
		if (!error_.empty()) {
			error = error_;
			return false;
		}
		if (stopRequested_) {
			error = stoppedMessage;
			return false;
		}
		picture = pool_.take();
	}
	if (!pool_.prepare(picture.get(), error)) {
		std::lock_guard lock(mutex_);
		pool_.giveBack(std::move(picture));
		return false;
	}
	return true;
}

bool OutputThread::pushPicture(FrameHolder picture, Clock::time_point arrival, std::string &error)
{
	{
		std::lock_guard lock(mutex_);
		if (!error_.empty() || stopRequested_) {
			error = !error_.empty() ? error_ : stoppedMessage;
			pool_.giveBack(std::move(picture));
			return false;
		}
		videoQueue_.push_back({ std::move(picture), arrival });
	}
	// Every waiter, not one: a producer woken in the thread's place would
	// otherwise swallow the wake-up.
	condition_.notify_all();
	return true;
}

void OutputThread::returnPicture(FrameHolder picture)
{
	{
		std::lock_guard lock(mutex_);
		pool_.giveBack(std::move(picture));
	}
	condition_.notify_all();
}

bool OutputThread::pushAudio(const AVFrame *frame, std::string &error)
{
	{
		std::lock_guard lock(mutex_);
		if (!error_.empty()) {
			error = error_;
			return false;
		}
	}

	FrameHolder copy = allocateFrame();
	if (!copy) {
		error = "Failed to allocate queued audio frame";
		return false;
	}
	int result = av_frame_ref(copy.get(), frame);
	if (result < 0) {
		error = "Failed to reference audio frame for output queue: " + ffmpegErrorText(result);
		return false;
	}
	// The thread gets samples of its own. A shared buffer would be freed or
	// handed back to its decoder's pool by whichever thread drops the last
	// reference, ordered after the thread's reads only by FFmpeg's atomic
	// reference count, which ThreadSanitizer cannot see.
	result = av_frame_make_writable(copy.get());
	if (result < 0) {
		error = "Failed to copy audio frame for output queue: " + ffmpegErrorText(result);
		return false;
	}

	{
		std::unique_lock lock(mutex_);
		condition_.wait(lock, [this] {
			return audioQueue_.size() < audioQueueLimit || !error_.empty() || stopRequested_;
		});
		if (!error_.empty()) {
			error = error_;
			return false;
		}
		if (stopRequested_) {
			error = stoppedMessage;
			return false;
		}
		audioQueue_.push_back(std::move(copy));
	}
	condition_.notify_all();
	return true;
}

void OutputThread::run()
{
	std::unique_lock lock(mutex_);
	for (;;) {
		condition_.wait(lock, [this] { return stopRequested_ || !audioQueue_.empty() || !videoQueue_.empty(); });
		if (audioQueue_.empty() && videoQueue_.empty())
			break;

		// The queue a frame came from says what it is: audio first, always.
		const bool isAudio = !audioQueue_.empty();
		FrameHolder frame;
		Clock::time_point arrival;
		if (isAudio) {
			frame = std::move(audioQueue_.front());
			audioQueue_.pop_front();
		} else {
			frame = std::move(videoQueue_.front().picture);
			arrival = videoQueue_.front().arrival;
			videoQueue_.pop_front();
		}
		lock.unlock();

		std::string message;
		const bool done = isAudio ? work_.encodeAudio(frame.get(), message)
					  : work_.encodePicture(frame.get(), arrival, message);

		lock.lock();
		if (!done) {
			error_ = message;
			stopRequested_ = true;
			lock.unlock();
			frame.reset();
			finish();
			return;
		}
		if (!isAudio)
			pool_.giveBack(std::move(frame));
		lock.unlock();
		condition_.notify_all();
		frame.reset();
		lock.lock();
	}
	lock.unlock();
	finish();
}

void OutputThread::finish()
{
	bool failed;
	{
		std::lock_guard lock(mutex_);
		failed = !error_.empty();
	}
	if (!failed) {
		std::string message;
		if (!work_.finish(message)) {
			std::lock_guard lock(mutex_);
			error_ = message;
			stopRequested_ = true;
		}
	}
	work_.end();
	condition_.notify_all();
}

} // namespace tiloran
