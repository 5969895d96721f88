#include "supervision/PrometheusText.h"

#include <cmath>
#include <cstdio>

namespace tiloran {

namespace {

std::string escaped(std::string_view text, bool quotes)
{
	std::string result;
	for (const char character : text) {
		if (character == '\\')
			result += "\\\\";
		else if (character == '\n')
			result += "\\n";
		else if (character == '"' && quotes)
			result += "\\\"";
		else
			result += character;
	}
	return result;
}

std::string number(double value)
{
	if (std::isnan(value))
		return "NaN";
	if (std::isinf(value))
		return value > 0 ? "+Inf" : "-Inf";
	if (value == std::floor(value) && std::fabs(value) < 1e15)
		return std::to_string(static_cast<long long>(value));
	char text[32];
	std::snprintf(text, sizeof(text), "%.10g", value);
	return text;
}

} // namespace

void PrometheusText::family(std::string_view name, std::string_view help, std::string_view type)
{
	name_ = name;
	text_.append("# HELP ").append(name_).append(" ").append(escaped(help, false)).append("\n");
	text_.append("# TYPE ").append(name_).append(" ").append(type).append("\n");
}

void PrometheusText::sample(double value, const Labels &labels, std::string_view suffix)
{
	text_.append(name_).append(suffix);
	if (!labels.empty()) {
		text_.append("{");
		for (std::size_t index = 0; index < labels.size(); ++index) {
			if (index > 0)
				text_.append(",");
			text_.append(labels[index].first).append("=\"").append(escaped(labels[index].second, true)).append("\"");
		}
		text_.append("}");
	}
	text_.append(" ").append(number(value)).append("\n");
}

} // namespace tiloran
