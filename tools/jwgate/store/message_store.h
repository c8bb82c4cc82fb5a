// The messages the gateway publishes, held until the broker acknowledges
// them: in a SQLite file (WAL) when [store] names one, so that an outage or
// a restart loses nothing committed, else in a bounded memory queue lost at
// a restart. Appends never wait for the disk: a thread of the store's own
// commits them every sync_ms. Past max_mb or max_age_h (or the queue's
// bound, or a full disk) the oldest unsent go first, counted, each episode
// logged at its start and end. The file also keeps each point's values for
// history_h hours. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/store/stored_message.h"

namespace jwgate {

struct StoreStatistics {
    bool persistent = false;          // a file, not the memory queue
    std::string path;                 // the file
    std::uint64_t backlog = 0;        // messages not yet acknowledged
    double backlogAgeSeconds = 0;     // since the oldest of them was produced; 0 without
    std::uint64_t dropped = 0;        // unsent messages dropped since the start
    std::uint64_t bytes = 0;          // the file's size in use; 0 for the memory queue
    std::string fault;                // what is wrong now (a full disk...), one line; empty when nothing
};

class MessageStore {
public:
    // The store config names, created if missing; without config.enabled the
    // memory queue of queueMax messages. A corrupt file is moved aside to
    // "<path>.corrupt-<UTC time>" (logged in one line) and a new one started.
    // nullptr with one line naming the file in *error when it is not a
    // jwgate store or cannot be created.
    static std::unique_ptr<MessageStore> Open(const StoreConfig& config, std::size_t queueMax, std::string* error);
    virtual ~MessageStore() = default;  // commits what is queued and ends the thread, bounded in time

    // Queues a message, committed within sync_ms, unsent on lanes (an
    // answer on the JSON lane alone); its id.
    virtual std::uint64_t Append(StoredReading reading, StoreLanes lanes = kJsonLane) = 0;
    virtual std::uint64_t Append(StoredAnswer answer) = 0;
    // The broker took message id on lane: once no lane needs it, it leaves
    // the backlog (kept for the history when it is a reading). Unknown or
    // repeated ids are ignored.
    virtual void Acknowledge(std::uint64_t id, StoreLanes lane = kJsonLane) = 0;
    // Up to max messages still unsent on lane with an id above after, oldest first.
    virtual std::vector<StoredMessage> Unsent(std::uint64_t after, std::size_t max, StoreLanes lane = kJsonLane) = 0;
    // A point's kept values read from fromMs to toMs (both included), oldest
    // first, at most limit; empty for the memory queue.
    virtual std::vector<HistoryRow> History(const std::string& point, std::int64_t fromMs, std::int64_t toMs,
                                            std::size_t limit) = 0;
    virtual StoreStatistics Statistics() const = 0;
    // A number kept across restarts by name (in the file at once, not at the
    // next commit), or nothing when never kept; the memory queue keeps it
    // until the process ends.
    virtual std::optional<std::int64_t> Kept(const std::string& name) = 0;
    // False (logged) when the file refused it.
    virtual bool Keep(const std::string& name, std::int64_t value) = 0;
};

// For --check: where the store is and what it holds ("<path>: 1234 messages
// unsent, 5678 kept, 3.2 MB"), read without changing the file, or why it
// cannot be read.
std::string DescribeStore(const StoreConfig& config);

}  // namespace jwgate
