// The edge node's session fed sequences of events: the messages it
// publishes, in order, with their seq, as a host sees them. What the node
// check (sparkplug_node_check.py) sees of a real gateway is not repeated
// here: a silent station, history after an outage, a primary host going
// offline, commands.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tools/jwgate/sparkplug/edge_session.h"

namespace jwgate::sparkplug {
namespace {

PointConfig Point(const std::string& name, int station, ValueType type, bool writable, double scale = 1) {
    PointConfig point;
    point.name = name;
    point.item.station = station;
    point.type = type;
    point.writable = writable;
    point.scaling.scale = scale;
    return point;
}

const std::vector<PointConfig> kPoints = {Point("level", 1, ValueType::kU16, true),
                                          Point("temp", 1, ValueType::kI16, true, 0.1),
                                          Point("pump", 2, ValueType::kRelay, false)};

SparkplugConfig Node(const std::string& primaryHost) { return {true, "plant", "line-a", primaryHost, "line-a"}; }

StoredReading Good(const std::string& point, double value, std::int64_t readMs = 1000) {
    return {point, value, Quality::kGood, readMs};
}

std::string State(bool online, int timestamp) {
    return std::string("{\"online\": ") + (online ? "true" : "false") + ", \"timestamp\": " + std::to_string(timestamp) +
           "}";
}

std::string Rebirth(bool value) {
    Payload payload;
    payload.set_timestamp(1);
    Metric& metric = *payload.add_metrics();
    metric.set_name("Node Control/Rebirth");
    metric.set_datatype(sparkplug_b::Boolean);
    metric.set_boolean_value(value);
    return payload.SerializeAsString();
}

// "DBIRTH/station01 seq=1", "NDEATH bdSeq=3", ... and "disconnect".
std::vector<std::string> Seen(const SessionOutput& output) {
    std::vector<std::string> seen;
    for (const Outgoing& message : output.publish) {
        const auto topic = ParseTopic(message.topic);
        Payload payload;
        EXPECT_TRUE(topic && payload.ParseFromString(message.payload)) << message.topic;
        std::string line = MessageTypeName(topic->type) + (topic->device.empty() ? "" : "/" + topic->device);
        if (payload.has_seq()) line += " seq=" + std::to_string(payload.seq());
        if (topic->type == MessageType::kNBirth || topic->type == MessageType::kNDeath) {
            line += " bdSeq=" + std::to_string(payload.metrics(0).long_value());
        }
        if (payload.metrics_size() > 0 && payload.metrics(0).is_historical()) line += " historical";
        seen.push_back(line);
    }
    if (output.disconnect) seen.push_back("disconnect");
    return seen;
}

using Step = std::function<SessionOutput(EdgeSession&)>;

Step Connect(std::uint64_t bdSeq) { return [=](EdgeSession& s) { return s.Connected(bdSeq, 5000); }; }
Step Up(int station) { return [=](EdgeSession& s) { return s.StationUp(station, 5000); }; }
Step Host(bool online, int timestamp) {
    return [=](EdgeSession& s) { return s.Received("spBv1.0/STATE/scada", State(online, timestamp), 5000); };
}
Step Values(std::vector<StoredReading> readings) { return [=](EdgeSession& s) { return s.Values(readings, 5000); }; }
Step Command(const std::string& topic, const std::string& payload) {
    return [=](EdgeSession& s) { return s.Received(topic, payload, 5000); };
}
Step Stop() { return [](EdgeSession& s) { return s.Stop(5000); }; }
Step Disconnected() {
    return [](EdgeSession& s) {
        s.Disconnected();
        return SessionOutput {};
    };
}

TEST(SparkplugSession, PublishesWhatTheStandardOrdersForEachSequenceOfEvents) {
    struct Case {
        const char* what;
        std::string primaryHost;
        std::vector<Step> steps;
        std::vector<std::string> seen;
    };
    const Case cases[] = {
        {"without a primary host, births at once: the node, then each answering station",
         "", {Up(2), Up(1), Connect(7)},
         {"NBIRTH seq=0 bdSeq=7", "DBIRTH/station01 seq=1", "DBIRTH/station02 seq=2"}},
        {"a station without points is no device", "", {Up(5), Connect(0)}, {"NBIRTH seq=0 bdSeq=0"}},
        {"a STATE older than the last one taken changes nothing; a newer offline ends the session",
         "scada", {Connect(3), Host(true, 20), Host(false, 19), Host(false, 21), Host(true, 22)},
         {"NBIRTH seq=0 bdSeq=3", "NDEATH bdSeq=3", "disconnect"}},
        {"after an offline host the next connection waits for it again",
         "scada", {Connect(3), Host(true, 20), Host(false, 21), Connect(4), Host(false, 21), Host(true, 23)},
         {"NBIRTH seq=0 bdSeq=3", "NDEATH bdSeq=3", "disconnect", "NBIRTH seq=0 bdSeq=4"}},
        {"a connection lost with the host online waits for its STATE on the next one (a restarted broker)",
         "scada", {Connect(3), Host(true, 20), Disconnected(), Connect(4)}, {"NBIRTH seq=0 bdSeq=3"}},
        {"another host's STATE is not the primary's", "scada",
         {Connect(3), Command("spBv1.0/STATE/other", State(true, 30))}, {}},
        {"values go out per station, those of a dead one held for its birth",
         "", {Up(1), Connect(1), Values({Good("level", 4), Good("pump", 1), Good("temp", 2.5)})},
         {"NBIRTH seq=0 bdSeq=1", "DBIRTH/station01 seq=1", "DDATA/station01 seq=2"}},
        {"Rebirth starts again at NBIRTH with the same bdSeq; false asks nothing",
         "", {Up(1), Connect(4), Values({Good("level", 4)}), Command("spBv1.0/plant/NCMD/line-a", Rebirth(false)),
              Command("spBv1.0/plant/NCMD/line-a", Rebirth(true))},
         {"NBIRTH seq=0 bdSeq=4", "DBIRTH/station01 seq=1", "DDATA/station01 seq=2", "NBIRTH seq=0 bdSeq=4",
          "DBIRTH/station01 seq=1"}},
        {"another node's commands are not ours", "",
         {Connect(4), Command("spBv1.0/plant/NCMD/line-b", Rebirth(true))}, {"NBIRTH seq=0 bdSeq=4"}},
        {"nothing before the connection; a stop publishes NDEATH and disconnects",
         "", {Up(1), Values({Good("level", 4)}), Connect(9), Stop(), Values({Good("level", 5)})},
         {"NBIRTH seq=0 bdSeq=9", "DBIRTH/station01 seq=1", "NDEATH bdSeq=9", "disconnect"}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        EdgeSession session(Node(test.primaryHost), kPoints);
        std::vector<std::string> seen;
        for (const Step& step : test.steps) {
            const std::vector<std::string> more = Seen(step(session));
            seen.insert(seen.end(), more.begin(), more.end());
        }
        EXPECT_EQ(seen, test.seen);
    }
}

TEST(SparkplugSession, TheBirthCarriesTheLatestValuesAndHistoryIsNotTakenAsOne) {
    EdgeSession session(Node(""), kPoints);
    session.Connected(1, 1);
    session.Values({Good("level", 4, 100)}, 2);
    session.History({Good("level", 3, 50)}, 3);
    const SessionOutput birth = session.StationUp(1, 4);
    ASSERT_EQ(birth.publish.size(), 1u);
    Payload payload;
    ASSERT_TRUE(payload.ParseFromString(birth.publish[0].payload));
    ASSERT_EQ(payload.metrics_size(), 2);
    EXPECT_EQ(payload.metrics(0).name(), "level");
    EXPECT_EQ(payload.metrics(0).int_value(), 4u);
    EXPECT_EQ(payload.metrics(0).timestamp(), 100u);
    EXPECT_TRUE(payload.metrics(1).is_null());  // never read
}

TEST(SparkplugSession, HistoryOfADeadStationIsHandedBackUnsent) {
    EdgeSession session(Node(""), kPoints);
    session.Connected(1, 1);
    const SessionOutput output = session.History({Good("pump", 1, 10), Good("level", 2, 11)}, 2);
    EXPECT_TRUE(output.publish.empty());
    ASSERT_EQ(output.held.size(), 2u);
    EXPECT_EQ(output.held[1].point, "level");
}

TEST(SparkplugSession, BdSeqGoesUpByOneAndRoundAfter255) {
    const std::pair<std::uint64_t, std::uint64_t> cases[] = {{0, 1}, {41, 42}, {254, 255}, {255, 0}};
    for (const auto& [last, next] : cases) EXPECT_EQ(NextBdSeq(last), next) << last;
}

}  // namespace
}  // namespace jwgate::sparkplug
