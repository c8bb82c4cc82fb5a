#include "tools/jwgate/line/scan_engine.h"

#include <algorithm>
#include <cstring>

#include "commands/lifecycle.h"
#include "link/write_item.h"
#include "serial/open_failure.h"
#include "serial/serial_port.h"
#include "tools/common/link_timeout.h"
#include "tools/jwgate/core/log.h"

namespace jwgate {
namespace {

using std::chrono::milliseconds;
using kel::scan::ItemOutcome;
using kel::scan::PlanItem;
using kel::scan::PlannedRead;
using kel::scan::ReadTurn;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int StationOf(const PlannedRead& read) { return read.isRange ? read.range.station : read.item.station; }

// The serial layer's stop-bits code (0 one, 2 two) of a count of stop bits.
std::uint16_t StopBitsCode(int stopBits) { return stopBits == 2 ? 2 : 0; }

}  // namespace

std::vector<PlanItem> PlanItemsOf(const std::vector<PointConfig>& points) {
    std::vector<PlanItem> items;
    for (std::size_t i = 0; i < points.size(); ++i) items.push_back({points[i].item, static_cast<int>(i)});
    return items;
}

kel::scan::PlanLimits PlanLimitsOf(const LineConfig& line) { return {line.maxRunBytes, line.maxGapBytes}; }

ScanEngine::ScanEngine(std::shared_ptr<const GatewayConfig> config, PointTable& table, WriteQueue& writes)
    : configOwned_(std::move(config)),
      config_(*configOwned_),
      table_(table),
      writes_(writes),
      due_(config_.points.size(), Clock::now()),
      stations_(config_.points) {
    line_.hooks.observer = &attempts_;
}

ScanEngine::~ScanEngine() { Stop(); }

bool ScanEngine::Open(std::string* error, bool* missing) {
    const LineConfig& line = config_.line;
    const kel::LineParameters parameters {line.baud, static_cast<std::uint16_t>(line.dataBits),
                                          StopBitsCode(line.stopBits),
                                          static_cast<std::uint16_t>(line.parity)};
    kel::PortHandle handle = nullptr;
    int errorNumber = 0;
    const int result =
        kel::OpenPort(line.port.c_str(), &parameters, kel::kOpenHandshakeFlags, &handle, &errorNumber);
    if (result != kel::kSerialOk) {
        if (missing != nullptr) *missing = result == kel::kSerialOpenFailed;
        *error = kel::OpenFailureText(line.port, result, errorNumber);
        return false;
    }
    if (line.rs485) {
        const kel::Rs485Settings rs485 {true, static_cast<std::uint32_t>(line.rtsDelayBeforeSendMs),
                                        static_cast<std::uint32_t>(line.rtsDelayAfterSendMs)};
        int errorNumber = 0;
        if (kel::SetRs485Mode(handle, rs485, &errorNumber) != kel::kSerialOk) {
            kel::ClosePort(handle);
            *error = "port " + line.port + " cannot be switched to RS-485: " + std::strerror(errorNumber);
            return false;
        }
    }
    kel::LinkSettings settings = line_.settings();
    settings.baudRate = line.baud;
    settings.replyPauseMs = static_cast<std::uint32_t>(line.waitingTimeMs);
    settings.requestGapMs = static_cast<std::uint32_t>(line.delayBetweenRequestsMs);
    line_.Configure(settings);
    line_.hooks.stop = &stopping_;
    kel::AttachPort(line_, handle, kel::tools::LinkTimeoutUnits(line.linkTimeoutMs));
    const std::lock_guard<std::mutex> lock(countersMutex_);
    counters_.portOpen = true;
    return true;
}

void ScanEngine::Observe(LineStatistics* statistics) {
    statistics_ = statistics;
    attempts_.ForwardTo(statistics);
}

void ScanEngine::Heartbeat(std::function<void()> beat, Clock::duration period) {
    beat_ = std::move(beat);
    beatPeriod_ = period;
}

void ScanEngine::Beat() {
    if (beat_) beat_();
}

Clock::time_point ScanEngine::WakeBy(Clock::time_point at) const {
    if (beatPeriod_ == Clock::duration::max()) return at;
    return std::min(at, Clock::now() + beatPeriod_);
}

bool ScanEngine::Start(std::string* error) {
    bool missing = false;
    if (!Open(&openError_, &missing)) {
        if (!missing) {
            *error = openError_;
            return false;
        }
        // Served all the same, every point bad as it starts: a service that
        // exited here would be restarted until its start limit, with nobody
        // told why.
        Log(LogLevel::kError, "line: " + openError_ +
                                  "; every point bad until it opens, trying again " + kPortReopenBackoff.Text());
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void ScanEngine::Stop() {
    // The stop flag ends the exchange under way too, whatever the link timeout.
    stopping_.store(true);
    writes_.Stop();
    if (thread_.joinable()) thread_.join();
    DropWrites(writes_.TakeAll(), WriteCause::kStopping, "the gateway is stopping");
    if (line_.state.port != nullptr) {
        kel::ClosePort(line_.state.port);
        line_.state.port = nullptr;
    }
    const std::lock_guard<std::mutex> lock(countersMutex_);
    counters_.portOpen = false;
}

ScanCounters ScanEngine::Counters() const {
    const WriteQueueCounts queue = writes_.Counts();
    const std::lock_guard<std::mutex> lock(countersMutex_);
    ScanCounters counters = counters_;
    counters.writesDropped += queue.refused;
    return counters;
}

// Writes that never reach the line: their requesters hear it now, and the
// log says so once for the lot, not once per write.
void ScanEngine::DropWrites(std::vector<PendingWrite> writes, WriteCause cause, const char* why) {
    if (writes.empty()) return;
    const std::size_t count = writes.size();
    const std::string first = config_.points.at(writes.front().point).name;
    {
        const std::lock_guard<std::mutex> lock(countersMutex_);
        counters_.writesDropped += count;
    }
    for (PendingWrite& write : writes) {
        if (write.done) write.done({cause});
    }
    Log(LogLevel::kWarning, "dropped " + std::to_string(count) + " write(s) unsent, first to " + first + ": " + why);
}

void ScanEngine::RunWrites() {
    while (!stopping_.load() && line_.state.port != nullptr) {
        WriteQueue::Taken taken = writes_.TakeNext();
        if (!taken.expired.empty()) {
            DropWrites(std::move(taken.expired), WriteCause::kExpired,
                       ("queued longer than " + std::to_string(config_.line.writeTimeoutMs) + " ms").c_str());
        }
        if (!taken.next) return;
        PendingWrite& write = *taken.next;
        const PointConfig& point = config_.points.at(write.point);
        attempts_.Clear();
        const int result =
            kel::WriteItem(line_, point.item, static_cast<std::int32_t>(write.raw), point.gas.c_str());
        const bool done = result == kel::kLinkOk;
        {
            const std::lock_guard<std::mutex> lock(countersMutex_);
            ++counters_.writes;
            if (!done) ++counters_.writeFailures;
            counters_.writeModeSwitches = line_.state.writeModeRequests;
        }
        if (done) {
            // The controller holds it now: served at once, read back on the next pass.
            table_.SetGood(write.point, write.raw);
        } else if (!stopping_.load()) {
            Log(LogLevel::kWarning, "write of " + point.name + " failed (link result " + std::to_string(result) + ")");
        }
        due_[write.point] = Clock::now();
        if (write.done) write.done(done ? WriteOutcome {} : FailedWrite());
        if (!done) CheckPort();
        Beat();
    }
}

WriteOutcome ScanEngine::FailedWrite() const {
    if (stopping_.load()) return {WriteCause::kStopping};
    if (attempts_.attempts() == 0) return {WriteCause::kNotSent};
    switch (attempts_.last()) {
        case kel::AttemptOutcome::kRefused:
            return {WriteCause::kRefused, attempts_.lastStatus()};
        case kel::AttemptOutcome::kNoReply:
            return {WriteCause::kNoAnswer};
        case kel::AttemptOutcome::kDamaged:
        case kel::AttemptOutcome::kAnswered:  // the write-mode switch around it failed
            break;
    }
    return {WriteCause::kBadReply};
}

ReadTurn ScanEngine::BeforeRead(const PlannedRead& read) {
    RunWrites();
    if (stopping_.load() || line_.state.port == nullptr) return {ReadTurn::Action::kStop};
    // A station found silent earlier in this pass is not tried again in it:
    // its other reads wait for its next try.
    Clock::time_point retryAt;
    if (!stations_.MayTry(StationOf(read), Clock::now(), &retryAt)) {
        for (const PlanItem& item : read.items) {
            table_.SetBad(static_cast<std::size_t>(item.owner));
            due_[static_cast<std::size_t>(item.owner)] = retryAt;
        }
        return {ReadTurn::Action::kSkip};
    }
    readBegan_ = Clock::now();
    // A station known to be silent is probed with one attempt, not five:
    // it costs the others one link timeout now and then.
    return {ReadTurn::Action::kRead, stations_.Silent(StationOf(read)) ? 1 : kel::kMaxAttempts};
}

void ScanEngine::OnItem(const PlanItem& item, ItemOutcome outcome) {
    const auto point = static_cast<std::size_t>(item.owner);
    if (outcome.kind == ItemOutcome::Kind::kValue) {
        table_.SetGood(point, outcome.raw);
    } else {
        table_.SetBad(point);
    }
}

bool ScanEngine::AfterRead(const PlannedRead& read, int result) {
    {
        const std::lock_guard<std::mutex> lock(countersMutex_);
        ++counters_.exchanges;
        if (result != kel::kLinkOk) ++counters_.failures;
    }
    if (stopping_.load()) return false;  // an exchange the stop cut short says nothing of the line
    Beat();
    if (result != kel::kLinkOk) CheckPort();
    if (line_.state.port == nullptr) return false;
    // A refusal is an answer too: only a station that sent no whole frame
    // is silent.
    NoteStation(StationOf(read), result == kel::kLinkOk || line_.state.replyArrived >= readBegan_, result);
    return true;
}

void ScanEngine::NoteStation(int station, bool answered, int result) {
    const bool wasSilent = stations_.Silent(station);
    if (!stations_.Record(station, answered, Clock::now())) return;
    const std::string name = "station " + StationName(station);
    if (answered) {
        if (wasSilent) Log(LogLevel::kInfo, name + ": answering again");  // not on its first answer
    } else {
        Log(LogLevel::kWarning, name + ": no valid answer (link result " + std::to_string(result) +
                                    "); its points marked bad, retried at most every " +
                                    std::to_string(StationTracker::kLongestRetry.count() / 1000) + " s");
    }
    for (std::size_t i = 0; i < config_.points.size(); ++i) {
        if (config_.points[i].item.station != station) continue;
        if (answered) {
            // Those left bad while it was silent are read at once.
            if (table_.Read(i).quality == Quality::kBad) due_[i] = std::min(due_[i], Clock::now());
        } else {
            table_.SetBad(i);
        }
    }
}

void ScanEngine::CheckPort() {
    if (line_.state.port == nullptr || kel::PortResponds(line_.state.port)) return;
    kel::ClosePort(line_.state.port);
    line_.state.port = nullptr;
    reopenDelay_ = kPortReopenBackoff.first;
    for (std::size_t i = 0; i < table_.size(); ++i) table_.SetBad(i);
    {
        const std::lock_guard<std::mutex> lock(countersMutex_);
        counters_.portOpen = false;
    }
    Log(LogLevel::kError, "line: port " + config_.line.port +
                              " failed (the device is gone or not answering); closed it, reopening " +
                              kPortReopenBackoff.Text());
    DropWrites(writes_.TakeAll(), WriteCause::kPortClosed, "the port is closed");
}

void ScanEngine::Reopen() {
    const Clock::time_point at = Clock::now() + reopenDelay_;
    while (!stopping_.load() && Clock::now() < at) {
        // Waiting to reopen is the loop working as meant, not a stuck scan.
        Beat();
        writes_.WaitUntil(WakeBy(at));
        DropWrites(writes_.TakeAll(), WriteCause::kPortClosed, "the port is closed");
    }
    if (stopping_.load()) return;
    std::string error;
    if (!Open(&error)) {
        reopenDelay_ = kPortReopenBackoff.After(reopenDelay_);
        // A new reason is said; the same one again only at debug level.
        const bool news = error != openError_;
        openError_ = error;
        Log(news ? LogLevel::kWarning : LogLevel::kDebug,
            "line: " + (news ? error : "port " + config_.line.port + " still not open") + "; next try in " +
                std::to_string(reopenDelay_.count()) + " s");
        return;
    }
    openError_.clear();
    {
        const std::lock_guard<std::mutex> lock(countersMutex_);
        ++counters_.portReopens;
    }
    std::fill(due_.begin(), due_.end(), Clock::now());
    Log(LogLevel::kInfo, "line: port " + config_.line.port + " open again");
}

void ScanEngine::Run() {
    const kel::scan::PlanLimits limits = PlanLimitsOf(config_.line);
    while (!stopping_.load()) {
        Beat();
        if (line_.state.port == nullptr) {
            Reopen();
            continue;
        }
        RunWrites();
        const Clock::time_point start = Clock::now();
        std::vector<PlanItem> items;
        for (std::size_t i = 0; i < due_.size(); ++i) {
            if (due_[i] > start) continue;
            // A silent station's points wait for its next try.
            Clock::time_point retryAt;
            if (!stations_.MayTry(config_.points[i].item.station, start, &retryAt)) {
                due_[i] = retryAt;
                continue;
            }
            items.push_back({config_.points[i].item, static_cast<int>(i)});
            due_[i] = start + milliseconds(config_.points[i].intervalMs);
        }
        if (!items.empty()) {
            kel::scan::ExecutePlan(line_, kel::scan::PlanReads(items, limits), *this);
            const double took = MillisecondsSince(start);
            if (statistics_ != nullptr) statistics_->AddScan(took / 1000.0);
            const std::lock_guard<std::mutex> lock(countersMutex_);
            ++counters_.scans;
            counters_.lastScanMs = took;
            counters_.maxScanMs = std::max(counters_.maxScanMs, took);
        }
        if (line_.state.port != nullptr) writes_.WaitUntil(WakeBy(*std::min_element(due_.begin(), due_.end())));
    }
}

}  // namespace jwgate
