#pragma once

#include <memory>
#include <thread>

namespace tiloran {

class ConfigManager;
class WorkerSupervisor;

// Asks the worker once which of the offered encoders this machine can open,
// and gives the answer to the configuration, which the client configuration
// then carries. The encoders do not come and go while the server runs. Until
// the answer comes the client configuration says nothing about them, so the
// server listens at once rather than after a worker's start-up and an open of
// each encoder.
//
// Threading: constructed and destroyed on one thread (the main thread); the
// question runs on the probe's own thread. The destructor ends a question
// still open and joins the thread.
class EncoderProbe
{
public:
	EncoderProbe(std::shared_ptr<WorkerSupervisor> supervisor, std::shared_ptr<ConfigManager> config);
	~EncoderProbe();

	EncoderProbe(const EncoderProbe &) = delete;
	EncoderProbe &operator=(const EncoderProbe &) = delete;

private:
	std::jthread thread_;
};

} // namespace tiloran
