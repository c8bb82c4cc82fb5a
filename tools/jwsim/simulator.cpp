#include "tools/jwsim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kel::jwsim {
namespace {

constexpr int kMaxStation = 63;
// Back-off while the line reports an error, e.g. a device with nobody on it.
constexpr int kLineRetryMs = 10;

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

void CloseFd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

// Bytes must pass unchanged: no CR to LF, no echo, no flow control.
void MakeRaw(int fd) {
    termios tio {};
    if (tcgetattr(fd, &tio) != 0) return;  // not a terminal: nothing to change
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
}

}  // namespace

Simulator::Simulator(SimulatorOptions options) : options_(std::move(options)), random_(options_.seed) {
    for (const int station : options_.stations) {
        controllers_[station].protect = options_.protect;
    }
}

Simulator::~Simulator() { Stop(); }

std::string Simulator::portName() const {
    constexpr char kDev[] = "/dev/";
    return devicePath_.rfind(kDev, 0) == 0 ? devicePath_.substr(sizeof kDev - 1) : devicePath_;
}

bool Simulator::Start() {
    if (thread_.joinable()) {
        error_ = "already serving";
        return false;
    }
    for (const int station : options_.stations) {
        if (station < 0 || station > kMaxStation) {
            error_ = "station " + std::to_string(station) + " is outside 0 to 63";
            return false;
        }
    }
    if (!OpenLine()) {
        CloseLine();
        return false;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    serving_ = false;
    thread_ = std::thread([this] { Serve(); });
    changed_.wait(lock, [this] { return serving_; });
    return true;
}

void Simulator::Stop() {
    if (!thread_.joinable()) return;
    const char wake = 1;
    while (write(wake_[1], &wake, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    CloseLine();
}

bool Simulator::OpenLine() {
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        error_ = ErrnoText("pipe2");
        return false;
    }
    if (options_.device.empty()) {
        char name[128] = {};
        if (openpty(&line_, &keepSlave_, name, nullptr, nullptr) != 0) {
            error_ = ErrnoText("openpty");
            return false;
        }
        fcntl(line_, F_SETFD, FD_CLOEXEC);
        fcntl(keepSlave_, F_SETFD, FD_CLOEXEC);
        devicePath_ = name;
    } else {
        line_ = open(options_.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (line_ < 0) {
            error_ = ErrnoText(options_.device);
            return false;
        }
        devicePath_ = options_.device;
    }
    // On a pty the master's settings are the slave's: the driver may change
    // them when it opens the slave, but until then the line is raw too.
    MakeRaw(line_);
    fcntl(line_, F_SETFL, fcntl(line_, F_GETFL) | O_NONBLOCK);
    return true;
}

void Simulator::CloseLine() {
    CloseFd(&line_);
    CloseFd(&keepSlave_);
    CloseFd(&wake_[0]);
    CloseFd(&wake_[1]);
}

bool Simulator::WaitUntil(short events, int timeoutMs) {
    for (;;) {
        pollfd fds[2] = {{wake_[0], POLLIN, 0}, {line_, events, 0}};
        const int count = events == 0 ? 1 : 2;
        const int ready = poll(fds, static_cast<nfds_t>(count), timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || fds[0].revents != 0) return false;
        return true;
    }
}

void Simulator::Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(line_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // A full queue waits for the driver to read; a failed line drops the reply.
        if (n < 0 && errno != EAGAIN) return;
        if (!WaitUntil(POLLOUT, -1)) return;
    }
}

void Simulator::Serve() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        serving_ = true;
    }
    changed_.notify_all();

    RequestFramer framer;
    std::vector<ReceivedRequest> requests;
    char buffer[256];
    while (WaitUntil(POLLIN, -1)) {
        const ssize_t n = read(line_, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            if (WaitUntil(0, kLineRetryMs)) continue;
            return;
        }
        // Characters written at once still reach a real controller one
        // after another.
        const auto now = std::chrono::steady_clock::now();
        received_ = std::max(received_, now) + n * CharacterTime();
        requests.clear();
        framer.Feed(buffer, static_cast<std::size_t>(n), &requests);
        for (const ReceivedRequest& request : requests) {
            if (options_.baud != 0 && !SleepUntil(received_)) return;
            if (options_.trace) options_.trace('<', "::" + request.payload + request.checksum + "\r");
            Outgoing reply;
            if (!Handle(request, &reply)) continue;
            // Woken by Stop(): the delayed reply is dropped.
            if (reply.delay.count() > 0 && !WaitUntil(0, static_cast<int>(reply.delay.count()))) return;
            if (options_.trace) options_.trace('>', reply.bytes);
            if (reply.gap.count() > 0) {
                if (!SendPaced(reply.bytes, reply.gap)) return;
            } else if (options_.baud != 0) {
                if (!SendAtLineSpeed(reply.bytes)) return;
            } else {
                Send(reply.bytes);
            }
            RecordSent(reply.request);
        }
    }
}

