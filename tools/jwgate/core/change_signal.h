// Tells one waiting thread that something changed, through a descriptor it
// polls beside its others: notices before it looks cost one wake-up, not
// one each. Notify from any thread; Clear and fd from the waiting one.
#pragma once

#include <atomic>

namespace jwgate {

class ChangeSignal {
public:
    ChangeSignal();
    ~ChangeSignal();
    ChangeSignal(const ChangeSignal&) = delete;
    ChangeSignal& operator=(const ChangeSignal&) = delete;

    // Readable after a Notify, until Clear; -1 if the system gave none (then
    // the waiting thread wakes only on its own timeout).
    int fd() const { return fd_; }
    void Notify();
    // Before looking at what changed: a notice after this wakes again.
    void Clear();

private:
    int fd_;
    std::atomic<bool> pending_ {false};
};

}  // namespace jwgate
