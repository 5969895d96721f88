#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "SourceInput.h"

namespace tiloran {

// The worker's media pipeline: builds the configuration record from the
// document, opens one capture per quadrant with a source (the master's
// first), the composite output, the compositor and the preview writer, and
// then composes and hands on one output picture per new master picture, so
// the master source paces the whole stream.
//
// Threads: run executes on the worker's main thread and is the only caller of
// every component operation; the components own the capture, output and
// preview threads and join them when run tears them down.
class Streamer
{
public:
	// Every capture opens its input with openInput.
	explicit Streamer(SourceInputOpener openInput = openSourceInput);

	// Returns only when something fails: everything is torn down and message
	// holds the first failure.
	bool run(const nlohmann::json &document, std::string &message);

private:
	SourceInputOpener openInput_;
};

} // namespace tiloran
