#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "media/FfmpegSupport.h"
#include "output/PicturePool.h"

namespace tiloran {

// The output's thread and the hand-over to it. The producer takes a picture
// from the pool (PicturePool.h), writes it and queues it, and queues audio
// (at most 64 frames); the thread takes what is queued, audio before video
// always, and hands it to its work one frame at a time, outside the lock.
// Asked to stop, it does everything queued first and then lets the work
// finish the stream. Once the work has failed, nothing more is done, the work
// does not finish, and every call returns its failure text.
//
// Threads: the constructor starts the thread, which alone calls the work;
// takePicture, pushPicture, returnPicture and pushAudio are the producer's
// (the worker's main thread), and so is the destructor, which asks the thread
// to stop, wakes every waiter and joins it.
class OutputThread
{
public:
	using Clock = std::chrono::steady_clock;

	// What the thread does with what it takes; called on the thread only.
	class Work
	{
	public:
		virtual ~Work() = default;
		// A picture of the pool; arrival is when its master picture arrived.
		virtual bool encodePicture(AVFrame *picture, Clock::time_point arrival, std::string &message) = 0;
		virtual bool encodeAudio(const AVFrame *audio, std::string &message) = 0;
		// After an orderly stop, everything queued done: the stream's end.
		virtual bool finish(std::string &message) = 0;
		// Last of all, failed or not.
		virtual void end() = 0;
	};

	// work outlives the thread.
	OutputThread(Work &work, PicturePool pool);
	~OutputThread();

	OutputThread(const OutputThread &) = delete;
	OutputThread &operator=(const OutputThread &) = delete;

	// A picture of the pool, writable and the caller's until it is pushed or
	// returned; blocks while every picture is in use.
	bool takePicture(FrameHolder &picture, std::string &error);
	// Queues a picture taken; a picture refused goes back to the pool.
	bool pushPicture(FrameHolder picture, Clock::time_point arrival, std::string &error);
	// A picture taken and not pushed goes back to the pool.
	void returnPicture(FrameHolder picture);
	// Queues a copy of frame; blocks while 64 frames wait.
	bool pushAudio(const AVFrame *frame, std::string &error);

private:
	struct QueuedPicture {
		FrameHolder picture;
		Clock::time_point arrival;
	};

	void run();
	void finish();

	Work &work_;
	std::mutex mutex_;
	// One for both directions: the producer waits for room, the thread for work.
	std::condition_variable condition_;
	PicturePool pool_;
	std::deque<QueuedPicture> videoQueue_;
	std::deque<FrameHolder> audioQueue_;
	// Set by the destructor, or by the thread when its work failed.
	bool stopRequested_ = false;
	// The work's failure text; empty while none.
	std::string error_;
	// Last: started once everything above exists.
	std::thread thread_;
};

} // namespace tiloran
