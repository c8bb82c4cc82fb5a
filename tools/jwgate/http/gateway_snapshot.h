// Everything the metrics endpoint and the status page show, copied at one
// moment from the parts that own it.
#pragma once

#include <memory>
#include <vector>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/line_snapshot.h"
#include "tools/jwgate/core/point_table.h"
#include "tools/jwgate/core/scan_counters.h"
#include "tools/jwgate/core/server_statistics.h"
#include "tools/jwgate/core/station_state.h"
#include "tools/jwgate/store/message_store.h"


namespace jwgate {

struct GatewaySnapshot {
    std::shared_ptr<const GatewayConfig> config;
    std::vector<PointReading> points;  // in the configuration's order
    ScanCounters counters;
    std::vector<StationState> stations;
    LineSnapshot line;
    bool modbusEnabled = false;
    ModbusStatistics modbus;
    bool mqttEnabled = false;
    MqttStatistics mqtt;
    bool storeEnabled = false;  // with MQTT: the store, or the memory queue
    StoreStatistics store;
    std::uint64_t storeReplayed = 0;
    HttpStatistics http;  // filled in by the endpoint itself
    WallClock::time_point takenAt;
};

}  // namespace jwgate
