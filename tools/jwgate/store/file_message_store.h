// The store in a SQLite file. Appends and acknowledgements go to memory
// under mutex_ and never wait for the disk; the commit thread takes them
// every sync_ms into one transaction, then applies the limits. The ids not
// yet acknowledged are kept in memory, per lane (laneUnsent_) and on any
// (unsent_, the backlog): the authority on what Unsent may answer, so a row
// read from the file whose acknowledgement is not yet committed is left out.
#pragma once

#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "tools/jwgate/store/drop_episode.h"
#include "tools/jwgate/store/id_ranges.h"
#include "tools/jwgate/store/kept_values.h"
#include "tools/jwgate/store/message_store.h"
#include "tools/jwgate/store/store_file_reader.h"
#include "tools/jwgate/store/store_file_writer.h"

namespace jwgate {

class FileMessageStore final : public MessageStore {
public:
    // The file is a store already (or a new one); nullptr with *error when
    // its connections cannot be set up.
    static std::unique_ptr<FileMessageStore> Start(const StoreConfig& config, std::size_t queueMax, std::string* error);
    FileMessageStore(const StoreConfig& config, std::size_t queueMax, StoreFileWriter writer);
    ~FileMessageStore() override;

    std::uint64_t Append(StoredReading reading, StoreLanes lanes = kJsonLane) override;
    std::uint64_t Append(StoredAnswer answer) override;
    void Acknowledge(std::uint64_t id, StoreLanes lane = kJsonLane) override;
    std::vector<StoredMessage> Unsent(std::uint64_t after, std::size_t max, StoreLanes lane = kJsonLane) override;
    std::vector<HistoryRow> History(const std::string& point, std::int64_t fromMs, std::int64_t toMs,
                                    std::size_t limit) override;
    StoreStatistics Statistics() const override;
    std::optional<std::int64_t> Kept(const std::string& name) override { return kept_.Get(name); }
    bool Keep(const std::string& name, std::int64_t value) override { return kept_.Set(name, value); }

private:
    int Load(std::string* error);
    std::uint64_t Push(std::variant<StoredReading, StoredAnswer> body, StoreLanes lanes);
    // Under mutex_: the ids still unsent on lane (one bit).
    IdRanges& LaneUnsent(StoreLanes lane) { return laneUnsent_[lane == kSparkplugLane ? 1 : 0]; }
    // Under mutex_: the lanes id is still unsent on.
    StoreLanes LanesOf(std::uint64_t id) const;
    // Under mutex_: ids up to last leave every lane; how many messages left the backlog.
    std::uint64_t EraseUnsentUpTo(std::uint64_t last);
    void Run();
    // True when more of the tail waits.
    bool CommitCycle();
    // False when the file could not be read: nothing after it may be answered.
    bool ReadUnsentFile(std::uint64_t after, std::size_t max, StoreLanes lane, std::vector<StoredMessage>* unsent);
    void AddUnsentTail(std::uint64_t after, std::size_t max, StoreLanes lane, std::vector<StoredMessage>* unsent);
    // The limits, after a commit.
    void Maintain();
    void DropUnsentUpTo(std::uint64_t last, const std::string& why);
    int KeepUnderSize();
    void NoteOldestAndSize();
    void Fault(int code, const std::string& doing, const std::string& error);
    void FaultLocked(int code, const std::string& doing, const std::string& error);
    void RecoveredLocked();
    // The file found damaged goes aside, its unsent messages counted as
    // dropped; the store goes on in a new one.
    void StartAnew();
    bool Damaged() const;

    const StoreConfig config_;
    const std::size_t tailMax_;
    StoreFileWriter writer_;        // the commit thread's
    StoreFileReader unsentReader_;  // under handoff_
    KeptValues kept_;
    std::mutex historyMutex_;
    StoreFileReader historyReader_;

    // Held while Unsent reads the file and while the commit thread takes
    // committed rows off the tail: a row is always in one or the other.
    std::mutex handoff_;
    mutable std::mutex mutex_;
    std::deque<StoredMessage> tail_;  // appended, not yet committed; by id
    std::vector<LaneAcknowledgement> acknowledged_;  // not yet committed
    IdRanges unsent_;                      // on any lane: the backlog
    std::array<IdRanges, 2> laneUnsent_;   // the JSON lane's, the Sparkplug lane's
    std::uint64_t nextId_ = 1;
    std::uint64_t committing_ = 0;  // the last id of the commit running now; 0 without
    std::int64_t oldestProducedMs_ = 0;  // of unsent_'s first, as of the last cycle
    std::uint64_t bytes_ = 0;
    std::string fault_;
    std::string damage_;  // what found the file damaged; empty when nothing did
    mutable DropEpisode episode_;
    Clock::time_point lastPrune_ {};

    std::mutex stopMutex_;
    std::condition_variable stopSignal_;
    bool stopping_ = false;
    std::thread committer_;
};

}  // namespace jwgate
