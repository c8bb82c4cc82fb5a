// Bad configuration files: each kind of error names the file, line and key,
// with the driver's own message for a gate address it refuses, on one line.
// The tables run against the configuration loader in this process; one
// jwgate process shows such a line on standard error and exit 78. A good
// file prints the scan plan.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "jwgate/gateway_process.h"
#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/log.h"

namespace jwgate::test {
namespace {

using std::chrono::milliseconds;

const std::string kLine = "[line]\nport = \"pts/99\"\n";
const std::string kMqtt = "[mqtt]\nstatus_topic = \"jw/status\"\n";

std::string Point(const std::string& address, const std::string& type, const std::string& extra = "",
                  const std::string& name = "p") {
    return "[[point]]\nname = \"" + name + "\"\naddress = \"" + address + "\"\ntype = \"" + type + "\"\n" + extra;
}

std::string Topic(const std::string& topic) { return "mqtt_topic = \"" + topic + "\"\n"; }

// [mqtt] with discovery_prefix (line 5) set to value, as TOML.
std::string Discovery(const std::string& value) { return kLine + kMqtt + "discovery_prefix = " + value + "\n"; }

// The loader refuses text with one line naming the file and then message.
void ExpectRefused(const ScratchDirectory& directory, const std::string& text, const std::string& message) {
    SCOPED_TRACE(text);
    const std::string path = directory.Write("bad.toml", text);
    ConfigError error;
    EXPECT_FALSE(LoadConfig(path, &error).has_value());
    const std::string line = error.Text();
    EXPECT_EQ(line.rfind(path + message, 0), 0u) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
}

// The configuration text loaded, or a failed test.
std::optional<GatewayConfig> Loaded(const ScratchDirectory& directory, const std::string& text) {
    const std::string path = directory.Write("good.toml", text);
    ConfigError error;
    std::optional<GatewayConfig> config = LoadConfig(path, &error);
    EXPECT_TRUE(config.has_value()) << error.Text();
    return config;
}

// Lines logged while it lives.
class LoggedLines {
public:
    LoggedLines() {
        SetLogCapture([this](LogLevel, const std::string& text) {
            const std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(text);
        });
    }
    ~LoggedLines() { SetLogCapture({}); }
    std::vector<std::string> Lines() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

TEST(GatewayConfiguration, EachErrorNamesFileLineAndKey) {
    const std::pair<std::string, std::string> cases[] = {
        {"line = [", ":1: Error while parsing"},
        {"[line]\nbaud = 9600\n", ":1: line.port: missing"},
        {kLine + "baud = 1000\n", ":3: line.baud: 1000 is not a standard rate"},
        {kLine + "max_run_bytes = 290\n", ":3: line.max_run_bytes: 290 is outside 4 to 289"},
        {kLine + "parity = \"mark\"\n", ":3: line.parity: \"mark\" is not one of none, odd, even"},
        {kLine + "speed = 1\n", ":3: line.speed: unknown key"},
        {kLine + Point("01MA0100", "u16", "colour = 1\n"), ":7: point[0].colour: unknown key"},
        {kLine + Point("01MA0100", "u16", "interval_ms = \"fast\"\n"), ":7: point[0].interval_ms: expected an integer"},
        {kLine + Point("01MA1600", "u16"), ":5: point[0].address: KELSRP: Gate address 01MA1600 not valid"},
        {kLine + Point("01r0000", "relay"), ":5: point[0].address: KELSRP: GAS 01r0000 length isn't correct"},
        {kLine + Point("01Q00000", "relay"), ":5: point[0].address: KELSRP: GAS 01Q00000 isn't correct"},
        {kLine + Point("01ma0100", "relay"), ":5: point[0].address: KELSRP: Gate address 01MA0100 should be analog!"},
        {kLine + Point("01R00000", "u16"), ":5: point[0].address: KELSRP: Gate address 01R00000 should be digital!"},
        {kLine + Point("01T0005", "u32"), ":5: point[0].address: KELSRP: Gate address 01T0005 should be analog!"},
        {kLine + Point("01MA0100", "u8"), ":5: point[0].address: value type u8 takes 1 byte(s)"},
        {kLine + Point("01MA0100", "double"), ":6: point[0].type: \"double\" is not one of"},
        {kLine + Point("01T0005", "u16", "writable = true\n"), ":7: point[0].writable: a timer/counter value"},
        {kLine + Point("01MA0100", "u16", "mqtt_topic = \"a/b\"\n"), ":7: point[0].mqtt_topic: needs an [mqtt] table"},
        {kLine + Point("01MA0100", "u16", "modbus = 65536\n"), ":7: point[0].modbus: 65536 is outside 0 to 65535"},
        {kLine + Point("01MA0100", "u16", "modbus = 1\n") +
             "[[point]]\nname = \"q\"\naddress = \"01MA0102\"\ntype = \"float\"\nmodbus = 0\n",
         ":12: point[1].modbus: input register 1 is also p's"},
        {kLine + Point("01MA0100", "u16") + Point("01MA0102", "u16"), ":8: point[1].name: \"p\" is used twice"},
        {kLine, ":1: point: no [[point]] to scan"},
        {kLine + kMqtt + Point("01MA0100", "u16", Topic("jw/status/station/01")),
         ":9: point[0].mqtt_topic: \"jw/status/station/01\" is where the stations' statuses go"},
        // RS-485 delays only with the mode, and the line's times bounded.
        {kLine + "rts_delay_before_send_ms = 5\n" + Point("01MA0100", "u16"),
         ":3: line.rts_delay_before_send_ms: needs rs485 = true"},
        {kLine + "rs485 = false\nrts_delay_after_send_ms = 5\n" + Point("01MA0100", "u16"),
         ":4: line.rts_delay_after_send_ms: needs rs485 = true"},
        {kLine + "rs485 = true\nrts_delay_after_send_ms = 1001\n" + Point("01MA0100", "u16"),
         ":4: line.rts_delay_after_send_ms: 1001 is outside 0 to 1000"},
        {kLine + "rs485 = \"yes\"\n" + Point("01MA0100", "u16"), ":3: line.rs485: expected true or false"},
        {kLine + "delay_between_requests_ms = 10001\n" + Point("01MA0100", "u16"),
         ":3: line.delay_between_requests_ms: 10001 is outside 0 to 10000"},
        // What a value means: scaling, decimals, classes, publishing.
        {kLine + Point("01MA0100", "u16", "scale = 0\n"), ":7: point[0].scale: must not be 0"},
        {kLine + Point("01MA0100", "u16", "offset = nan\n"), ":7: point[0].offset: expected a number"},
        {kLine + Point("01MA0100", "u16", "precision = 10\n"), ":7: point[0].precision: 10 is outside 0 to 9"},
        {kLine + Point("01R00010", "relay", "unit = \"V\"\n"), ":7: point[0].unit: a relay reads 0 or 1 and takes no unit"},
        {kLine + Point("01MA0100", "u16", "state_class = \"sum\"\n"),
         ":7: point[0].state_class: \"sum\" is not one of measurement, total, total_increasing"},
        {kLine + Point("01MA0100", "u16", "device_class = \"Temperature\"\n"),
         ":7: point[0].device_class: \"Temperature\" is not a class name (a-z and _)"},
        {kLine + Point("01MA0100", "u16", "publish = \"always\"\n"),
         ":7: point[0].publish: \"always\" is not one of change, every_read"},
        {kLine + Point("01MA0100", "u16", "deadband = -0.5\n"), ":7: point[0].deadband: must not be negative"},
        {kLine + "[http]\nlisten = \"1.2.3\"\n", ":4: http.listen: \"1.2.3\" is not an IPv4 address"},
        {kLine + "[http]\nport = 70000\n", ":4: http.port: 70000 is outside 0 to 65535"},
        // Who may connect, and what needs what.
        {kLine + "[modbus]\nallow = [\"10.20.1.0/16\"]\n",
         ":4: modbus.allow: \"10.20.1.0/16\" has host bits set; the range is 10.20.0.0/16"},
        {kLine + "[modbus]\nallow = [\"plant\"]\n", ":4: modbus.allow: \"plant\" is not an IPv4 address or range"},
        {kLine + "[modbus]\nallow = [\"10.0.0.0/33\"]\n", ":4: modbus.allow: \"10.0.0.0/33\": the prefix length"},
        {kLine + "[modbus]\nallow = []\n", ":4: modbus.allow: lets nobody in"},
        {kLine + "[http]\ncert_file = \"c.pem\"\n", ":4: http.cert_file: needs both cert_file and key_file"},
        {kLine + "[http]\nusers_file = \"users\"\n", ":4: http.users_file: needs cert_file and key_file"},
        {kLine + "[http]\ncert_file = \"\"\n", ":4: http.cert_file: must not be empty"},
        // A write's time limit, under its name and its old one, not both.
        {kLine + "write_timeout_ms = 50\n", ":3: line.write_timeout_ms: 50 is outside 100 to 600000"},
        {kLine + "[modbus]\nwrite_timeout_ms = 600001\n", ":4: modbus.write_timeout_ms: 600001 is outside 100 to 600000"},
        {kLine + "write_timeout_ms = 1000\n[modbus]\nwrite_timeout_ms = 2000\n",
         ":5: modbus.write_timeout_ms: the old name of line.write_timeout_ms, which is given too: keep that one"},
        {kLine + "stop_bits = 0\n", ":3: line.stop_bits: 0 is outside 1 to 2"},
        // Topics: each has one meaning, and "$" ones are the broker's.
        {kLine + kMqtt + Point("01MA0100", "u16", Topic("jw/status")),
         ":9: point[0].mqtt_topic: \"jw/status\" is also the status topic"},
        {kLine + kMqtt + Point("01MA0100", "u16", Topic("jw/status/counters")),
         ":9: point[0].mqtt_topic: \"jw/status/counters\" is where the counters go"},
        {kLine + kMqtt + Point("01MA0100", "u16", Topic("jw/a")) + Point("01MA0102", "u16", Topic("jw/a/set"), "q"),
         ":14: point[1].mqtt_topic: \"jw/a/set\" is where writes to p come in"},
        {kLine + kMqtt + Point("01MA0100", "u16", Topic("jw/a/set")) + Point("01MA0102", "u16", Topic("jw/a"), "q"),
         ":9: point[0].mqtt_topic: \"jw/a/set\" is where writes to q come in"},
        {kLine + "[mqtt]\nstatus_topic = \"jw/a/set\"\n" + Point("01MA0100", "u16", Topic("jw/a")),
         ":4: mqtt.status_topic: \"jw/a/set\" is where writes to p come in"},
        {kLine + kMqtt + Point("01MA0100", "u16", Topic("jw/a")) + Point("01MA0102", "u16", Topic("jw/a/set/result"), "q"),
         ":14: point[1].mqtt_topic: \"jw/a/set/result\" is where writes to p are answered"},
        {kLine + "[mqtt]\nstatus_topic = \"jw/a/set/result\"\n" + Point("01MA0100", "u16", Topic("jw/a")),
         ":4: mqtt.status_topic: \"jw/a/set/result\" is where writes to p are answered"},
        {kLine + kMqtt + Point("01MA0100", "u16", Topic("jw/a")) + Point("01MA0102", "u16", Topic("jw/a/replay"), "q"),
         ":14: point[1].mqtt_topic: \"jw/a/replay\" is where p's missed values are replayed"},
        // The store keeps what MQTT publishes.
        {kLine + "[store]\npath = \"x.db\"\n" + Point("01MA0100", "u16"), ":3: store: needs an [mqtt] table"},
        {kLine + kMqtt + "[store]\n" + Point("01MA0100", "u16"), ":5: store.path: missing"},
        {kLine + kMqtt + "[store]\npath = \"x.db\"\nsync_ms = 5\n" + Point("01MA0100", "u16"),
         ":7: store.sync_ms: 5 is outside 10 to 60000"},
        {kLine + "[mqtt]\nstatus_topic = \"$SYS/jw\"\n" + Point("01MA0100", "u16"),
         ":4: mqtt.status_topic: \"$SYS/jw\" starts with \"$\", kept for the broker's own topics"},
        {kLine + kMqtt + Point("01MA0100", "u16", Topic("$jw/level")),
         ":9: point[0].mqtt_topic: \"$jw/level\" starts with \"$\", kept for the broker's own topics"},
        // Discovery: one plain topic level, and nothing else of the gateway under it.
        {Discovery("\"\"") + Point("01MA0100", "u16"), ":5: mqtt.discovery_prefix: must not be empty"},
        {Discovery("\"ha/x\"") + Point("01MA0100", "u16"), ":5: mqtt.discovery_prefix: one topic level, without \"/\""},
        {Discovery("\"ha+\"") + Point("01MA0100", "u16"), ":5: mqtt.discovery_prefix: \"ha+\" contains \"+\""},
        {Discovery("\"home assistant\"") + Point("01MA0100", "u16"),
         ":5: mqtt.discovery_prefix: letters, digits, _ and - only"},
        {Discovery("5") + Point("01MA0100", "u16"), ":5: mqtt.discovery_prefix: expected a string"},
        {kLine + kMqtt + "protocol = 3\n" + Point("01MA0100", "u16"), ":5: mqtt.protocol: 3 is not 4 (MQTT 3.1.1) or 5 (MQTT 5)"},
        {Discovery("\"ha\"") + Point("01MA0100", "u16", Topic("ha/level")),
         ":10: point[0].mqtt_topic: \"ha/level\" is under the discovery prefix"},
        {kLine + "[mqtt]\nstatus_topic = \"ha/status\"\ndiscovery_prefix = \"ha\"\n" + Point("01MA0100", "u16"),
         ":4: mqtt.status_topic: \"ha/status\" is under the discovery prefix"},
        {Discovery("\"ha\"") + Point("01MA0100", "u16", Topic("jw/a"), "a.b") +
             Point("01MA0102", "u16", Topic("jw/b"), "a_b_108bf50c"),
         ":12: point[1].name: discovery id \"a_b_108bf50c\" is also a.b's"},
        // [mqtt]'s TLS and password files, each checked at start.
        {kLine + kMqtt + "ca_file = \"/nonexistent/ca.pem\"\n",
         ":5: mqtt.ca_file: /nonexistent/ca.pem: cannot be read: No such file or directory"},
        {kLine + kMqtt + "ca_file = \"/dev/null\"\n", ":5: mqtt.ca_file: /dev/null: holds no PEM certificate"},
        {kLine + kMqtt + "cert_file = \"/etc/jw/client.pem\"\n",
         ":5: mqtt.cert_file: needs both cert_file and key_file"},
        {kLine + kMqtt + "cert_file = \"c.pem\"\nkey_file = \"c.key\"\n",
         ":5: mqtt.cert_file: needs ca_file, which turns TLS on"},
        {kLine + kMqtt + "tls_version = \"tlsv1.1\"\n",
         ":5: mqtt.tls_version: \"tlsv1.1\" is not one of tlsv1.2, tlsv1.3"},
        {kLine + kMqtt + "username = \"jw\"\npassword = \"x\"\npassword_file = \"/etc/jw/pw\"\n",
         ":7: mqtt.password_file: give password or password_file, not both"},
        {kLine + kMqtt + "password_file = \"/nonexistent/pw\"\n",
         ":5: mqtt.password_file: /nonexistent/pw: cannot be read: No such file or directory"},
        // [sparkplug]: ids as Sparkplug's topics allow them, on [mqtt]'s broker.
        {kLine + "[sparkplug]\ngroup_id = \"g\"\nedge_node_id = \"e\"\n", ":3: sparkplug: needs an [mqtt] table"},
        {kLine + kMqtt + "[sparkplug]\nedge_node_id = \"e\"\n", ":5: sparkplug.group_id: missing"},
        {kLine + kMqtt + "[sparkplug]\ngroup_id = \"a/b\"\n", ":6: sparkplug.group_id: contains \"/\""},
        {kLine + kMqtt + "client_id = \"e\"\n[sparkplug]\ngroup_id = \"g\"\nedge_node_id = \"e\"\n",
         ":8: sparkplug.edge_node_id: is also [mqtt] client_id"},
    };
    const ScratchDirectory directory;
    for (const auto& [text, message] : cases) ExpectRefused(directory, text, message);
}

// The files [http] names are read by --check as by a start: each wrong one
// is one line naming it and what is wrong. Certificates made here.
TEST(GatewayConfiguration, EachBadFileIsNamed) {
    const ScratchDirectory directory;
    const std::string dir = directory.path();
    const RunResult made = RunProgram(
        {"/bin/sh", "-c", "cd '" + dir + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem "
         "-days 2 -subj /CN=localhost && openssl genpkey -algorithm RSA -out other.pem && htpasswd -cbB users ann pw"},
        milliseconds(60000));
    ASSERT_EQ(made.exitCode, 0) << made.errors;
    directory.Write("notpem", "not a certificate\n");
    directory.Write("users.colon", "ann\n");
    directory.Write("users.md5", "ann:$apr1$2hC2wDzS$T0Q.b3/o3eyM2Yk6eS0IH/\n");
    const auto http = [&](const std::string& cert, const std::string& key, const std::string& users) {
        return kLine + "[http]\ncert_file = \"" + dir + "/" + cert + "\"\nkey_file = \"" + dir + "/" + key +
               "\"\nusers_file = \"" + dir + "/" + users + "\"\n" + Point("01MA0100", "u16");
    };
    const auto mqtt = [&](const std::string& cert, const std::string& key) {
        return kLine + kMqtt + "ca_file = \"" + dir + "/cert.pem\"\ncert_file = \"" + dir + "/" + cert +
               "\"\nkey_file = \"" + dir + "/" + key + "\"\n" + Point("01MA0100", "u16");
    };
    const std::pair<std::string, std::string> cases[] = {
        {http("missing.pem", "key.pem", "users"), ":4: http.cert_file: " + dir + "/missing.pem: cannot be read: No such"},
        {http("notpem", "key.pem", "users"), ":4: http.cert_file: " + dir + "/notpem: holds no PEM certificate"},
        {http("cert.pem", "notpem", "users"), ":5: http.key_file: " + dir + "/notpem: holds no PEM private key"},
        {http("cert.pem", "other.pem", "users"),
         ":5: http.key_file: " + dir + "/other.pem: does not match the certificate in " + dir + "/cert.pem"},
        {http("cert.pem", "key.pem", "missing"), ":6: http.users_file: " + dir + "/missing: cannot be read"},
        {http("cert.pem", "key.pem", "users.colon"), ":6: http.users_file: " + dir + "/users.colon: line 1: expected"},
        {http("cert.pem", "key.pem", "users.md5"),
         ":6: http.users_file: " + dir + "/users.md5: line 1: \"ann\" has no bcrypt hash"},
        // [mqtt]'s own certificate and key are checked as [http]'s are, in the same words.
        {mqtt("cert.pem", "other.pem"),
         ":7: mqtt.key_file: " + dir + "/other.pem: does not match the certificate in " + dir + "/cert.pem"},
        {mqtt("notpem", "key.pem"), ":6: mqtt.cert_file: " + dir + "/notpem: holds no PEM certificate"},
    };
    for (const auto& [text, message] : cases) ExpectRefused(directory, text, message);
    const auto good = Loaded(directory, http("cert.pem", "key.pem", "users"));
    ASSERT_TRUE(good);
    EXPECT_EQ(good->http.users.count("ann"), 1u);
    EXPECT_TRUE(Loaded(directory, mqtt("cert.pem", "key.pem")));
}

// [line] write_timeout_ms limits every write; [modbus]'s key of that name,
// its old name, is taken in its place without a word. stop_bits is a count.
TEST(GatewayConfiguration, TheWriteTimeoutHasItsOldNameAsAnAlias) {
    const ScratchDirectory directory;
    const LoggedLines logged;
    const std::string point = Point("01MA0100", "u16");
    const auto fallback = Loaded(directory, kLine + point);
    const auto named = Loaded(directory, kLine + "write_timeout_ms = 800\nstop_bits = 2\n" + point);
    const auto old = Loaded(directory, kLine + "[modbus]\nwrite_timeout_ms = 700\n" + point);
    ASSERT_TRUE(fallback && named && old);
    EXPECT_EQ(fallback->line.writeTimeoutMs, 5000);
    EXPECT_EQ(fallback->line.stopBits, 1);
    EXPECT_EQ(named->line.writeTimeoutMs, 800);
    EXPECT_EQ(named->line.stopBits, 2);
    EXPECT_EQ(old->line.writeTimeoutMs, 700);
    EXPECT_TRUE(old->modbus.enabled);
    EXPECT_EQ(logged.Lines(), std::vector<std::string>());
}

// The one process of the error tables: a refused file is exit 78 with its
// line on standard error, and nothing on standard output.
TEST(GatewayConfiguration, ARefusedFileExits78WithOneLine) {
    const ScratchDirectory directory;
    const std::string path = directory.Write("bad.toml", kLine + "baud = 1000\n" + Point("01MA0100", "u16"));
    const RunResult result = RunProgram({JWGATE_BINARY, "--config", path, "--check"}, milliseconds(10000));
    EXPECT_EQ(result.exitCode, 78);
    EXPECT_EQ(result.errors, "jwgate: error: " + path + ":3: line.baud: 1000 is not a standard rate (300 to 115200)\n");
    EXPECT_EQ(result.output, "");
}

// A password in a file every user may read: one warning with the fix; the
// same file readable by its owner and group only: none.
TEST(GatewayConfiguration, APasswordReadableByOthersIsWarnedOfOnce) {
    const ScratchDirectory directory;
    const std::string path =
        directory.Write("secret.toml", kLine + kMqtt + "username = \"jw\"\npassword = \"x\"\n" + Point("01MA0100", "u16"));
    const std::string warning = path + ": holds the MQTT password and every user may read it: run chmod o-r " + path;
    for (const mode_t mode : {0644, 0640}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        const LoggedLines logged;
        ConfigError error;
        EXPECT_TRUE(LoadConfig(path, &error).has_value()) << error.Text();
        const std::vector<std::string> lines = logged.Lines();
        ASSERT_EQ(lines.size(), mode == 0644 ? 1u : 0u);
        if (mode == 0644) {
            EXPECT_EQ(lines[0].rfind(warning, 0), 0u) << lines[0];
        }
    }
}

TEST(GatewayConfiguration, CheckPrintsThePlanAndUsageErrorsExit64) {
    const ScratchDirectory directory;
    std::string points;
    for (int i = 0; i < 32; ++i) {
        char address[16];
        std::snprintf(address, sizeof address, "01MA%04o", 0100 + 2 * i);
        points += "[[point]]\nname = \"r" + std::to_string(i) + "\"\naddress = \"" + address + "\"\ntype = \"u16\"\n";
    }
    const std::string path = directory.Write("good.toml", kLine + points);
    const RunResult good = RunProgram({JWGATE_BINARY, "--config", path, "--check"}, milliseconds(10000));
    EXPECT_EQ(good.exitCode, 0) << good.errors;
    EXPECT_NE(good.output.find("a full scan takes 1 exchange(s)"), std::string::npos) << good.output;
    EXPECT_NE(good.output.find("01 MRGA0100A0177"), std::string::npos) << good.output;
    EXPECT_NE(good.output.find("\nstore: none (no [mqtt]"), std::string::npos) << good.output;
    const std::string store = directory.path() + "/line.db";
    const std::string stored = directory.Write("stored.toml", kLine + kMqtt + "[store]\npath = \"" + store + "\"\n" + points);
    const RunResult withStore = RunProgram({JWGATE_BINARY, "--config", stored, "--check"}, milliseconds(10000));
    EXPECT_NE(withStore.output.find("\nstore: " + store + ": does not exist yet\n"), std::string::npos)
        << withStore.output << withStore.errors;
    const RunResult usage = RunProgram({JWGATE_BINARY, "--config", path, "--bogus"}, milliseconds(10000));
    EXPECT_EQ(usage.exitCode, 64);
    EXPECT_EQ(std::count(usage.errors.begin(), usage.errors.end(), '\n'), 1) << usage.errors;
}

}  // namespace
}  // namespace jwgate::test
