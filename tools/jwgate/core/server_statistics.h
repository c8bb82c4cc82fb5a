// What the Modbus server and the MQTT bridge report of themselves for the
// metrics endpoint.
#pragma once

#include <cstdint>
#include <string>
#include <vector>
#include <map>

namespace jwgate {

struct ModbusStatistics {
    int clients = 0;
    std::map<int, std::uint64_t> requests;  // by function code
    std::uint64_t refusedConnections = 0;   // from addresses not in allow
    std::uint64_t refusedWrites = 0;        // answered 0x01 by read_only
};

struct HttpStatistics {
    std::uint64_t refusedConnections = 0;   // from addresses not in allow
    std::uint64_t unauthorized = 0;         // requests answered 401
};

// Broker connection attempts that failed: its certificate or the gateway's
// refused in the TLS handshake, the user name or password refused, or the
// broker not reached.
struct MqttConnectFailures {
    std::uint64_t tls = 0;
    std::uint64_t credentials = 0;
    std::uint64_t network = 0;
};

struct MqttStatistics {
    bool connected = false;
    std::uint64_t sent = 0;
    std::uint64_t dropped = 0;
    MqttConnectFailures connectFailures;
};

// The Sparkplug B session's, since the start.
struct SparkplugStatistics {
    bool connected = false;
    bool born = false;            // NBIRTH sent in the session now
    std::uint64_t bdSeq = 0;      // of the connection now (or the last)
    std::uint64_t births = 0;     // NBIRTH and DBIRTH
    std::uint64_t deaths = 0;     // NDEATH (on a stop or a host going offline) and DDEATH
    std::uint64_t commands = 0;   // NCMD and DCMD received
    std::uint64_t refusedCommands = 0;  // metrics of them refused, nothing written
    std::vector<std::string> topics;    // what it publishes on, then what it subscribes to
};

}  // namespace jwgate
