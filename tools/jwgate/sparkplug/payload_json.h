// A Sparkplug B payload as JSON for people: the payload's timestamp and seq,
// then one metric a line, each with its datatype's name, its value as that
// datatype reads, its flags and its properties. The whole text is one JSON
// document.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace jwgate::sparkplug {

// Nothing when bytes are not a payload.
std::optional<std::string> PayloadJson(std::string_view bytes);

}  // namespace jwgate::sparkplug
