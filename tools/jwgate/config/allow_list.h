// Which client addresses a server lets in: IPv4 addresses and ranges in
// network form ("10.20.0.0/16"). One rule for the Modbus and HTTP servers:
// an empty list lets everyone in.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

namespace jwgate {

struct Ipv4Range {
    std::uint32_t network = 0;  // host byte order, host bits zero
    std::uint32_t mask = 0;
};

class AllowList {
public:
    // Empty when text is an address or a range in network form, with the range
    // added; otherwise what is wrong with it.
    std::string Add(const std::string& text);
    bool empty() const { return ranges_.empty(); }
    // For an address in network byte order, as sockets give it.
    bool Allows(in_addr address) const;
    // For a textual IPv4 address; false for anything else when not empty.
    bool Allows(const std::string& address) const;

private:
    std::vector<Ipv4Range> ranges_;
};

}  // namespace jwgate
