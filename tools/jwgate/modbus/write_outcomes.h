// Where the scan thread leaves the outcomes of Modbus clients' writes for
// the server's thread, with the pipe that wakes that thread. The server
// owns it; a queued write holds it weakly, so an outcome that comes once
// the server has let it go is dropped, never written to a descriptor that
// was closed (and may be some other file's by now).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/jwgate/core/write_queue.h"

namespace jwgate {

class WriteOutcomes {
public:
    struct Outcome {
        std::uint64_t client;
        std::uint64_t request;
        WriteOutcome outcome;
    };

    // Null, with the reason, when the pipe cannot be made.
    static std::shared_ptr<WriteOutcomes> Make(std::string* error);
    ~WriteOutcomes();  // closes the pipe
    WriteOutcomes(const WriteOutcomes&) = delete;
    WriteOutcomes& operator=(const WriteOutcomes&) = delete;

    // Readable while outcomes wait, or after Wake().
    int wakeFd() const { return pipe_[0]; }
    void Wake();
    // Every outcome left so far, oldest first; empties the pipe too.
    std::vector<Outcome> Take();

    // The completion of one write of a client's request: tells outcomes, if
    // they are still there. Any thread.
    static std::function<void(WriteOutcome)> Sink(const std::shared_ptr<WriteOutcomes>& outcomes,
                                                  std::uint64_t client, std::uint64_t request);

private:
    WriteOutcomes() = default;
    void Post(const Outcome& outcome);

    int pipe_[2] = {-1, -1};
    std::mutex mutex_;
    std::vector<Outcome> outcomes_;
};

}  // namespace jwgate
