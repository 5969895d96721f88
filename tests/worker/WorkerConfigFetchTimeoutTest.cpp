// A server that accepts the connection but never answers: the worker gives up
// after its read timeout instead of hanging. Slow by nature (about 10 s).

#include <chrono>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using tiloran::test::ChildProcess;

namespace {

// A listening socket whose connections the kernel accepts but nobody reads.
class SilentListener
{
public:
	SilentListener()
	{
		descriptor_ = ::socket(AF_INET, SOCK_STREAM, 0);
		sockaddr_in address{};
		address.sin_family = AF_INET;
		address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		socklen_t length = sizeof(address);
		if (descriptor_ < 0 || ::bind(descriptor_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
		    ::listen(descriptor_, 8) != 0 ||
		    ::getsockname(descriptor_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
			throw std::runtime_error("cannot open a listening socket");
		port_ = ntohs(address.sin_port);
	}
	~SilentListener() { ::close(descriptor_); }
	SilentListener(const SilentListener &) = delete;
	SilentListener &operator=(const SilentListener &) = delete;

	int port() const { return port_; }

private:
	int descriptor_ = -1;
	int port_ = 0;
};

} // namespace

TEST(WorkerConfigFetchTimeout, ServerThatNeverAnswers)
{
	SilentListener listener;
	const auto started = std::chrono::steady_clock::now();
	ChildProcess worker(tiloran::test::workerProgram(), { "start", std::to_string(listener.port()) });

	// Gone once its read timeout of 10 s has passed: not before (the clock
	// started before the worker did, so a loaded machine only makes the wait
	// longer; the second less allows for the timer's rounding), and long
	// before the generous bound, which only a worker that hangs reaches.
	const std::optional<int> exitCode = worker.waitForExit(tiloran::test::kGenerousTimeout);
	ASSERT_TRUE(exitCode.has_value()) << "the worker hangs on a server that never answers";
	EXPECT_EQ(*exitCode, 1);
	EXPECT_GE(std::chrono::steady_clock::now() - started, 9s);
	EXPECT_EQ(worker.standardError(), "[Worker] Failed to connect to Encoder\n");
}
