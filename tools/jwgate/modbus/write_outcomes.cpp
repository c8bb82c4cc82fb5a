#include "tools/jwgate/modbus/write_outcomes.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace jwgate {

std::shared_ptr<WriteOutcomes> WriteOutcomes::Make(std::string* error) {
    std::shared_ptr<WriteOutcomes> outcomes(new WriteOutcomes());
    if (pipe2(outcomes->pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::strerror(errno);
        return nullptr;
    }
    return outcomes;
}

WriteOutcomes::~WriteOutcomes() {
    for (const int fd : pipe_) {
        if (fd >= 0) close(fd);
    }
}

void WriteOutcomes::Wake() {
    // A full pipe already wakes the reader: a byte lost then is no loss.
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(pipe_[1], &byte, 1);
}

void WriteOutcomes::Post(const Outcome& outcome) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        outcomes_.push_back(outcome);
    }
    Wake();
}

std::vector<WriteOutcomes::Outcome> WriteOutcomes::Take() {
    char drain[64];
    while (read(pipe_[0], drain, sizeof drain) > 0) {
    }
    std::vector<Outcome> taken;
    const std::lock_guard<std::mutex> lock(mutex_);
    taken.swap(outcomes_);
    return taken;
}

std::function<void(WriteOutcome)> WriteOutcomes::Sink(const std::shared_ptr<WriteOutcomes>& outcomes,
                                                      std::uint64_t client, std::uint64_t request) {
    return [weak = std::weak_ptr<WriteOutcomes>(outcomes), client, request](WriteOutcome outcome) {
        // Held while posting: the pipe stays open until the post is done.
        if (const std::shared_ptr<WriteOutcomes> alive = weak.lock()) alive->Post({client, request, outcome});
    };
}

}  // namespace jwgate
