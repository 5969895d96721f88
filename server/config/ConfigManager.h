#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/ConfigLocations.h"
#include "config/DeviceCatalogue.h"
#include "config/DeviceInfo.h"
#include "config/EncodingOptions.h"
#include "config/StartRequest.h"
#include "config/TestInputs.h"
#include "config/WorkerDocument.h"
#include "config/WorkerDocumentStore.h"

namespace tiloran {

// The server's configuration: where the worker configuration file and the
// preview directory live, the capture devices found at start-up, the encoding
// choices offered to the client, and the worker configuration document. It
// puts together the file locations, the device catalogue, the option tables,
// the checks of a start request and the worker document store.
//
// Threads: the constructor runs on the main thread before the HTTP server
// starts (it discovers the devices once). Afterwards the device list and the
// option tables never change, and every public operation may be called from
// any of the HTTP server's threads at the same time. Saves and loads of the
// worker configuration file are serialised by the store, and a save replaces
// the file atomically, so a load never sees a half-written document.
class ConfigManager
{
public:
	// Fixes the two locations, prints them, fills the option tables and
	// discovers the capture devices. The test-pattern inputs are listed after
	// the capture devices. Throws std::filesystem::filesystem_error when the
	// current or the temporary directory cannot be obtained.
	explicit ConfigManager(bool portable, TestInputs testInputs = {});

	ConfigManager(const ConfigManager &) = delete;
	ConfigManager &operator=(const ConfigManager &) = delete;

	// The preview directory (no trailing separator); preview.jpg lies inside.
	const std::string &previewPath() const { return locations_.previewPath; }
	// The folder of the stream's recordings, beside the preview directory.
	const std::string &recordingsPath() const { return locations_.recordingsPath; }
	// Full path of worker_config.json.
	const std::string &workerConfigPath() const { return locations_.workerConfigPath; }
	const std::vector<DeviceInfo> &devices() const { return catalogue_.devices(); }

	// The body of GET /api/config.
	nlohmann::json getClientConfig() const;

	// Validates a stream start request, turns it into the worker
	// configuration document and stores it. Returns false with the reason in
	// message, also for a member of the wrong JSON type. The same as
	// buildWorkerConfig followed by writeWorkerConfig.
	bool saveWorkerConfig(const nlohmann::json &request, std::string &message) const;

	// The first half of saveWorkerConfig: checks the request and builds the
	// document, without touching the file. Refuses too what the worker would
	// refuse, as far as it can be judged here.
	bool buildWorkerConfig(const nlohmann::json &request, nlohmann::json &document, StartRefusal &refusal) const;
	// The second half: replaces the file with the document.
	bool writeWorkerConfig(const nlohmann::json &document, std::string &message) const;

	// Reads the worker configuration file back (on every call).
	bool loadWorkerConfig(nlohmann::json &document, std::string &message) const;

	// The encoder names offered to the client, in table order.
	std::vector<std::string> codecNames() const { return options_.codecNames(); }
	// What the worker found this machine can open (encoder name to whether
	// it can); any thread, while the routes serve.
	void setCodecAvailability(const std::map<std::string, bool> &available);
	std::map<std::string, bool> codecAvailability() const;

	// The first device whose id equals id exactly.
	std::optional<DeviceInfo> findDevice(const std::string &id) const { return catalogue_.find(id); }

private:
	// Declared in the order of construction: the locations are printed
	// before the devices are discovered.
	ConfigLocations locations_;
	DeviceCatalogue catalogue_;
	EncodingOptions options_;
	WorkerDocumentStore store_;
	// Encoder name to whether this machine can open it, as far as known.
	std::map<std::string, bool> codecAvailable_;
	mutable std::mutex codecAvailableMutex_;
};

} // namespace tiloran
