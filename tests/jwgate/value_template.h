// What a Home Assistant value template shows for a payload, rendered with
// Debian's Jinja2 as Home Assistant would (render_value_template.py).
#pragma once

#include <string>

namespace jwgate::test {

std::string RenderedValueTemplate(const std::string& valueTemplate, const std::string& payload);

}  // namespace jwgate::test
