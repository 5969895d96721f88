#include "app/EncoderProbe.h"

#include <map>
#include <string>
#include <utility>

#include "common/ConsoleLine.h"
#include "config/ConfigManager.h"
#include "supervision/WorkerSupervisor.h"

namespace tiloran {

EncoderProbe::EncoderProbe(std::shared_ptr<WorkerSupervisor> supervisor, std::shared_ptr<ConfigManager> config)
	: thread_([supervisor = std::move(supervisor), config = std::move(config)](std::stop_token abandon) {
		  std::string problem;
		  const std::map<std::string, bool> encoders =
			  supervisor->checkEncoders(config->codecNames(), abandon, problem);
		  if (abandon.stop_requested())
			  return;
		  if (encoders.empty())
			  printLine("[Server] Which encoders this machine can open is not known: " + problem);
		  else
			  config->setCodecAvailability(encoders);
	  })
{
}

EncoderProbe::~EncoderProbe() = default;

} // namespace tiloran
