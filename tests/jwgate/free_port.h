// Loopback TCP for tests: a port that nothing listens on just now, for a
// server a test starts, and a raw connection to a server.
#pragma once

namespace jwgate::test {

int FreeTcpPort();

// A plain TCP connection to 127.0.0.1:port, for clients that misbehave or do
// not wait for their answer; -1 if it cannot connect (within sendTimeoutS,
// when given).
int ConnectRaw(int port, int sendTimeoutS = 0);
// A socket listening on 127.0.0.1:port (the address reused at once); -1 if
// it cannot.
int ListenLoopback(int port);

}  // namespace jwgate::test
