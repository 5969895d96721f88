#include "common/platform/ShutdownSignals.h"

#include <atomic>
#include <csignal>

namespace tiloran::platform {

namespace {

// The runtime's handler is a plain function; it reaches the one installed
// object through this pointer.
std::atomic<ShutdownSignals::Private *> installed = nullptr;

void onShutdownSignal(int signal);

} // namespace

struct ShutdownSignals::Private {
	std::function<void(int)> handler;
};

namespace {

void onShutdownSignal(int signal)
{
	if (ShutdownSignals::Private *current = installed.load())
		current->handler(signal);
}

} // namespace

ShutdownSignals::ShutdownSignals(std::function<void(int)> handler)
	: private_(std::make_unique<Private>())
{
	private_->handler = std::move(handler);
	installed = private_.get();
	std::signal(SIGINT, onShutdownSignal);
	std::signal(SIGTERM, onShutdownSignal);
}

ShutdownSignals::~ShutdownSignals()
{
	installed = nullptr;
	std::signal(SIGINT, SIG_DFL);
	std::signal(SIGTERM, SIG_DFL);
}

} // namespace tiloran::platform
