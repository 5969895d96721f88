#pragma once

#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace tiloran {

// The worker document store: worker_config.json, which the worker fetches
// through the server. A write replaces the file atomically and a load reads
// it back on every call; the two are serialised by one mutex, so any thread
// may call either and a load never sees a half-written document.
class WorkerDocumentStore
{
public:
	explicit WorkerDocumentStore(std::string path);

	WorkerDocumentStore(const WorkerDocumentStore &) = delete;
	WorkerDocumentStore &operator=(const WorkerDocumentStore &) = delete;

	const std::string &path() const { return path_; }

	// Creates the file's folder where missing and replaces the file with the
	// document; prints where it went.
	bool write(const nlohmann::json &document, std::string &message) const;

	bool load(nlohmann::json &document, std::string &message) const;

private:
	std::string path_;
	mutable std::mutex mutex_;
};

} // namespace tiloran
