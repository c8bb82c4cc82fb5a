#include "tools/jwgate/config/config.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <toml++/toml.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <span>

#include "protocol/range_reads.h"
#include "tools/jwgate/config/discovery_names.h"
#include "tools/jwgate/config/gate_check.h"
#include "tools/jwgate/config/mqtt_topic.h"
#include "tools/jwgate/config/tls_files.h"
#include "tools/jwgate/config/users_file.h"
#include "tools/jwgate/core/log.h"
#include "tools/jwgate/sparkplug/sparkplug_names.h"

namespace jwgate {
namespace {

constexpr std::uint32_t kBaudRates[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
// The names a key takes, in the order of the values they stand for.
constexpr const char* kParities[] = {"none", "odd", "even"};  // the serial layer's parity codes
constexpr const char* kWordOrders[] = {"high_first", "low_first"};
constexpr const char* kPublishModes[] = {"change", "every_read"};
constexpr const char* kStateClasses[] = {"measurement", "total", "total_increasing"};
constexpr const char* kTlsVersions[] = {"tlsv1.2", "tlsv1.3"};
// A write's time limit, [line] write_timeout_ms (and its old name in [modbus]).
constexpr long long kShortestWriteTimeoutMs = 100;
constexpr long long kLongestWriteTimeoutMs = 600000;

struct Failure {
    ConfigError error;
};

int LineOf(const toml::source_region& source) { return static_cast<int>(source.begin.line); }

// `"mark" is not one of none, odd, even`.
std::string NotOneOf(const std::string& value, const std::string& known) {
    return "\"" + value + "\" is not one of " + known;
}

// A TOML table whose keys are taken one by one; what is left over is an
// unknown key.
class Section {
public:
    Section(const toml::table& table, std::string prefix, const std::string& file)
        : table_(table), prefix_(std::move(prefix)), file_(file) {}

    [[noreturn]] void Fail(const std::string& key, const std::string& message) const {
        const toml::node* node = table_.get(key);
        throw Failure {{file_, LineOf(node != nullptr ? node->source() : table_.source()), prefix_ + key, message}};
    }

    bool Has(const std::string& key) const { return table_.contains(key); }

    long long Integer(const std::string& key, long long fallback, long long low, long long high) {
        const toml::node* node = Take(key);
        if (node == nullptr) return fallback;
        const auto value = node->value_exact<std::int64_t>();
        if (!value) Fail(key, "expected an integer");
        if (*value < low || *value > high) {
            Fail(key, std::to_string(*value) + " is outside " + std::to_string(low) + " to " + std::to_string(high));
        }
        return *value;
    }

    std::string Text(const std::string& key, const std::string& fallback) {
        const toml::node* node = Take(key);
        if (node == nullptr) return fallback;
        const auto value = node->value_exact<std::string>();
        if (!value) Fail(key, "expected a string");
        if (value->find('\0') != std::string::npos) Fail(key, "a NUL character is not allowed");
        return *value;
    }

    std::string RequiredText(const std::string& key) {
        if (!Has(key)) Fail(key, "missing");
        const std::string value = Text(key, "");
        if (value.empty()) Fail(key, "must not be empty");
        return value;
    }

    bool Boolean(const std::string& key, bool fallback) {
        const toml::node* node = Take(key);
        if (node == nullptr) return fallback;
        const auto value = node->value_exact<bool>();
        if (!value) Fail(key, "expected true or false");
        return *value;
    }

    // A finite number, integer or not.
    double Number(const std::string& key, double fallback) {
        const toml::node* node = Take(key);
        if (node == nullptr) return fallback;
        const auto value = node->value<double>();
        if (!value || node->is_boolean() || !std::isfinite(*value)) Fail(key, "expected a number");
        return *value;
    }

    // One of the names, as its index.
    int Choice(const std::string& key, std::span<const char* const> names, int fallback) {
        if (!Has(key)) return fallback;
        const std::string value = Text(key, "");
        std::string known;
        for (std::size_t index = 0; index < names.size(); ++index) {
            if (value == names[index]) return static_cast<int>(index);
            known += (index == 0 ? "" : ", ") + std::string(names[index]);
        }
        Fail(key, NotOneOf(value, known));
    }

    // A file's path: "" when absent; given, it must not be empty.
    std::string Path(const std::string& key) {
        const std::string path = Text(key, "");
        if (path.empty() && Has(key)) Fail(key, "must not be empty");
        return path;
    }

    // The file key names is of no use: "<path>: <problem>", when there is a problem.
    void CheckFile(const std::string& key, const std::string& path, const std::string& problem) const {
        if (!problem.empty()) Fail(key, path + ": " + problem);
    }

    // A list of strings; empty when absent.
    std::vector<std::string> TextList(const std::string& key) {
        const toml::node* node = Take(key);
        std::vector<std::string> values;
        if (node == nullptr) return values;
        const toml::array* array = node->as_array();
        if (array == nullptr) Fail(key, "expected a list of strings");
        for (const toml::node& element : *array) {
            const auto value = element.value_exact<std::string>();
            if (!value) Fail(key, "expected a list of strings");
            values.push_back(*value);
        }
        return values;
    }

    std::optional<Section> Table(const std::string& key) {
        const toml::node* node = Take(key);
        if (node == nullptr) return std::nullopt;
        if (!node->is_table()) Fail(key, "expected a table");
        return Section(*node->as_table(), prefix_ + key + ".", file_);
    }

    void RejectUnknown() const {
        for (const auto& [key, node] : table_) {
            if (!taken_.contains(std::string(key.str()))) Fail(std::string(key.str()), "unknown key");
        }
    }

    void MarkTaken(const std::string& key) { taken_.insert(key); }

private:
    const toml::node* Take(const std::string& key) {
        taken_.insert(key);
        return table_.get(key);
    }

    const toml::table& table_;
    std::string prefix_;
    const std::string& file_;
    std::set<std::string> taken_;
};

void CheckTopic(Section& section, const std::string& key, const std::string& topic) {
    if (auto problem = PublishTopicProblem(topic); !problem.empty()) section.Fail(key, "\"" + topic + "\" " + problem);
}

// write_timeout_ms, in [line] or, by its old name, in [modbus].
int WriteTimeoutMs(Section& section, int fallback) {
    return static_cast<int>(
        section.Integer("write_timeout_ms", fallback, kShortestWriteTimeoutMs, kLongestWriteTimeoutMs));
}

LineConfig ReadLine(Section line) {
    LineConfig config;
    config.port = line.RequiredText("port");
    config.baud = static_cast<std::uint32_t>(line.Integer("baud", config.baud, 1, 4000000));
    if (std::find(std::begin(kBaudRates), std::end(kBaudRates), config.baud) == std::end(kBaudRates)) {
        line.Fail("baud", std::to_string(config.baud) + " is not a standard rate (300 to 115200)");
    }
    config.dataBits = static_cast<int>(line.Integer("data_bits", config.dataBits, 7, 8));
    config.parity = line.Choice("parity", kParities, config.parity);
    config.stopBits = static_cast<int>(line.Integer("stop_bits", config.stopBits, 1, 2));
    config.linkTimeoutMs = static_cast<std::uint32_t>(line.Integer("link_timeout_ms", config.linkTimeoutMs, 10, 60000));
    config.waitingTimeMs = static_cast<int>(line.Integer("waiting_time_ms", config.waitingTimeMs, 0, 10000));
    config.maxRunBytes = static_cast<int>(line.Integer("max_run_bytes", config.maxRunBytes, 4, kel::kMaxRegisterRun));
    config.maxGapBytes = static_cast<int>(line.Integer("max_gap_bytes", config.maxGapBytes, 0, config.maxRunBytes));
    config.writeTimeoutMs = WriteTimeoutMs(line, config.writeTimeoutMs);
    config.rs485 = line.Boolean("rs485", config.rs485);
    // A delay the line would not use is a mistake, not a setting to ignore.
    for (const char* key : {"rts_delay_before_send_ms", "rts_delay_after_send_ms"}) {
        if (line.Has(key) && !config.rs485) line.Fail(key, "needs rs485 = true");
    }
    config.rtsDelayBeforeSendMs =
        static_cast<int>(line.Integer("rts_delay_before_send_ms", config.rtsDelayBeforeSendMs, 0, 1000));
    config.rtsDelayAfterSendMs =
        static_cast<int>(line.Integer("rts_delay_after_send_ms", config.rtsDelayAfterSendMs, 0, 1000));
    config.delayBetweenRequestsMs =
        static_cast<int>(line.Integer("delay_between_requests_ms", config.delayBetweenRequestsMs, 0, 10000));
    line.RejectUnknown();
    return config;
}

// A server's "listen" key: an IPv4 address, fallback when absent.
std::string ListenAddress(Section& section, const std::string& fallback) {
    const std::string listen = section.Text("listen", fallback);
    in_addr parsed {};
    if (inet_pton(AF_INET, listen.c_str(), &parsed) != 1) {
        section.Fail("listen", "\"" + listen + "\" is not an IPv4 address such as 127.0.0.1 or 0.0.0.0");
    }
    return listen;
}

// A server's "allow" key: the clients it lets in.
AllowList ReadAllowList(Section& section) {
    AllowList allow;
    for (const std::string& entry : section.TextList("allow")) {
        if (auto problem = allow.Add(entry); !problem.empty()) section.Fail("allow", problem);
    }
    if (section.Has("allow") && allow.empty()) section.Fail("allow", "lets nobody in; leave it out to let everyone in");
    return allow;
}

// A table's own certificate and key, cert_file and key_file ([http]'s, and
// [mqtt]'s for the gateway): both or neither.
struct CertificatePair {
    std::string certFile;
    std::string keyFile;
};

CertificatePair ReadCertificatePair(Section& section) {
    CertificatePair pair {section.Path("cert_file"), section.Path("key_file")};
    if (pair.certFile.empty() != pair.keyFile.empty()) {
        section.Fail(pair.certFile.empty() ? "key_file" : "cert_file", "needs both cert_file and key_file");
    }
    return pair;
}

// The files are read here, as a start would, so that --check finds a wrong
// one and a start never serves half-protected, nor a handshake fails at
// every reconnect: each file PEM, and the key the certificate's.
void CheckCertificatePair(const Section& section, const CertificatePair& pair) {
    if (pair.certFile.empty()) return;
    section.CheckFile("cert_file", pair.certFile, CertificateFileProblem(pair.certFile));
    section.CheckFile("key_file", pair.keyFile, KeyFileProblem(pair.keyFile));
    section.CheckFile("key_file", pair.keyFile, KeyMismatchProblem(pair.certFile, pair.keyFile));
}

void ReadHttpProtection(Section& http, HttpConfig& config) {
    config.allow = ReadAllowList(http);
    const CertificatePair pair = ReadCertificatePair(http);
    CheckCertificatePair(http, pair);
    config.certFile = pair.certFile;
    config.keyFile = pair.keyFile;
    const std::string usersFile = http.Path("users_file");
    if (usersFile.empty()) return;
    if (config.certFile.empty()) {
        http.Fail("users_file", "needs cert_file and key_file: passwords would cross the network in clear");
    }
    std::string problem;
    auto users = ReadUsersFile(usersFile, &problem);
    if (!users) http.CheckFile("users_file", usersFile, problem);
    config.users = std::move(*users);
}

// [modbus] write_timeout_ms, the old name of [line] write_timeout_ms (it
// limits MQTT's writes as much as Modbus's), is still taken, silently, in
// its place: not both.
void ReadOldWriteTimeout(Section& modbus, const Section& line, LineConfig& config) {
    if (!modbus.Has("write_timeout_ms")) return;
    if (line.Has("write_timeout_ms")) {
        modbus.Fail("write_timeout_ms", "the old name of line.write_timeout_ms, which is given too: keep that one");
    }
    config.writeTimeoutMs = WriteTimeoutMs(modbus, config.writeTimeoutMs);
}

ModbusConfig ReadModbus(Section modbus, const Section& line, LineConfig& lineConfig) {
    ModbusConfig config;
    config.enabled = true;
    config.listen = ListenAddress(modbus, config.listen);
    config.port = static_cast<int>(modbus.Integer("port", config.port, 0, 65535));
    config.maxClients = static_cast<int>(modbus.Integer("max_clients", config.maxClients, 1, 1000));
    ReadOldWriteTimeout(modbus, line, lineConfig);
    config.idleTimeoutSeconds = static_cast<int>(modbus.Integer("idle_timeout_s", config.idleTimeoutSeconds, 1, 86400));
    config.unitId = static_cast<int>(modbus.Integer("unit_id", config.unitId, 0, 255));
    config.allow = ReadAllowList(modbus);
    config.readOnly = modbus.Boolean("read_only", config.readOnly);
    modbus.RejectUnknown();
    return config;
}

HttpConfig ReadHttp(Section http) {
    HttpConfig config;
    config.enabled = true;
    config.listen = ListenAddress(http, config.listen);
    config.port = static_cast<int>(http.Integer("port", config.port, 0, 65535));
    ReadHttpProtection(http, config);
    http.RejectUnknown();
    return config;
}

// "publish" and "deadband": [mqtt]'s defaults, or a point's own.
void ReadPublishing(Section& section, PublishMode* mode, double* deadband) {
    const int fallback = *mode == PublishMode::kChange ? 0 : 1;
    *mode = section.Choice("publish", kPublishModes, fallback) == 0 ? PublishMode::kChange : PublishMode::kEveryRead;
    *deadband = section.Number("deadband", *deadband);
    if (*deadband < 0) section.Fail("deadband", "must not be negative");
}

// What a point's value means (scaling, unit, Home Assistant's classes) and
// when it is published, [mqtt]'s defaults overridden.
void ReadMeaning(Section& point, const MqttConfig& mqtt, PointConfig& config) {
    if (config.type == ValueType::kRelay) {
        for (const char* key : {"scale", "offset", "precision", "unit", "state_class", "deadband"}) {
            if (point.Has(key)) point.Fail(key, "a relay reads 0 or 1 and takes no " + std::string(key));
        }
    }
    config.scaling.scale = point.Number("scale", config.scaling.scale);
    if (config.scaling.scale == 0) point.Fail("scale", "must not be 0");
    config.scaling.offset = point.Number("offset", config.scaling.offset);
    config.precision = static_cast<int>(point.Integer("precision", config.precision, 0, 9));
    config.unit = point.Text("unit", "");
    config.deviceClass = point.Text("device_class", "");
    const bool plainClass = std::all_of(config.deviceClass.begin(), config.deviceClass.end(), [](char c) {
        return std::islower(static_cast<unsigned char>(c)) || c == '_';
    });
    if (!plainClass) point.Fail("device_class", "\"" + config.deviceClass + "\" is not a class name (a-z and _)");
    if (point.Has("state_class")) config.stateClass = kStateClasses[point.Choice("state_class", kStateClasses, 0)];
    config.publishMode = mqtt.publishMode;
    config.deadband = mqtt.deadband;
    ReadPublishing(point, &config.publishMode, &config.deadband);
    if (config.type == ValueType::kRelay) config.deadband = 0;  // [mqtt]'s is in other points' units
}

// protocol = 5 for MQTT 5; 4, the default, is MQTT 3.1.1 (the level its
// CONNECT carries).
bool ReadMqttProtocol(Section& mqtt) {
    const long long level = mqtt.Integer("protocol", 4, LLONG_MIN, LLONG_MAX);
    if (level != 4 && level != 5) mqtt.Fail("protocol", std::to_string(level) + " is not 4 (MQTT 3.1.1) or 5 (MQTT 5)");
    return level == 5;
}

// The first line of a secret's file, without its line end.
std::string FirstLineOf(Section& section, const std::string& key, const std::string& path) {
    std::ifstream file(path);
    if (!file) section.CheckFile(key, path, std::string("cannot be read: ") + std::strerror(errno));
    std::string line;
    std::getline(file, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) section.CheckFile(key, path, "the first line is empty");
    return line;
}

// [mqtt]'s TLS files and password file, each checked now.
void ReadMqttSecurity(Section& mqtt, MqttConfig& config) {
    config.caFile = mqtt.Path("ca_file");
    const CertificatePair pair = ReadCertificatePair(mqtt);
    config.tlsVersion = kTlsVersions[mqtt.Choice("tls_version", kTlsVersions, 0)];
    for (const char* key : {"cert_file", "tls_version"}) {
        if (mqtt.Has(key) && config.caFile.empty()) mqtt.Fail(key, "needs ca_file, which turns TLS on");
    }
    if (!config.caFile.empty()) mqtt.CheckFile("ca_file", config.caFile, CertificateFileProblem(config.caFile));
    CheckCertificatePair(mqtt, pair);
    config.certFile = pair.certFile;
    config.keyFile = pair.keyFile;
    if (mqtt.Has("password_file")) {
        if (mqtt.Has("password")) mqtt.Fail("password_file", "give password or password_file, not both");
        config.password = FirstLineOf(mqtt, "password_file", mqtt.Path("password_file"));
    }
}

// A password in a configuration every user of the machine may read.
void WarnOfReadablePassword(const std::string& file) {
    struct stat status {};
    if (stat(file.c_str(), &status) != 0 || (status.st_mode & S_IROTH) == 0) return;
    Log(LogLevel::kWarning, file + ": holds the MQTT password and every user may read it: run chmod o-r " + file +
                                ", or move the password to a file of its own named by password_file");
}

MqttConfig ReadMqtt(Section mqtt) {
    MqttConfig config;
    config.enabled = true;
    config.host = mqtt.Text("host", config.host);
    config.port = static_cast<int>(mqtt.Integer("port", config.port, 1, 65535));
    config.clientId = mqtt.Text("client_id", config.clientId);
    config.statusTopic = mqtt.RequiredText("status_topic");
    CheckTopic(mqtt, "status_topic", config.statusTopic);
    config.keepaliveSeconds = static_cast<int>(
        mqtt.Integer("keepalive_s", config.keepaliveSeconds, kMinKeepaliveSeconds, kMaxKeepaliveSeconds));
    config.username = mqtt.Text("username", config.username);
    config.password = mqtt.Text("password", config.password);
    config.publishPeriodSeconds =
        static_cast<int>(mqtt.Integer("publish_period_s", config.publishPeriodSeconds, 1, 86400));
    config.reconnectMinSeconds = static_cast<int>(mqtt.Integer("reconnect_min_s", config.reconnectMinSeconds, 1, 3600));
    config.reconnectMaxSeconds = static_cast<int>(
        mqtt.Integer("reconnect_max_s", std::max(config.reconnectMaxSeconds, config.reconnectMinSeconds),
                     config.reconnectMinSeconds, 3600));
    if (mqtt.Has("discovery_prefix")) {
        config.discoveryPrefix = mqtt.Text("discovery_prefix", "");
        const std::string problem = DiscoveryPrefixProblem(config.discoveryPrefix);
        if (!problem.empty()) mqtt.Fail("discovery_prefix", problem);
    }
    ReadPublishing(mqtt, &config.publishMode, &config.deadband);
    config.protocol5 = ReadMqttProtocol(mqtt);
    ReadMqttSecurity(mqtt, config);
    config.queueMax = static_cast<int>(mqtt.Integer("queue_max", config.queueMax, 1, 10000000));
    mqtt.RejectUnknown();
    return config;
}

ModbusTable TableOf(const PointConfig& point) {
    if (point.type == ValueType::kRelay) return point.writable ? ModbusTable::kCoil : ModbusTable::kDiscreteInput;
    return point.writable ? ModbusTable::kHoldingRegister : ModbusTable::kInputRegister;
}

PointConfig ReadPoint(Section point, const MqttConfig& mqtt) {
    PointConfig config;
    config.name = point.RequiredText("name");
    const bool plainName = std::all_of(config.name.begin(), config.name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
    });
    if (!plainName) point.Fail("name", "letters, digits, _ - and . only");
    config.gas = point.RequiredText("address");
    const std::string typeName = point.RequiredText("type");
    const auto type = ValueTypeNamed(typeName);
    if (!type) point.Fail("type", NotOneOf(typeName, ValueTypeNames()));
    config.type = *type;
    std::string reason;
    if (!CheckPointAddress(config.gas, config.type, &config.item, &reason)) point.Fail("address", reason);
    config.intervalMs = static_cast<int>(point.Integer("interval_ms", config.intervalMs, 10, 86400000));
    config.writable = point.Boolean("writable", config.writable);
    if (config.writable && config.item.area == kel::kAreaT) {
        point.Fail("writable", "a timer/counter value cannot be written (a write sets its contact)");
    }
    const int registers = ModbusRegisters(config.type);
    if (point.Has("modbus")) {
        config.modbusAddress = static_cast<int>(point.Integer("modbus", 0, 0, 65536 - registers));
        config.table = TableOf(config);
    }
    config.wordOrder = point.Choice("word_order", kWordOrders, 0) == 0 ? WordOrder::kHighFirst : WordOrder::kLowFirst;
    config.mqttTopic = point.Text("mqtt_topic", "");
    if (point.Has("mqtt_topic")) {
        if (config.mqttTopic.empty()) point.Fail("mqtt_topic", "must not be empty");
        CheckTopic(point, "mqtt_topic", config.mqttTopic);
    }
    ReadMeaning(point, mqtt, config);
    point.RejectUnknown();
    return config;
}

// Two points may not share a name, a topic or a Modbus address.
void CheckPointsApart(const std::vector<PointConfig>& points, const std::vector<Section>& sections, bool mqtt) {
    std::map<std::string, std::size_t> names;
    std::map<std::string, std::size_t> topics;
    std::map<std::pair<ModbusTable, int>, std::size_t> addresses;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const PointConfig& point = points[i];
        const Section& section = sections[i];
        if (!names.emplace(point.name, i).second) section.Fail("name", "\"" + point.name + "\" is used twice");
        if (!point.mqttTopic.empty()) {
            if (!mqtt) section.Fail("mqtt_topic", "needs an [mqtt] table");
            const auto [at, fresh] = topics.emplace(point.mqttTopic, i);
            if (!fresh) section.Fail("mqtt_topic", "also the topic of " + points[at->second].name);
        }
        if (point.modbusAddress < 0) continue;
        for (int r = 0; r < ModbusRegisters(point.type); ++r) {
            const auto [at, fresh] = addresses.emplace(std::make_pair(point.table, point.modbusAddress + r), i);
            if (!fresh) {
                section.Fail("modbus", std::string(ModbusTableName(point.table)) + " " +
                                           std::to_string(point.modbusAddress + r) + " is also " +
                                           points[at->second].name + "'s");
            }
        }
    }
}

// Each topic the gateway uses has one meaning: a point's value, its
// "<topic>/set" for writes and "<topic>/set/result" for their answers, the
// status, "<status>/counters" or a station's status. A value published where
// the gateway takes writes would be read back as one.
void CheckTopicsApart(const GatewayConfig& config, const std::optional<Section>& mqtt,
                      const std::vector<Section>& sections) {
    if (!mqtt) return;
    std::vector<std::pair<std::string, std::string>> points;
    for (const PointConfig& point : config.points) points.emplace_back(point.name, point.mqttTopic);
    const TopicUses uses(config.mqtt.statusTopic, points);
    for (std::size_t i = 0; i < config.points.size(); ++i) {
        const std::string& topic = config.points[i].mqttTopic;
        if (topic.empty()) continue;
        if (const std::string use = uses.UseOf(topic); !use.empty()) {
            sections[i].Fail("mqtt_topic", "\"" + topic + "\" " + use);
        }
    }
    const std::string& status = config.mqtt.statusTopic;
    if (const std::string use = uses.DerivedUseOf(status); !use.empty()) {
        mqtt->Fail("status_topic", "\"" + status + "\" " + use);
    }
}

// Discovery configs live under their prefix, which the gateway reads back to
// clear stale ones: no other topic of the gateway may be there. Points are
// told apart there by their ids.
void CheckDiscoveryApart(const GatewayConfig& config, const std::optional<Section>& mqtt,
                         const std::vector<Section>& sections) {
    const std::string& prefix = config.mqtt.discoveryPrefix;
    if (!mqtt || prefix.empty()) return;
    const auto under = [&](const std::string& topic) { return topic == prefix || topic.starts_with(prefix + "/"); };
    std::map<std::string, std::size_t> pointOfId;
    for (std::size_t i = 0; i < config.points.size(); ++i) {
        const PointConfig& point = config.points[i];
        if (point.mqttTopic.empty()) continue;
        if (under(point.mqttTopic)) {
            sections[i].Fail("mqtt_topic", "\"" + point.mqttTopic + "\" is under the discovery prefix");
        }
        const auto [at, fresh] = pointOfId.emplace(DiscoveryId(point.name), i);
        if (!fresh) {
            sections[i].Fail("name",
                             "discovery id \"" + at->first + "\" is also " + config.points[at->second].name + "'s");
        }
    }
    if (under(config.mqtt.statusTopic)) {
        mqtt->Fail("status_topic", "\"" + config.mqtt.statusTopic + "\" is under the discovery prefix");
    }
}

StoreConfig ReadStore(Section store) {
    StoreConfig config;
    config.enabled = true;
    config.path = store.RequiredText("path");
    config.maxMb = static_cast<int>(store.Integer("max_mb", config.maxMb, 1, 1048576));
    config.maxAgeHours = static_cast<int>(store.Integer("max_age_h", config.maxAgeHours, 1, 87600));
    config.syncMs = static_cast<int>(store.Integer("sync_ms", config.syncMs, 10, 60000));
    config.historyHours = static_cast<int>(store.Integer("history_h", config.historyHours, 0, 87600));
    config.replayRate = static_cast<int>(store.Integer("replay_rate", config.replayRate, 1, 1000000));
    store.RejectUnknown();
    return config;
}

// An id of the node's topics, as Sparkplug allows it. The problem alone is
// told: an id with a control character would break the error's line.
std::string ReadSparkplugId(Section& section, const std::string& key, bool required) {
    if (!section.Has(key)) {
        if (required) section.Fail(key, "missing");
        return {};
    }
    const std::string id = section.Text(key, "");
    if (const std::string problem = sparkplug::IdProblem(id); !problem.empty()) section.Fail(key, problem);
    return id;
}

SparkplugConfig ReadSparkplug(Section section, const MqttConfig& mqtt) {
    SparkplugConfig config;
    config.enabled = true;
    config.groupId = ReadSparkplugId(section, "group_id", true);
    config.edgeNodeId = ReadSparkplugId(section, "edge_node_id", true);
    config.primaryHostId = ReadSparkplugId(section, "primary_host_id", false);
    config.clientId = section.Text("client_id", config.edgeNodeId);
    if (config.clientId.empty()) section.Fail("client_id", "must not be empty");
    // Two sessions with one client id would take the broker's session from each other.
    if (config.clientId == mqtt.clientId) {
        section.Fail(section.Has("client_id") ? "client_id" : "edge_node_id", "is also [mqtt] client_id");
    }
    section.RejectUnknown();
    return config;
}

GatewayConfig ReadConfig(const toml::table& root, const std::string& file) {
    Section top(root, "", file);
    GatewayConfig config;
    auto line = top.Table("line");
    if (!line) top.Fail("line", "missing: the [line] table names the serial port");
    config.line = ReadLine(*line);
    if (auto modbus = top.Table("modbus")) config.modbus = ReadModbus(*modbus, *line, config.line);
    if (auto http = top.Table("http")) config.http = ReadHttp(*http);
    const std::optional<Section> mqtt = top.Table("mqtt");
    if (mqtt) config.mqtt = ReadMqtt(*mqtt);
    if (mqtt && mqtt->Has("password")) WarnOfReadablePassword(file);
    if (auto store = top.Table("store")) {
        // The store holds what MQTT publishes; without it there is nothing to keep.
        if (!mqtt) top.Fail("store", "needs an [mqtt] table");
        config.store = ReadStore(*store);
    }
    if (auto sparkplug = top.Table("sparkplug")) {
        // The node's session goes to the broker, with the settings, that [mqtt] names.
        if (!mqtt) top.Fail("sparkplug", "needs an [mqtt] table");
        config.sparkplug = ReadSparkplug(*sparkplug, config.mqtt);
    }
    std::vector<Section> sections;
    if (top.Has("point")) {
        const toml::node* node = root.get("point");
        const toml::array* array = node->as_array();
        if (array == nullptr || !array->is_array_of_tables()) top.Fail("point", "expected [[point]] tables");
        int index = 0;
        for (const toml::node& element : *array) {
            sections.emplace_back(*element.as_table(), "point[" + std::to_string(index++) + "].", file);
            config.points.push_back(ReadPoint(sections.back(), config.mqtt));
        }
    }
    top.MarkTaken("point");
    top.RejectUnknown();
    if (config.points.empty()) top.Fail("point", "no [[point]] to scan");
    CheckPointsApart(config.points, sections, config.mqtt.enabled);
    CheckTopicsApart(config, mqtt, sections);
    CheckDiscoveryApart(config, mqtt, sections);
    return config;
}

}  // namespace

const char* ParityName(int parity) {
    return parity >= 0 && parity < static_cast<int>(std::size(kParities)) ? kParities[parity] : "?";
}

const char* ModbusTableName(ModbusTable table) {
    switch (table) {
        case ModbusTable::kCoil: return "coil";
        case ModbusTable::kDiscreteInput: return "discrete input";
        case ModbusTable::kInputRegister: return "input register";
        case ModbusTable::kHoldingRegister: return "holding register";
        case ModbusTable::kNone: break;
    }
    return "none";
}

std::string ConfigError::Text() const {
    std::string text = file;
    if (line > 0) text += ":" + std::to_string(line);
    if (!key.empty()) text += ": " + key;
    return text + ": " + message;
}

std::optional<GatewayConfig> LoadConfig(const std::string& path, ConfigError* error) {
    try {
        const toml::table root = toml::parse_file(path);
        return ReadConfig(root, path);
    } catch (const toml::parse_error& failure) {
        *error = {path, LineOf(failure.source()), "", std::string(failure.description())};
    } catch (const Failure& failure) {
        *error = failure.error;
    }
    return std::nullopt;
}

}  // namespace jwgate
