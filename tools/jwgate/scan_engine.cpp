#include "tools/jwgate/scan_engine.h"

#include <algorithm>

#include "commands/lifecycle.h"
#include "link/read_item.h"
#include "link/read_range.h"
#include "link/write_item.h"
#include "serial/serial_port.h"
#include "tools/jwgate/log.h"

namespace jwgate {
namespace {

using std::chrono::milliseconds;

// A point's raw bytes from the run that read it.
bool RawFromRun(const kel::Item& item, const kel::ItemRange& range, const kel::RangeValues& values,
                std::uint32_t* raw) {
    if (item.area == kel::kAreaR) {
        const int byte = item.address / 8 - range.first;
        *raw = (static_cast<std::uint32_t>(values.values[byte]) >> (item.address % 8)) & 1u;
        return true;
    }
    if (item.area == kel::kAreaT) {
        const int index = item.address - range.first;
        *raw = static_cast<std::uint32_t>(values.values[index]);
        return values.delivered[index];
    }
    std::uint32_t value = 0;
    for (int i = item.bytes - 1; i >= 0; --i) {
        value = value << 8 | static_cast<std::uint32_t>(values.values[item.address - range.first + i]);
    }
    *raw = value;
    return true;
}

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

std::vector<PlanItem> PlanItemsOf(const std::vector<PointConfig>& points) {
    std::vector<PlanItem> items;
    for (std::size_t i = 0; i < points.size(); ++i) items.push_back({points[i].item, static_cast<int>(i)});
    return items;
}

PlanLimits PlanLimitsOf(const LineConfig& line) { return {line.maxRunBytes, line.maxGapBytes}; }

ScanEngine::ScanEngine(const GatewayConfig& config, PointTable& table, WriteQueue& writes)
    : config_(config), table_(table), writes_(writes), due_(config.points.size(), Clock::now()) {}

ScanEngine::~ScanEngine() { Stop(); }

bool ScanEngine::Open(std::string* error) {
    const LineConfig& line = config_.line;
    const kel::LineParameters parameters {line.baud, static_cast<std::uint16_t>(line.dataBits),
                                          static_cast<std::uint16_t>(line.stopBits),
                                          static_cast<std::uint16_t>(line.parity)};
    kel::PortHandle handle = nullptr;
    const int result = kel::OpenPort(line.port.c_str(), &parameters, kel::kOpenHandshakeFlags, &handle);
    if (result != kel::kSerialOk) {
        *error = "cannot open port " + line.port + " (serial layer result " + std::to_string(result) + ")";
        return false;
    }
    line_.baudRate = line.baud;
    line_.replyPauseMs = static_cast<std::uint32_t>(line.waitingTimeMs);
    line_.stop = &stopping_;
    kel::AttachPort(line_, handle, (line.linkTimeoutMs + 9) / 10);
    return true;
}

void ScanEngine::Start() { thread_ = std::thread([this] { Run(); }); }

void ScanEngine::Stop() {
    // Ends the exchange under way too, whatever the link timeout.
    stopping_.store(true);
    writes_.Stop();
    if (thread_.joinable()) thread_.join();
    for (PendingWrite& write : writes_.TakeAll()) {
        if (write.done) write.done(WriteOutcome::kFailed);
    }
    if (line_.port != nullptr) {
        kel::ClosePort(line_.port);
        line_.port = nullptr;
    }
}

ScanCounters ScanEngine::Counters() const {
    const std::lock_guard<std::mutex> lock(countersMutex_);
    return counters_;
}

void ScanEngine::RunWrites() {
    for (PendingWrite& write : writes_.TakeAll()) {
        const PointConfig& point = config_.points.at(write.point);
        const int result =
            kel::WriteItem(line_, point.item, static_cast<std::int32_t>(write.raw), point.gas.c_str());
        const bool done = result == kel::kLinkOk;
        {
            const std::lock_guard<std::mutex> lock(countersMutex_);
            ++counters_.writes;
            if (!done) ++counters_.writeFailures;
        }
        if (!done) Log(LogLevel::kWarning, "write of " + point.name + " failed (link result " + std::to_string(result) + ")");
        // The next scan reads it back.
        due_[write.point] = Clock::now();
        if (write.done) write.done(done ? WriteOutcome::kDone : WriteOutcome::kFailed);
    }
}

void ScanEngine::Deliver(const PlannedRead& read, const kel::RangeValues& values) {
    for (const int owner : read.owners) {
        std::uint32_t raw = 0;
        const auto point = static_cast<std::size_t>(owner);
        if (RawFromRun(config_.points[point].item, read.range, values, &raw)) {
            table_.SetGood(point, raw);
        } else {
            table_.SetBad(point);
        }
    }
}

void ScanEngine::Execute(const PlannedRead& read) {
    int result = kel::kLinkFailed;
    if (read.isRange) {
        kel::RangeValues values;
        result = kel::ReadRange(line_, read.range, &values);
        if (result == kel::kLinkOk) Deliver(read, values);
    } else {
        std::int32_t value = 0;
        bool delivered = false;
        result = kel::ReadItem(line_, read.item, &value, &delivered);
        for (const int owner : read.owners) {
            if (result == kel::kLinkOk) table_.SetGood(static_cast<std::size_t>(owner), static_cast<std::uint32_t>(value));
        }
    }
    if (result != kel::kLinkOk) {
        for (const int owner : read.owners) table_.SetBad(static_cast<std::size_t>(owner));
    }
    {
        const std::lock_guard<std::mutex> lock(countersMutex_);
        ++counters_.exchanges;
        if (result != kel::kLinkOk) ++counters_.failures;
    }
    if ((result != kel::kLinkOk) != lineDown_) {
        lineDown_ = result != kel::kLinkOk;
        Log(lineDown_ ? LogLevel::kWarning : LogLevel::kInfo,
            lineDown_ ? "line: no valid answer (link result " + std::to_string(result) + "); points marked bad"
                      : "line: answering again");
    }
}

void ScanEngine::Run() {
    const PlanLimits limits = PlanLimitsOf(config_.line);
    while (!writes_.stopped()) {
        RunWrites();
        const Clock::time_point start = Clock::now();
        std::vector<PlanItem> items;
        for (std::size_t i = 0; i < due_.size(); ++i) {
            if (due_[i] > start) continue;
            items.push_back({config_.points[i].item, static_cast<int>(i)});
            due_[i] = start + milliseconds(config_.points[i].intervalMs);
        }
        if (!items.empty()) {
            for (const PlannedRead& read : PlanReads(items, limits)) {
                if (writes_.stopped()) break;
                RunWrites();
                Execute(read);
            }
            const double took = MillisecondsSince(start);
            const std::lock_guard<std::mutex> lock(countersMutex_);
            ++counters_.scans;
            counters_.lastScanMs = took;
            counters_.maxScanMs = std::max(counters_.maxScanMs, took);
        }
        writes_.WaitUntil(*std::min_element(due_.begin(), due_.end()));
    }
}

}  // namespace jwgate
