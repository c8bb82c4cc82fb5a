// One or more simulated JW controllers serving a serial line from a
// background thread: a fresh pseudo-terminal (the driver opens its slave) or
// a given device. Every request frame is recorded; requests for the served
// stations with a sound checksum are answered from each station's own
// memory, through the fault queue. All public methods are thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/jwsim/controller.h"
#include "tools/jwsim/protocol.h"

namespace kel::jwsim {

// What became of one request's reply, for a test that judges each attempt
// of a host by what the line did to it.
struct ReplyRecord {
    bool answered = false;      // a station served here took it up (a fault may still have sent nothing)
    std::optional<Fault> fault; // the fault that damaged the reply, queued or drawn
    bool acknowledged = false;  // an intact "#" frame went out in it (see Acknowledged)
    // When its last byte left; unset while it is on its way, and for good
    // when nothing was sent or Stop() dropped it.
    std::optional<std::chrono::steady_clock::time_point> done;
    // When the last byte of the reply that left last before the request was
    // taken up left (unset: none had), for a test that tells whether that
    // reply was still arriving when this request was sent.
    std::optional<std::chrono::steady_clock::time_point> previousDone;
};

struct SimulatorOptions {
    std::set<int> stations {1};  // 0 to 63
    bool protect = false;        // writes need EWR mode 1 or 2 first
    std::string device {};       // serve this device; empty: a new pseudo-terminal
    // Behave as a line of this speed, 10 bits a character: a request counts
    // as received when its last character would have arrived, and each reply
    // character leaves no earlier than its slot. 0: as fast as the line goes.
    std::uint32_t baud = 0;
    // Share of replies (0 to 1) damaged by a fault of a random kind, when no
    // queued fault applies; the seed makes a run repeatable.
    double faultRate = 0;
    std::uint32_t seed = 1;
    // Called on the serving thread with '<' and each request frame as it
    // arrived, and '>' and each reply's bytes as sent.
    std::function<void(char direction, const std::string& bytes)> trace {};
};

class Simulator {
public:
    explicit Simulator(SimulatorOptions options = {});
    ~Simulator();  // Stop()
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens the line and starts serving; returns once the serving thread
    // runs. False (error() says why) if the line cannot be opened, a station
    // is outside 0 to 63, or it is serving already.
    bool Start();
    // Stops serving and closes the line; returns at once if not serving.
    // A reply waiting for its delay is dropped.
    void Stop();
    const std::string& error() const { return error_; }

    // "/dev/pts/N" (or the device served) and the driver's port name for
    // it, "pts/N" (the path itself for a device outside /dev/).
    const std::string& devicePath() const { return devicePath_; }
    const std::set<int>& stations() const { return options_.stations; }
    std::string portName() const;

    // Runs edit on station's controller under the lock; false if the
    // station is not served.
    bool Edit(int station, const std::function<void(Controller&)>& edit);
    // A copy of station's controller; throws std::out_of_range if not served.
    Controller Snapshot(int station) const;

    // A served station falls silent (its requests are still recorded, none
    // is answered or carried out), or answers again; false if not served.
    bool Silence(int station, bool silent);

    // Appends a fault to the queue: each fault damages the next
    // fault.replies replies, then the next fault in the queue takes over.
    // Requests that get no reply anyway (bad checksum, other station) do not
    // count.
    void InjectFault(const Fault& fault);
    void ClearFaults();
    // Replies still to be damaged, summed over the queue.
    int PendingFaultReplies() const;

    // Every request frame received, in order, bad checksums included.
    std::vector<ReceivedRequest> Requests() const;
    // When each request of Requests() was received, in the same order: its
    // last character's arrival (its slot, when paced by baud).
    std::vector<std::chrono::steady_clock::time_point> RequestTimes() const;
    // The payloads of the requests with a sound checksum, in order.
    std::vector<std::string> Payloads() const;
    // What became of each request's reply, in the order of Requests().
    std::vector<ReplyRecord> Replies() const;
    // Forgets the requests recorded so far, with their times, replies and
    // acknowledgements; returns how many requests it forgot.
    std::size_t ClearRequests();
    // The payloads of the requests the simulator acknowledged with an intact
    // "#" reply (sent in full, late or paced included), in order; cleared
    // with the requests.
    std::vector<std::string> Acknowledged() const;

    // Waits until at least count requests were recorded since the last
    // ClearRequests; false on timeout. A recorded request has been carried
    // out (its reply may still be on its way).
    bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    struct Outgoing {
        std::string bytes;
        std::chrono::milliseconds delay {0};
        std::chrono::milliseconds gap {0};  // between bytes
        std::uint64_t request = 0;          // the request's number since the start, cleared ones included
    };

    bool OpenLine();
    void CloseLine();
    void Serve();
    // Records the request and, if it is answered, builds the reply.
    bool Handle(const ReceivedRequest& request, Outgoing* reply);
    // The reply to request (its number since the start) has left in full.
    void RecordSent(std::uint64_t request);
    // A fault of a random kind for one reply, drawn at the fault rate.
    bool DrawFault(Fault* fault);
    // Waits until the line can take bytes or Stop() is called; false then.
    bool WaitUntil(short events, int timeoutMs);
    void Send(const std::string& bytes);
    // Sends bytes one at a time, gap apart; false when Stop() interrupts.
    bool SendPaced(const std::string& bytes, std::chrono::milliseconds gap);
    // Sends bytes at line speed, character i leaving when its slot (slot i + 1
    // after the line is free) has passed; false when Stop() interrupts.
    bool SendAtLineSpeed(const std::string& bytes);
    // Waits until at, to the microsecond, or Stop(); false then.
    bool SleepUntil(std::chrono::steady_clock::time_point at);
    std::chrono::nanoseconds CharacterTime() const;

    SimulatorOptions options_;
    std::string error_;
    std::string devicePath_;
    int line_ = -1;       // pty master, or the device
    int keepSlave_ = -1;  // our own slave descriptor: the master fails while no slave is open
    int wake_[2] = {-1, -1};
    std::thread thread_;
    // When the line is free again in each direction, when paced by baud.
    std::chrono::steady_clock::time_point received_ {};
    std::chrono::steady_clock::time_point sent_ {};

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool serving_ = false;
    std::map<int, Controller> controllers_;
    std::deque<Fault> faults_;
    std::vector<ReceivedRequest> requests_;
    std::vector<std::chrono::steady_clock::time_point> requestTimes_;
    std::vector<ReplyRecord> replies_;
    std::uint64_t cleared_ = 0;  // requests forgotten by ClearRequests
    // When the last reply left in full.
    std::optional<std::chrono::steady_clock::time_point> lastDone_;
    std::set<int> silent_;
    std::vector<std::string> acknowledged_;
    std::mt19937 random_;
};

}  // namespace kel::jwsim
