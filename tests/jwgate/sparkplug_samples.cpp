// Writes what the edge node's session publishes over a scripted run, for the
// Python primary host to check (tests/jwgate/sparkplug_host.py): each
// message's payload as NNNN.bin, the same printed by the gateway's decoder
// as NNNN.json, and "NNNN <topic>" lines in topics.txt, the will first.
// usage: sparkplug_samples DIR
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tools/jwgate/sparkplug/edge_session.h"
#include "tools/jwgate/sparkplug/payload_json.h"

namespace {

using namespace jwgate;
using namespace jwgate::sparkplug;

PointConfig Point(const std::string& name, int station, ValueType type, double scale, const std::string& unit) {
    PointConfig point;
    point.name = name;
    point.item.station = station;
    point.type = type;
    point.scaling.scale = scale;
    point.unit = unit;
    point.writable = true;
    return point;
}

class Recorder {
public:
    explicit Recorder(std::string directory) : directory_(std::move(directory)), topics_(directory_ + "/topics.txt") {}
    void Take(const SessionOutput& output) {
        for (const Outgoing& message : output.publish) Write(message);
    }
    void Write(const Outgoing& message) {
        char name[16];
        std::snprintf(name, sizeof name, "%04d", count_++);
        std::ofstream(directory_ + "/" + name + ".bin", std::ios::binary) << message.payload;
        std::ofstream(directory_ + "/" + name + ".json") << PayloadJson(message.payload).value_or("");
        topics_ << name << " " << message.topic << "\n";
    }
    bool Good() const { return topics_.good(); }

private:
    std::string directory_;
    std::ofstream topics_;
    int count_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: sparkplug_samples DIR\n", stderr);
        return 64;
    }
    const std::vector<PointConfig> points = {Point("level", 1, ValueType::kU16, 1, "mm"),
                                             Point("temp", 1, ValueType::kI16, 0.1, "\xC2\xB0" "C"),
                                             Point("pump", 2, ValueType::kRelay, 1, ""),
                                             Point("flow", 2, ValueType::kFloat, 1, "l/s")};
    EdgeSession session({true, "Plant 1", "line-a", "", "line-a"}, points);
    Recorder recorder(argv[1]);
    std::int64_t now = 1765180800000;
    recorder.Write(session.Will(41, now));
    session.StationUp(1, now);
    session.StationUp(2, now);
    session.Values({{"level", 120, Quality::kGood, now - 500}, {"temp", 21.5, Quality::kGood, now - 500}}, now);
    recorder.Take(session.Connected(41, now));
    for (int change = 0; change < 300; ++change) {
        now += 10;
        const double sign = change % 2 == 0 ? 1 : -1;
        recorder.Take(session.Values({{"level", double(change), Quality::kGood, now},
                                      {"temp", sign * change / 10.0, Quality::kGood, now},
                                      {"flow", change * 0.25, change % 7 == 0 ? Quality::kBad : Quality::kGood, now},
                                      {"pump", double(change % 2), Quality::kStale, now}},
                                     now));
    }
    recorder.Take(session.StationDown(2, now));
    recorder.Take(session.StationUp(2, now));
    recorder.Take(session.History({{"level", 7, Quality::kGood, now - 60000}, {"pump", 1, Quality::kGood, now - 50000}},
                                  now));
    ScanCounters counters;
    counters.exchanges = 900;
    counters.portOpen = true;
    recorder.Take(session.Counters(counters, now));
    recorder.Take(session.Stop(now));
    return recorder.Good() ? 0 : 1;
}
