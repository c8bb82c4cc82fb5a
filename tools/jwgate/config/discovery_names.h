// The names Home Assistant discovery gives things, which the configuration
// checks before anything is announced: the prefix, and ids made from point
// names and client ids.
#pragma once

#include <string>

namespace jwgate {

// Whether c may stand in a discovery id: [a-zA-Z0-9_-].
bool IsDiscoveryIdByte(char c);

// Empty when prefix can be the discovery prefix (one topic level of letters,
// digits, "_" and "-"); otherwise what is wrong with it.
std::string DiscoveryPrefixProblem(const std::string& prefix);

// text as a topic level or id of [a-zA-Z0-9_-] only: kept when it is one
// already; otherwise every other byte becomes "_" and "_" and eight hex
// digits of a hash of text follow, so that "a.b" and "a_b" stay apart.
std::string DiscoveryId(const std::string& text);

}  // namespace jwgate