bool Simulator::Handle(const ReceivedRequest& request, Outgoing* reply) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
        requestTimes_.push_back(std::chrono::steady_clock::now());
        replies_.emplace_back();
        reply->request = cleared_ + requests_.size() - 1;
        ReplyRecord& record = replies_.back();
        record.previousDone = lastDone_;
        const int station = StationOf(request.payload);
        const auto controller = controllers_.find(station);
        if (request.checksumOk && controller != controllers_.end() && !silent_.contains(station)) {
            Fault drawn;
            const bool queued = !faults_.empty();
            const Fault* fault = queued ? &faults_.front() : DrawFault(&drawn) ? &drawn : nullptr;
            std::string body;
            if (fault != nullptr && fault->kind == FaultKind::kErrorStatus) {
                body = ErrorBody(request.payload, fault->status);
                reply->bytes = FrameFor(body);
            } else {
                body = ReplyBodyFor(request.payload, controller->second);
                reply->bytes = fault != nullptr ? FaultyFrame(body, *fault) : FrameFor(body);
            }
            // Acknowledged: the whole intact "#" frame goes out, whatever precedes it.
            const std::string frame = FrameFor(body);
            if (body.size() > 2 && body[2] == '#' && reply->bytes.size() >= frame.size() &&
                reply->bytes.compare(reply->bytes.size() - frame.size(), frame.size(), frame) == 0) {
                acknowledged_.push_back(request.payload);
                record.acknowledged = true;
            }
            record.answered = true;
            if (fault != nullptr) record.fault = *fault;
            if (fault != nullptr) {
                if (fault->kind == FaultKind::kDelay) reply->delay = fault->delay;
                if (fault->kind == FaultKind::kDribble) reply->gap = fault->delay;
                if (queued && --faults_.front().replies <= 0) faults_.pop_front();
            }
        }
    }
    changed_.notify_all();
    return !reply->bytes.empty();
}

bool Simulator::DrawFault(Fault* fault) {
    if (options_.faultRate <= 0 || std::uniform_real_distribution<double>(0, 1)(random_) >= options_.faultRate) {
        return false;
    }
    constexpr FaultKind kKinds[] = {FaultKind::kNoReply,  FaultKind::kWrongChecksum, FaultKind::kOtherStation,
                                    FaultKind::kErrorStatus, FaultKind::kCutShort, FaultKind::kNoHeader,
                                    FaultKind::kOverLong, FaultKind::kGarbageBefore, FaultKind::kDelay,
                                    FaultKind::kDribble};
    *fault = DefaultFault(kKinds[std::uniform_int_distribution<std::size_t>(0, std::size(kKinds) - 1)(random_)]);
    return true;
}

bool Simulator::Edit(int station, const std::function<void(Controller&)>& edit) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto controller = controllers_.find(station);
    if (controller == controllers_.end()) return false;
    edit(controller->second);
    return true;
}

Controller Simulator::Snapshot(int station) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return controllers_.at(station);
}

bool Simulator::Silence(int station, bool silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!controllers_.contains(station)) return false;
    if (silent) {
        silent_.insert(station);
    } else {
        silent_.erase(station);
    }
    return true;
}

void Simulator::InjectFault(const Fault& fault) {
    if (fault.replies <= 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(fault);
}

void Simulator::ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
}

int Simulator::PendingFaultReplies() const {
    std::lock_guard<std::mutex> lock(mutex_);
    int pending = 0;
    for (const Fault& fault : faults_) pending += fault.replies;
    return pending;
}

std::vector<ReceivedRequest> Simulator::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<std::chrono::steady_clock::time_point> Simulator::RequestTimes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requestTimes_;
}

std::vector<std::string> Simulator::Payloads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> payloads;
    for (const ReceivedRequest& request : requests_) {
        if (request.checksumOk) payloads.push_back(request.payload);
    }
    return payloads;
}

std::vector<ReplyRecord> Simulator::Replies() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return replies_;
}

void Simulator::RecordSent(std::uint64_t request) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    if (request >= cleared_ && request - cleared_ < replies_.size()) replies_[request - cleared_].done = now;
    lastDone_ = now;
}

std::size_t Simulator::ClearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t count = requests_.size();
    cleared_ += count;
    requests_.clear();
    requestTimes_.clear();
    replies_.clear();
    acknowledged_.clear();
    return count;
}

std::vector<std::string> Simulator::Acknowledged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return acknowledged_;
}

std::chrono::nanoseconds Simulator::CharacterTime() const {
    if (options_.baud == 0) return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(10'000'000'000LL / options_.baud);
}

bool Simulator::SleepUntil(std::chrono::steady_clock::time_point at) {
    for (;;) {
        const auto left = at - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds(0)) return true;
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timespec timeout {static_cast<time_t>(seconds.count()),
                                static_cast<long>((left - seconds).count())};
        pollfd wake {wake_[0], POLLIN, 0};
        const int ready = ppoll(&wake, 1, &timeout, nullptr);
        if (ready > 0) return false;
        if (ready < 0 && errno != EINTR) return false;
    }
}

bool Simulator::SendAtLineSpeed(const std::string& bytes) {
    const auto slot = CharacterTime();
    const auto first = std::max(sent_, std::chrono::steady_clock::now());
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        // Every character whose slot has passed goes at once, so that a late
        // wake-up never delays the ones after it.
        const auto elapsed = std::chrono::steady_clock::now() - first;
        const auto due = std::min(bytes.size(), static_cast<std::size_t>(elapsed / slot));
        if (due > sent) {
            Send(bytes.substr(sent, due - sent));
            sent = due;
        } else if (!SleepUntil(first + static_cast<long long>(sent + 1) * slot)) {
            return false;
        }
    }
    sent_ = first + static_cast<long long>(bytes.size()) * slot;
    return true;
}

bool Simulator::SendPaced(const std::string& bytes, std::chrono::milliseconds gap) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0 && !WaitUntil(0, static_cast<int>(gap.count()))) return false;
        Send(bytes.substr(i, 1));
    }
    return true;
}

bool Simulator::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

}  // namespace kel::jwsim
