#include "tools/jwgate/config/allow_list.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

namespace jwgate {

std::string AllowList::Add(const std::string& text) {
    const std::size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    in_addr parsed {};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        return "\"" + text + "\" is not an IPv4 address or range such as 10.20.0.0/16";
    }
    int bits = 32;
    if (slash != std::string::npos) {
        const char* first = text.data() + slash + 1;
        const char* last = text.data() + text.size();
        const auto [end, failure] = std::from_chars(first, last, bits);
        if (first == last || failure != std::errc() || end != last || bits < 0 || bits > 32) {
            return "\"" + text + "\": the prefix length must be 0 to 32";
        }
    }
    const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t {0} << (32 - bits);
    const std::uint32_t network = ntohl(parsed.s_addr);
    // "10.20.1.0/16" is most likely a typing error: which was meant, the
    // address or the range?
    if ((network & ~mask) != 0) {
        in_addr start {htonl(network & mask)};
        char shown[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &start, shown, sizeof shown);
        return "\"" + text + "\" has host bits set; the range is " + shown + "/" + std::to_string(bits);
    }
    ranges_.push_back({network, mask});
    return {};
}

bool AllowList::Allows(in_addr address) const {
    if (ranges_.empty()) return true;
    const std::uint32_t host = ntohl(address.s_addr);
    return std::any_of(ranges_.begin(), ranges_.end(),
                       [host](const Ipv4Range& range) { return (host & range.mask) == range.network; });
}

bool AllowList::Allows(const std::string& address) const {
    if (ranges_.empty()) return true;
    in_addr parsed {};
    return inet_pton(AF_INET, address.c_str(), &parsed) == 1 && Allows(parsed);
}

}  // namespace jwgate
