// Everything the metrics endpoint and the status page show, copied at one
// moment from the parts that own it.
#pragma once

#include <vector>

#include "tools/jwgate/config.h"
#include "tools/jwgate/line_statistics.h"
#include "tools/jwgate/point_table.h"
#include "tools/jwgate/scan_engine.h"
#include "tools/jwgate/server_statistics.h"
#include "tools/jwgate/station_tracker.h"

namespace jwgate {

struct GatewaySnapshot {
    const GatewayConfig* config = nullptr;
    std::vector<PointReading> points;  // in the configuration's order
    ScanCounters counters;
    std::vector<StationState> stations;
    LineStatistics::Snapshot line;
    bool modbusEnabled = false;
    ModbusStatistics modbus;
    bool mqttEnabled = false;
    MqttStatistics mqtt;
    WallClock::time_point takenAt;
};

}  // namespace jwgate
