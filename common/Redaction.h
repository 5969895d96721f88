#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tiloran {

// What is shown in place of a secret: on the console, and to clients that
// may not read it.
inline constexpr std::string_view redactedSecret = "***";

// The SRT URI with the value of its "passphrase" parameter shown as "***".
// The passphrase is the last parameter of the URIs the server builds and
// may itself hold '&', so everything after "passphrase=" is hidden.
inline std::string redactSrtUri(std::string_view uri)
{
	for (std::size_t position = uri.find("passphrase="); position != std::string_view::npos;
	     position = uri.find("passphrase=", position + 1)) {
		if (position > 0 && (uri[position - 1] == '?' || uri[position - 1] == '&'))
			return std::string(uri.substr(0, position + 11)) + std::string(redactedSecret);
	}
	return std::string(uri);
}

// Hides the SRT passphrases of a worker configuration document: its "srt"
// object's "passphrase" unless empty, the one in "srt_uri", and those of the
// "srt" objects of its further "outputs".
inline void hideSrtPassphrase(nlohmann::json &document)
{
	if (!document.is_object())
		return;
	const auto hideIn = [](nlohmann::json &holder) {
		const auto srt = holder.find("srt");
		if (srt == holder.end() || !srt->is_object())
			return;
		const auto passphrase = srt->find("passphrase");
		if (passphrase != srt->end() &&
		    !(passphrase->is_string() && passphrase->get_ref<const std::string &>().empty()))
			*passphrase = redactedSecret;
	};
	hideIn(document);
	const auto uri = document.find("srt_uri");
	if (uri != document.end() && uri->is_string())
		*uri = redactSrtUri(uri->get_ref<const std::string &>());
	const auto outputs = document.find("outputs");
	if (outputs != document.end() && outputs->is_array())
		for (nlohmann::json &output : *outputs)
			if (output.is_object())
				hideIn(output);
}

} // namespace tiloran
