#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "common/protocol/EventCode.h"

namespace tiloran {

// Where the worker reports to the server that started it: statistics once a
// second, events as they happen, that its pictures are on air, and why it
// failed. One JSON object per message, its "type" saying which; an event and
// a failure carry their code (common/protocol/EventCode.h) beside the message.
//
// Threading: send() from any thread; it never waits for the server.
class ServerChannel
{
public:
	virtual ~ServerChannel() = default;
	virtual void send(const nlohmann::json &message) = 0;

	// An event for the server's log: level "info", "warning" or "error".
	void sendEvent(EventCode code, const std::string &level, const std::string &message)
	{
		send({ { "type", "event" }, { "code", std::string(eventCodeText(code)) }, { "level", level }, { "message", message } });
	}
	// Why the worker ends, as the last message of its run.
	void sendFailure(EventCode code, const std::string &message)
	{
		send({ { "type", "failure" }, { "code", std::string(eventCodeText(code)) }, { "message", message } });
	}
};

// A worker started without a channel (by hand, by tests) reports nowhere.
class NoServerChannel final : public ServerChannel
{
public:
	void send(const nlohmann::json &) override {}
};

} // namespace tiloran
