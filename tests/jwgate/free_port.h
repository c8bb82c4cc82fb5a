// A TCP port on 127.0.0.1 that nothing listens on just now, for a server a
// test starts.
#pragma once

namespace jwgate::test {

int FreeTcpPort();

}  // namespace jwgate::test
