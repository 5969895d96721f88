#include "config/WorkerDocumentStore.h"

#include <filesystem>
#include <fstream>
#include <utility>

#include "common/ConsoleLine.h"
#include "config/platform/FileReplacement.h"

namespace tiloran {

WorkerDocumentStore::WorkerDocumentStore(std::string path) : path_(std::move(path)) {}

bool WorkerDocumentStore::write(const nlohmann::json &document, std::string &message) const
{
	const std::string contents = document.dump(2) + "\n";
	const std::filesystem::path path(path_);

	std::lock_guard<std::mutex> lock(mutex_);

	if (path.has_parent_path()) {
		try {
			std::filesystem::create_directories(path.parent_path());
		} catch (const std::filesystem::filesystem_error &error) {
			message = std::string("Failed to create worker config directory: ") + error.what();
			return false;
		}
	}

	switch (replaceFileContents(path, contents)) {
	case FileReplaceResult::Replaced:
		break;
	case FileReplaceResult::OpenFailed:
		message = "Failed to open worker config file for writing: " + path_;
		return false;
	case FileReplaceResult::WriteFailed:
		message = "Failed to write worker config file: " + path_;
		return false;
	}

	printLine("[ConfigManager] Worker config saved to " + path_);
	return true;
}

bool WorkerDocumentStore::load(nlohmann::json &document, std::string &message) const
{
	std::lock_guard<std::mutex> lock(mutex_);

	std::ifstream file{ std::filesystem::path(path_) };
	if (!file.is_open()) {
		message = "Worker config file not found: " + path_;
		return false;
	}

	try {
		nlohmann::json parsed;
		file >> parsed;
		document = std::move(parsed);
	} catch (const nlohmann::json::parse_error &error) {
		// The library's text quotes what it read, which may be the passphrase.
		message = "Failed to parse worker config file: not JSON at byte " + std::to_string(error.byte);
		return false;
	} catch (const nlohmann::json::out_of_range &) {
		message = "Failed to parse worker config file: a number is out of range";
		return false;
	}
	return true;
}

} // namespace tiloran
