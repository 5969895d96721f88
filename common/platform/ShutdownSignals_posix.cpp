#include "common/platform/ShutdownSignals.h"

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <stdexcept>
#include <thread>

namespace tiloran::platform {

struct ShutdownSignals::Private {
	std::function<void(int)> handler;
	sigset_t signals;
	std::atomic<bool> stopping = false;
	std::thread thread;

	void run()
	{
		while (true) {
			int signal = 0;
			if (sigwait(&signals, &signal) != 0)
				continue;
			if (stopping)
				return;
			handler(signal);
		}
	}
};

ShutdownSignals::ShutdownSignals(std::function<void(int)> handler)
	: private_(std::make_unique<Private>())
{
	private_->handler = std::move(handler);
	sigemptyset(&private_->signals);
	sigaddset(&private_->signals, SIGINT);
	sigaddset(&private_->signals, SIGTERM);
	if (pthread_sigmask(SIG_BLOCK, &private_->signals, nullptr) != 0)
		throw std::runtime_error("Cannot block the shutdown signals");
	private_->thread = std::thread([this] { private_->run(); });
}

ShutdownSignals::~ShutdownSignals()
{
	// The waiting thread is woken by a signal of its own set; the flag tells
	// it that this one is not a stop request.
	private_->stopping = true;
	pthread_kill(private_->thread.native_handle(), SIGTERM);
	private_->thread.join();
}

} // namespace tiloran::platform
