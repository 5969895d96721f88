#include "config/ConfigManager.h"

#include <utility>

#include "common/ConsoleLine.h"
#include "common/protocol/StreamSettings.h"
#include "config/ProductInfo.h"
#include "config/StartRequest.h"

namespace tiloran {

namespace {

ConfigLocations announcedLocations(bool portable)
{
	ConfigLocations locations = resolveConfigLocations(portable);
	printLine(std::string("[ConfigManager] Config mode: ") + (portable ? "portable" : "user"));
	printLine("[ConfigManager] Worker config path: " + locations.workerConfigPath);
	printLine("[ConfigManager] Preview path: " + locations.previewPath);
	printLine("[ConfigManager] Recordings path: " + locations.recordingsPath);
	return locations;
}

// The limits the page checks as the operator types, the same as the server's.
nlohmann::json limitsJson()
{
	return {
		{ "srtHostNameMaxLength", kSrtHostNameMaxLength },
		{ "srtPortMin", kSrtPortMin },
		{ "srtPortMax", kSrtPortMax },
		{ "srtLatencyMaxMs", kSrtLatencyMaxMs },
		{ "srtStreamIdMaxBytes", kSrtStreamIdMaxBytes },
		{ "srtPassphraseMinLength", kSrtPassphraseMinLength },
		{ "srtPassphraseMaxLength", kSrtPassphraseMaxLength },
	};
}

} // namespace

ConfigManager::ConfigManager(bool portable, TestInputs testInputs)
	: locations_(announcedLocations(portable)), catalogue_(testInputs), store_(locations_.workerConfigPath)
{
}

nlohmann::json ConfigManager::getClientConfig() const
{
	nlohmann::json document = nlohmann::json::object();
	document["project"] = { { "title", std::string(productTitle) + "(" + productVersion + ")" } };
	document["devices"] = catalogue_.clientJson();
	document["encoding"] = options_.clientJson(codecAvailability());
	document["limits"] = limitsJson();
	return document;
}

void ConfigManager::setCodecAvailability(const std::map<std::string, bool> &available)
{
	std::lock_guard lock(codecAvailableMutex_);
	codecAvailable_ = available;
}

std::map<std::string, bool> ConfigManager::codecAvailability() const
{
	std::lock_guard lock(codecAvailableMutex_);
	return codecAvailable_;
}

bool ConfigManager::saveWorkerConfig(const nlohmann::json &request, std::string &message) const
{
	nlohmann::json document;
	StartRefusal refusal;
	if (!buildWorkerConfig(request, document, refusal)) {
		message = refusal.message;
		return false;
	}
	return writeWorkerConfig(document, message);
}

bool ConfigManager::buildWorkerConfig(const nlohmann::json &request, nlohmann::json &document,
				      StartRefusal &refusal) const
{
	StartRequest checked;
	if (!checkStartRequest(request, catalogue_, checked, refusal))
		return false;
	document = workerDocumentOf(request, checked, locations_);
	return true;
}

bool ConfigManager::writeWorkerConfig(const nlohmann::json &document, std::string &message) const
{
	return store_.write(document, message);
}

bool ConfigManager::loadWorkerConfig(nlohmann::json &document, std::string &message) const
{
	return store_.load(document, message);
}

} // namespace tiloran
