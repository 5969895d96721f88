#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tiloran {

// Metrics in Prometheus's text exposition format, version 0.0.4: each family
// with its HELP and TYPE lines, then its samples.
class PrometheusText
{
public:
	static constexpr const char *contentType = "text/plain; version=0.0.4; charset=utf-8";

	using Labels = std::vector<std::pair<std::string, std::string>>;

	// Starts a family; type is "gauge", "counter" or "summary".
	void family(std::string_view name, std::string_view help, std::string_view type);
	// A sample of the family begun last; suffix follows its name (a
	// summary's "_sum" and "_count").
	void sample(double value, const Labels &labels = {}, std::string_view suffix = {});

	const std::string &text() const { return text_; }

private:
	std::string name_;
	std::string text_;
};

} // namespace tiloran
