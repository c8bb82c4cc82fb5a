// Which addresses an allow-list lets in: the edges of ranges, a single
// address, everything with /0.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/jwgate/config/allow_list.h"

namespace jwgate::test {
namespace {

TEST(AllowList, LetsInExactlyTheAddressesOfItsRanges) {
    struct Case {
        std::vector<std::string> entries;
        std::string address;
        bool allowed;
    };
    const Case cases[] = {
        {{}, "192.0.2.1", true},
        {{"10.20.0.0/16"}, "10.20.0.0", true},
        {{"10.20.0.0/16"}, "10.20.255.255", true},
        {{"10.20.0.0/16"}, "10.21.0.0", false},
        {{"10.20.0.0/16"}, "10.19.255.255", false},
        {{"127.0.0.1"}, "127.0.0.1", true},
        {{"127.0.0.1"}, "127.0.0.2", false},
        {{"127.0.0.1/32", "192.168.1.128/25"}, "192.168.1.200", true},
        {{"192.168.1.128/25"}, "192.168.1.127", false},
        {{"0.0.0.0/0"}, "203.0.113.9", true},
        {{"10.0.0.0/8"}, "", false},
        {{"10.0.0.0/8"}, "::ffff:10.0.0.1", false},
    };
    for (const Case& c : cases) {
        AllowList list;
        for (const std::string& entry : c.entries) ASSERT_EQ(list.Add(entry), "") << entry;
        EXPECT_EQ(list.Allows(c.address), c.allowed) << c.address << " in " << ::testing::PrintToString(c.entries);
    }
}

}  // namespace
}  // namespace jwgate::test
