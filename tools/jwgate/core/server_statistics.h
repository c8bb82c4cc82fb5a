// What the Modbus server and the MQTT bridge report of themselves for the
// metrics endpoint.
#pragma once

#include <cstdint>
#include <map>

namespace jwgate {

struct ModbusStatistics {
    int clients = 0;
    std::map<int, std::uint64_t> requests;  // by function code
};

struct MqttStatistics {
    bool connected = false;
    std::uint64_t sent = 0;
    std::uint64_t dropped = 0;
};

}  // namespace jwgate
