#include "tools/jwgate/store/file_message_store.h"

#include <algorithm>

#include "tools/jwgate/core/log.h"
#include "tools/jwgate/store/produced_time.h"
#include "tools/jwgate/store/store_file_aside.h"
#include "tools/jwgate/store/store_schema.h"

namespace jwgate {

namespace {

constexpr std::int64_t kMsPerHour = 3600 * 1000;
constexpr std::uint64_t kBytesPerMb = 1024 * 1024;
// A commit's most messages: a tail left by a refusing disk goes in parts,
// each small beside max_mb.
constexpr std::size_t kMostPerCommit = 5000;
constexpr auto kHistoryPruneEvery = std::chrono::seconds(10);
// Rows a pruning round deletes per byte over the mark: a reading's row and
// its index entries take about this much.
constexpr std::uint64_t kBytesPerRowEstimate = 64;

std::deque<StoredMessage>::const_iterator FirstAbove(const std::deque<StoredMessage>& tail, std::uint64_t after) {
    return std::upper_bound(tail.begin(), tail.end(), after,
                            [](std::uint64_t id, const StoredMessage& message) { return id < message.id; });
}

}  // namespace

std::unique_ptr<FileMessageStore> FileMessageStore::Start(const StoreConfig& config, std::size_t queueMax,
                                                          std::string* error) {
    SqliteConnection db;
    int code = db.Open(config.path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    StoreFileWriter writer(std::move(db), config.historyHours > 0);
    if (code == SQLITE_OK) code = writer.Prepare(static_cast<std::uint64_t>(config.maxMb) * kBytesPerMb);
    if (code != SQLITE_OK) {
        *error = config.path + ": cannot be opened for writing (" + writer.Error() + ")";
        return nullptr;
    }
    auto store = std::make_unique<FileMessageStore>(config, queueMax, std::move(writer));
    if (store->Load(error) != SQLITE_OK) return nullptr;
    store->committer_ = std::thread(&FileMessageStore::Run, store.get());
    return store;
}

FileMessageStore::FileMessageStore(const StoreConfig& config, std::size_t queueMax, StoreFileWriter writer)
    : config_(config), tailMax_(std::max<std::size_t>(queueMax, 1)), writer_(std::move(writer)),
      episode_(config.path) {}

int FileMessageStore::Load(std::string* error) {
    int code = writer_.NextId(&nextId_);
    if (code == SQLITE_OK) code = unsentReader_.Open(config_.path);
    if (code == SQLITE_OK) code = historyReader_.Open(config_.path);
    if (code == SQLITE_OK) code = kept_.Open(config_.path);
    if (code == SQLITE_OK) code = unsentReader_.UnsentIds(kEveryLane, &unsent_);
    if (code == SQLITE_OK) code = unsentReader_.UnsentIds(kJsonLane, &LaneUnsent(kJsonLane));
    if (code == SQLITE_OK) code = unsentReader_.UnsentIds(kSparkplugLane, &LaneUnsent(kSparkplugLane));
    if (code != SQLITE_OK) {
        *error = config_.path + ": cannot be read (" + writer_.Error() + ")";
        return code;
    }
    NoteOldestAndSize();
    return SQLITE_OK;
}

FileMessageStore::~FileMessageStore() {
    {
        std::lock_guard lock(stopMutex_);
        stopping_ = true;
    }
    stopSignal_.notify_all();
    if (committer_.joinable()) committer_.join();
}

std::uint64_t FileMessageStore::Append(StoredReading reading, StoreLanes lanes) {
    return Push(std::move(reading), lanes);
}

std::uint64_t FileMessageStore::Append(StoredAnswer answer) { return Push(std::move(answer), kJsonLane); }

StoreLanes FileMessageStore::LanesOf(std::uint64_t id) const {
    StoreLanes lanes = 0;
    if (laneUnsent_[0].Contains(id)) lanes |= kJsonLane;
    if (laneUnsent_[1].Contains(id)) lanes |= kSparkplugLane;
    return lanes;
}

std::uint64_t FileMessageStore::EraseUnsentUpTo(std::uint64_t last) {
    for (IdRanges& lane : laneUnsent_) lane.EraseUpTo(last);
    return unsent_.EraseUpTo(last);
}

std::uint64_t FileMessageStore::Push(std::variant<StoredReading, StoredAnswer> body, StoreLanes lanes) {
    std::lock_guard lock(mutex_);
    // While the disk refuses, the tail is all there is: it stays bounded.
    std::uint64_t dropped = 0;
    while (tail_.size() >= tailMax_) {
        std::uint64_t id = tail_.front().id;
        const StoreLanes unsentOn = LanesOf(id);
        if (unsent_.Erase(id)) {
            ++dropped;
            for (IdRanges& lane : laneUnsent_) lane.Erase(id);
            // It may be in the commit running now: it must not stay unsent there.
            if (id <= committing_) acknowledged_.push_back({id, unsentOn});
        }
        tail_.pop_front();
    }
    if (dropped > 0) {
        std::string why = fault_.empty() ? std::to_string(tailMax_) + " messages wait for a commit" : fault_;
        episode_.Dropped(dropped, why, Clock::now());
    }
    std::uint64_t id = nextId_++;
    tail_.push_back(StoredMessage {id, ProducedMs(), std::move(body)});
    if (lanes == 0) return id;
    unsent_.Add(id);
    if ((lanes & kJsonLane) != 0) LaneUnsent(kJsonLane).Add(id);
    if ((lanes & kSparkplugLane) != 0) LaneUnsent(kSparkplugLane).Add(id);
    return id;
}

void FileMessageStore::Acknowledge(std::uint64_t id, StoreLanes lane) {
    std::lock_guard lock(mutex_);
    if (!LaneUnsent(lane).Erase(id)) return;
    acknowledged_.push_back({id, lane});
    if (LanesOf(id) == 0) unsent_.Erase(id);
}

std::vector<StoredMessage> FileMessageStore::Unsent(std::uint64_t after, std::size_t max, StoreLanes lane) {
    std::vector<StoredMessage> unsent;
    std::lock_guard handoff(handoff_);
    std::uint64_t first = 0;
    std::uint64_t tailStart = 0;
    {
        std::lock_guard lock(mutex_);
        first = LaneUnsent(lane).FirstAbove(after);
        tailStart = tail_.empty() ? nextId_ : tail_.front().id;
    }
    if (first == 0 || max == 0) return unsent;
    // Committed rows are in the file; the tail keeps the rest until the
    // commit thread takes them off, which waits for handoff_.
    if (first < tailStart && !ReadUnsentFile(first - 1, max, lane, &unsent)) return unsent;
    AddUnsentTail(unsent.empty() ? after : std::max(after, unsent.back().id), max, lane, &unsent);
    return unsent;
}

bool FileMessageStore::ReadUnsentFile(std::uint64_t after, std::size_t max, StoreLanes lane,
                                      std::vector<StoredMessage>* unsent) {
    std::uint64_t cursor = after;
    while (unsent->size() < max) {
        std::vector<StoredMessage> rows;
        std::size_t wanted = max - unsent->size();
        int code = unsentReader_.Unsent(cursor, wanted, lane, &rows);
        if (code != SQLITE_OK) {
            // Nothing after a hole: the caller would step over it.
            Fault(code, "read the unsent messages", unsentReader_.Error());
            return false;
        }
        std::lock_guard lock(mutex_);
        for (auto& row : rows) {
            if (LaneUnsent(lane).Contains(row.id)) unsent->push_back(std::move(row));
        }
        if (rows.size() < wanted) break;
        cursor = rows.back().id;
    }
    return true;
}

void FileMessageStore::AddUnsentTail(std::uint64_t after, std::size_t max, StoreLanes lane,
                                     std::vector<StoredMessage>* unsent) {
    std::lock_guard lock(mutex_);
    for (auto message = FirstAbove(tail_, after); message != tail_.end() && unsent->size() < max; ++message) {
        if (LaneUnsent(lane).Contains(message->id)) unsent->push_back(*message);
    }
}

std::vector<HistoryRow> FileMessageStore::History(const std::string& point, std::int64_t fromMs, std::int64_t toMs,
                                                  std::size_t limit) {
    std::vector<HistoryRow> rows;
    if (config_.historyHours <= 0 || limit == 0) return rows;
    std::lock_guard lock(historyMutex_);
    int code = historyReader_.History(point, fromMs, toMs, limit, &rows);
    if (code != SQLITE_OK) {
        Log(LogLevel::kWarning, "store: " + config_.path + ": cannot read the history (" + historyReader_.Error() + ")");
        rows.clear();
    }
    return rows;
}

StoreStatistics FileMessageStore::Statistics() const {
    std::lock_guard lock(mutex_);
    StoreStatistics statistics;
    statistics.persistent = true;
    statistics.path = config_.path;
    statistics.backlog = unsent_.Count();
    statistics.dropped = episode_.total();
    statistics.bytes = bytes_;
    statistics.fault = fault_;
    std::uint64_t first = unsent_.FirstAbove(0);
    std::int64_t producedMs = oldestProducedMs_;
    auto inTail = FirstAbove(tail_, first == 0 ? 0 : first - 1);
    if (inTail != tail_.end() && inTail->id == first) producedMs = inTail->producedMs;
    if (first != 0 && producedMs != 0) statistics.backlogAgeSeconds = AgeSeconds(producedMs);
    return statistics;
}

void FileMessageStore::Run() {
    std::unique_lock lock(stopMutex_);
    while (!stopping_) {
        stopSignal_.wait_for(lock, std::chrono::milliseconds(std::max(config_.syncMs, 1)), [this] { return stopping_; });
        lock.unlock();
        // A long tail (the disk refused a while) goes in several commits,
        // the limits applied between them.
        bool more = true;
        while (more) {
            more = CommitCycle();
            Maintain();
            if (Damaged()) StartAnew();
        }
        lock.lock();
    }
    lock.unlock();
    while (CommitCycle()) {
    }
}

bool FileMessageStore::CommitCycle() {
    std::vector<PendingMessage> batch;
    std::vector<LaneAcknowledgement> acknowledged;
    {
        std::lock_guard lock(mutex_);
        std::size_t count = std::min(tail_.size(), kMostPerCommit);
        batch.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            batch.push_back(PendingMessage {tail_[i], LanesOf(tail_[i].id)});
        }
        acknowledged.swap(acknowledged_);
        committing_ = batch.empty() ? 0 : batch.back().message.id;
    }
    if (batch.empty() && acknowledged.empty()) return false;
    std::string error;
    int code = writer_.Commit(batch, acknowledged, &error);
    std::lock_guard handoff(handoff_);
    std::lock_guard lock(mutex_);
    committing_ = 0;
    if (code != SQLITE_OK) {
        acknowledged_.insert(acknowledged_.begin(), acknowledged.begin(), acknowledged.end());
        FaultLocked(code, "commit", error);
        return false;
    }
    RecoveredLocked();
    if (batch.empty()) return false;
    std::uint64_t last = batch.back().message.id;
    while (!tail_.empty() && tail_.front().id <= last) tail_.pop_front();
    return !tail_.empty() && batch.size() == kMostPerCommit;
}

void FileMessageStore::Maintain() {
    {
        std::lock_guard lock(mutex_);
        episode_.Settle(Clock::now());
    }
    std::int64_t now = ProducedMs();
    std::uint64_t last = 0;
    int code = writer_.LastUnsentBefore(now - config_.maxAgeHours * kMsPerHour, &last);
    if (code == SQLITE_OK && last != 0) code = writer_.DeleteUnsentUpTo(last);
    if (code == SQLITE_OK && last != 0) {
        DropUnsentUpTo(last, "older than max_age_h (" + std::to_string(config_.maxAgeHours) + " h)");
    }
    if (code == SQLITE_OK && config_.historyHours > 0 && Clock::now() - lastPrune_ >= kHistoryPruneEvery) {
        std::uint64_t deleted = 0;
        code = writer_.DeleteSentBefore(now - config_.historyHours * kMsPerHour, &deleted);
        lastPrune_ = Clock::now();
    }
    if (code == SQLITE_OK) code = KeepUnderSize();
    if (code != SQLITE_OK) {
        Fault(code, "apply the limits", writer_.Error());
        return;
    }
    NoteOldestAndSize();
}

void FileMessageStore::DropUnsentUpTo(std::uint64_t last, const std::string& why) {
    std::lock_guard lock(mutex_);
    episode_.Dropped(EraseUnsentUpTo(last), why, Clock::now());
}

int FileMessageStore::KeepUnderSize() {
    std::uint64_t maxBytes = static_cast<std::uint64_t>(config_.maxMb) * kBytesPerMb;
    std::uint64_t used = 0;
    int code = writer_.UsedBytes(&used);
    // Down to nine tenths, so that pruning does not run at every commit.
    std::uint64_t mark = maxBytes / 10 * 9;
    for (int round = 0; code == SQLITE_OK && used > maxBytes && round < 1000; ++round) {
        std::uint64_t rows = std::max<std::uint64_t>((used - mark) / kBytesPerRowEstimate, 64);
        std::uint64_t deleted = 0;
        // The history goes before any unsent message.
        code = writer_.DeleteOldestSent(rows, &deleted);
        std::uint64_t last = 0;
        if (code == SQLITE_OK && deleted == 0) code = writer_.NthOldestUnsent(rows, &last);
        if (code == SQLITE_OK && deleted == 0 && last == 0) break;
        if (code == SQLITE_OK && last != 0) code = writer_.DeleteUnsentUpTo(last);
        if (code == SQLITE_OK && last != 0) {
            DropUnsentUpTo(last, "the store reached max_mb (" + std::to_string(config_.maxMb) + " MB)");
        }
        if (code == SQLITE_OK) code = writer_.UsedBytes(&used);
        if (used <= mark) break;
    }
    return code;
}

void FileMessageStore::NoteOldestAndSize() {
    std::uint64_t first = 0;
    {
        std::lock_guard lock(mutex_);
        first = unsent_.FirstAbove(0);
    }
    std::int64_t producedMs = 0;
    std::uint64_t bytes = 0;
    if (first != 0) writer_.ProducedOf(first, &producedMs);
    writer_.UsedBytes(&bytes);
    std::lock_guard lock(mutex_);
    oldestProducedMs_ = producedMs;
    bytes_ = bytes;
}

void FileMessageStore::Fault(int code, const std::string& doing, const std::string& error) {
    std::lock_guard lock(mutex_);
    FaultLocked(code, doing, error);
}

void FileMessageStore::FaultLocked(int code, const std::string& doing, const std::string& error) {
    std::string fault;
    if (IsCorruption(code)) {
        damage_ = error;
        return;
    }
    if (IsDiskRefusal(code)) {
        fault = "the disk refuses to write (" + error + ")";
    } else {
        fault = "cannot " + doing + " (" + error + ")";
    }
    if (fault == fault_) return;
    fault_ = fault;
    Log(LogLevel::kError, "store: " + config_.path + ": fault: " + fault + "; new messages wait in memory, at most " +
                              std::to_string(tailMax_) + ", the oldest dropped beyond");
}

bool FileMessageStore::Damaged() const {
    std::lock_guard lock(mutex_);
    return !damage_.empty();
}

void FileMessageStore::StartAnew() {
    std::lock_guard handoff(handoff_);
    std::lock_guard history(historyMutex_);
    std::string why;
    {
        std::lock_guard lock(mutex_);
        why = std::exchange(damage_, "");
    }
    std::string error;
    std::string aside = MoveStoreAside(config_.path, &error);
    if (aside.empty()) {
        std::lock_guard lock(mutex_);
        fault_ = "the file is damaged (" + why + ") and " + error;
        Log(LogLevel::kError, "store: " + config_.path + ": fault: " + fault_);
        return;
    }
    SqliteConnection db;
    int code = db.Open(config_.path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (code == SQLITE_OK) code = CreateStoreSchema(db);
    if (code == SQLITE_OK) code = writer_.Restart(std::move(db), static_cast<std::uint64_t>(config_.maxMb) * kBytesPerMb);
    if (code == SQLITE_OK) code = unsentReader_.Open(config_.path);
    if (code == SQLITE_OK) code = historyReader_.Open(config_.path);
    std::lock_guard lock(mutex_);
    // What was committed went with the file; the tail goes to the new one.
    std::uint64_t lost = EraseUnsentUpTo((tail_.empty() ? nextId_ : tail_.front().id) - 1);
    acknowledged_.clear();
    episode_.Lost(lost);
    Log(LogLevel::kError, "store: " + config_.path + ": the file is damaged (" + why + "); moved aside to " + aside +
                              " with " + std::to_string(lost) + " unsent messages, a new store started");
    if (code != SQLITE_OK) FaultLocked(code, "start a new file", writer_.Error());
}

void FileMessageStore::RecoveredLocked() {
    if (fault_.empty()) return;
    fault_.clear();
    Log(LogLevel::kInfo, "store: " + config_.path + ": commits again");
}

}  // namespace jwgate
