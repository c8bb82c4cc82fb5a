// What the Modbus server and the MQTT bridge report of themselves for the
// metrics endpoint.
#pragma once

#include <cstdint>
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

struct MqttStatistics {
    bool connected = false;
    std::uint64_t sent = 0;
    std::uint64_t dropped = 0;
};

}  // namespace jwgate
