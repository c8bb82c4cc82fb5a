// The thread that owns the serial line: it reads the points that are due in
// the planned exchanges, puts writes on the line between exchanges ahead of
// reads, and keeps the point table.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/link_context.h"
#include "scan/plan_executor.h"
#include "scan/scan_planner.h"
#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/backoff.h"
#include "tools/jwgate/core/scan_counters.h"
#include "tools/jwgate/line/attempt_recorder.h"
#include "tools/jwgate/line/line_statistics.h"
#include "tools/jwgate/core/point_table.h"
#include "tools/jwgate/line/station_tracker.h"
#include "tools/jwgate/core/write_queue.h"

namespace jwgate {

// Each point's item as the planner takes it, owner = point index.
std::vector<kel::scan::PlanItem> PlanItemsOf(const std::vector<PointConfig>& points);
kel::scan::PlanLimits PlanLimitsOf(const LineConfig& line);

// The scan carries out each pass's plan with kel::scan::ExecutePlan and
// supplies what its reads need around them as the plan's visitor.
class ScanEngine : private kel::scan::PlanVisitor {
public:
    ScanEngine(std::shared_ptr<const GatewayConfig> config, PointTable& table, WriteQueue& writes);
    ~ScanEngine() override;  // Stop()
    ScanEngine(const ScanEngine&) = delete;
    ScanEngine& operator=(const ScanEngine&) = delete;

    // Opens the port with the line's settings and starts scanning. A port
    // that cannot be opened yet (a USB adapter not enumerated) is said once
    // in the log and tried again with the back-off of a port that went away,
    // every point bad meanwhile. False with the reason only for a port that
    // opens but refuses the line's settings (a baud rate, RS-485): waiting
    // does not mend that.
    bool Start(std::string* error);
    // Ends the exchange under way at once, whatever the link timeout, fails
    // the writes still waiting (and those that come later), and closes the
    // port. Idempotent.
    void Stop();

    // Tells statistics every attempt's outcome and every scan's duration;
    // set before Start.
    void Observe(LineStatistics* statistics);
    // Calls beat from the scan thread after every exchange and every turn of
    // the scan loop, waking at least every period to do so: a scan held in
    // one exchange stops the beats. Set before Start.
    void Heartbeat(std::function<void()> beat, Clock::duration period);

    ScanCounters Counters() const;
    // Each station's state, in station order. Thread-safe.
    std::vector<StationState> Stations() const { return stations_.Snapshot(); }

private:
    // Opens the port; false with the reason, *missing when the device
    // itself could not be opened (as against refusing the settings).
    bool Open(std::string* error, bool* missing = nullptr);
    void Beat();
    // The earlier of at and the next heartbeat.
    Clock::time_point WakeBy(Clock::time_point at) const;
    void Run();
    void RunWrites();
    void DropWrites(std::vector<PendingWrite> writes, WriteCause cause, const char* why);
    // Why a write that WriteItem did not carry out failed, from its attempts.
    WriteOutcome FailedWrite() const;
    // The plan's visitor: before a read, the writes waiting and the station's
    // attempts; each point's value; after it, the station's state.
    kel::scan::ReadTurn BeforeRead(const kel::scan::PlannedRead& read) override;
    void OnItem(const kel::scan::PlanItem& item, kel::scan::ItemOutcome outcome) override;
    bool AfterRead(const kel::scan::PlannedRead& read, int result) override;
    // After a read of station: its state, and its points when it stopped
    // answering or answers again.
    void NoteStation(int station, bool answered, int result);
    // After a failed exchange: closes a port whose device has gone.
    void CheckPort();
    // With the port closed: waits out the back-off, failing writes that
    // come meanwhile, and tries to open it again.
    void Reopen();

    const std::shared_ptr<const GatewayConfig> configOwned_;
    const GatewayConfig& config_;  // *configOwned_
    PointTable& table_;
    WriteQueue& writes_;
    std::atomic<bool> stopping_ {false};
    kel::LinkContext line_;
    std::vector<Clock::time_point> due_;
    Clock::time_point readBegan_;  // when the read under way began
    StationTracker stations_;
    LineStatistics* statistics_ = nullptr;
    AttemptRecorder attempts_;  // the link's observer
    std::chrono::seconds reopenDelay_ = kPortReopenBackoff.first;
    std::string openError_;  // why the port last failed to open, said once
    std::function<void()> beat_;
    Clock::duration beatPeriod_ = Clock::duration::max();

    mutable std::mutex countersMutex_;
    ScanCounters counters_;
    // Last, so that everything its thread uses outlives it.
    std::thread thread_;
};

}  // namespace jwgate
