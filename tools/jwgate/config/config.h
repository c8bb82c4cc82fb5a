// The gateway's configuration: a TOML file read into checked settings.
// Every setting is named; a key that is not known, a value of the wrong kind
// or out of range stops the start with the file, line and key.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "protocol/areas.h"
#include "tools/common/line_defaults.h"
#include "tools/jwgate/config/allow_list.h"
#include "tools/jwgate/core/scaling.h"
#include "tools/jwgate/core/value_type.h"

namespace jwgate {

struct LineConfig {
    std::string port;  // as the driver names ports: "/dev/ttyUSB0", "ttyS0", "COM1", "pts/3"
    // The tools' shared defaults: 9600 baud, 7 data bits, no parity, one stop bit.
    std::uint32_t baud = kel::tools::kDefaultBaud;
    int dataBits = kel::tools::kDefaultDataBits;
    int parity = 0;    // the serial layer's codes: 0 none, 1 odd, 2 even
    int stopBits = kel::tools::kDefaultStopBits;  // how many: 1 or 2 (the count, not the serial layer's code)
    std::uint32_t linkTimeoutMs = 1000;
    int waitingTimeMs = 0;  // the pause between a read request and its reply
    int maxRunBytes = 64;   // the most register bytes one exchange reads
    int maxGapBytes = 16;   // unused bytes a run may read to join two items
    bool rs485 = false;     // the port's driver raises RTS while sending (half duplex)
    int rtsDelayBeforeSendMs = 0;
    int rtsDelayAfterSendMs = 0;
    int delayBetweenRequestsMs = 0;  // quiet time from the end of one exchange to the next request
    // How long a write, from Modbus or MQTT, may take from its request to the
    // controller's answer: one older than this in the queue is dropped
    // unsent, and a Modbus client waiting longer gets exception 0x0B.
    // [line] write_timeout_ms, or its old name [modbus] write_timeout_ms.
    int writeTimeoutMs = 5000;
};

struct ModbusConfig {
    bool enabled = false;
    std::string listen = "127.0.0.1";
    int port = 502;
    int maxClients = 16;
    int idleTimeoutSeconds = 60;  // a client silent this long is closed
    int unitId = -1;              // the only unit answered; -1 for any
    AllowList allow;              // clients let in; empty for all
    bool readOnly = false;        // every write refused with exception 0x01
};

struct HttpConfig {
    bool enabled = false;
    std::string listen = "127.0.0.1";
    int port = 8080;  // 0: the system chooses (the log says which)
    AllowList allow;  // clients let in; empty for all
    std::string certFile;  // with keyFile: HTTPS
    std::string keyFile;
    // Basic authentication when not empty: name -> bcrypt hash.
    std::map<std::string, std::string> users;
};

// When a point's value goes out on MQTT: on a change of at least its
// deadband (and a change of quality, and each publish period), or after every read.
enum class PublishMode { kChange, kEveryRead };

struct MqttConfig {
    bool enabled = false;
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string clientId;
    std::string statusTopic;
    int keepaliveSeconds = 30;
    std::string username;
    std::string password;
    int publishPeriodSeconds = 60;  // a value is published at least this often
    int reconnectMinSeconds = 1;
    int reconnectMaxSeconds = 30;
    std::string discoveryPrefix;  // Home Assistant discovery; empty for none
    // The points' defaults for publish and deadband.
    PublishMode publishMode = PublishMode::kChange;
    double deadband = 0;
    bool protocol5 = false;       // MQTT 5 instead of 3.1.1
    // TLS, on when caFile is set; the broker's certificate and host name are
    // always checked. certFile and keyFile: the gateway's own, both or neither.
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    std::string tlsVersion = "tlsv1.2";  // the lowest accepted: "tlsv1.2" or "tlsv1.3"
    // Without a [store], the messages waiting for the broker are held in
    // memory, at most this many (the oldest dropped first).
    int queueMax = 100000;
};

// The gateway's own store of the messages it publishes (a SQLite file):
// what the broker has not yet acknowledged survives an outage and a restart,
// and each point's values are kept a while for the history.
struct StoreConfig {
    bool enabled = false;  // a [store] table
    std::string path;
    int maxMb = 256;        // past this, the oldest unsent messages are dropped
    int maxAgeHours = 168;  // unsent messages older than this are dropped
    int syncMs = 200;       // how often what was queued is committed
    int historyHours = 24;  // how long published values are kept; 0 for none
    int replayRate = 2000;  // the most messages of the backlog sent per second
};

// The gateway as a Sparkplug B edge node: a second MQTT session to the
// broker [mqtt] names, with its TLS settings and credentials; each station
// is a device of the node.
struct SparkplugConfig {
    bool enabled = false;       // a [sparkplug] table
    std::string groupId;
    std::string edgeNodeId;
    std::string primaryHostId;  // births only while this host says it is online; empty for none
    std::string clientId;       // the session's own; the edge node id unless set
};

// "none", "odd", "even": the name of a LineConfig::parity code.
const char* ParityName(int parity);

enum class ModbusTable { kNone, kCoil, kDiscreteInput, kInputRegister, kHoldingRegister };
const char* ModbusTableName(ModbusTable table);

struct PointConfig {
    std::string name;
    std::string gas;
    ValueType type = ValueType::kU16;
    kel::Item item;
    int intervalMs = 1000;
    bool writable = false;
    ModbusTable table = ModbusTable::kNone;  // from the type and writable when an address is given
    int modbusAddress = -1;
    WordOrder wordOrder = WordOrder::kHighFirst;
    std::string mqttTopic;
    // What the value means, for MQTT, the status page and /metrics.
    Scaling scaling;
    int precision = -1;        // decimals shown; -1 for those scale and offset carry
    std::string unit;          // "°C", "kWh"; empty for none
    std::string deviceClass;   // Home Assistant's, passed through discovery
    std::string stateClass;    // measurement, total, total_increasing; empty for none
    PublishMode publishMode = PublishMode::kChange;
    double deadband = 0;       // in the published unit
};

struct GatewayConfig {
    LineConfig line;
    ModbusConfig modbus;
    MqttConfig mqtt;
    HttpConfig http;
    StoreConfig store;
    SparkplugConfig sparkplug;
    std::vector<PointConfig> points;
};

struct ConfigError {
    std::string file;
    int line = 0;  // 0 when the file as a whole is at fault
    std::string key;
    std::string message;
    // "FILE:LINE: KEY: message"
    std::string Text() const;
};

// The configuration, or the first error.
std::optional<GatewayConfig> LoadConfig(const std::string& path, ConfigError* error);

}  // namespace jwgate
