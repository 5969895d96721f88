#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/DeviceInfo.h"

namespace tiloran {

// The option tables: the video and audio bitrates and the encoders offered to
// the client. Fixed at construction; any thread may read them afterwards.
class EncodingOptions
{
public:
	EncodingOptions();

	// The encoder names, in table order.
	std::vector<std::string> codecNames() const;

	// The client document's "encoding" object. Each encoder has "available"
	// where the worker has said whether this machine can open it.
	nlohmann::json clientJson(const std::map<std::string, bool> &codecAvailable) const;

private:
	std::vector<BitrateOption> videoBitrates_;
	std::vector<BitrateOption> audioBitrates_;
	std::vector<CodecOption> codecs_;
};

} // namespace tiloran
