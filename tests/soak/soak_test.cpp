// Fault soak: thousands of mixed reads and writes through KelMain against the
// simulator on a pseudo-terminal, about a fifth of the replies damaged in
// every way the simulator can damage them (late ones included), some on a
// write-protected controller. A read that returns 0 must deliver what the
// item held just before or just after the call; a write that returns 0 must
// be in memory when it returns; a value the item cannot take is refused and
// changes nothing. Descriptors and resident memory must stay flat.
//
// An operation may fail, but only when the faults spoiled every attempt the
// driver had (kMaxAttempts): each failed operation is judged by what the line
// did to each of its requests (the driver's trace times them as they leave,
// the simulator records what became of each reply). An attempt is spoiled by
// a fault on any of its requests' replies, by an answer that acknowledges
// nothing (a refusal, write protection's included), by a reply that came
// too late to count (delayed, dribbled, or queued behind such a reply), or
// by the tail of an earlier late reply still arriving when it was sent. A
// failure with an attempt left unspoiled, or with attempts the driver did not
// make, counts against the driver, and none may: so the verdict does not hang
// on how many faults a seed happens to bunch together.
//
// A second, shorter run paces the simulator like a 19200-baud line, so that
// damaged replies are still arriving when their attempt has failed.
//
// KEL_SOAK_OPS sets the number of operations (default 2000), KEL_SOAK_BAUD
// paces that run too (default 0: replies at once), KEL_SOAK_PACED_OPS sizes
// the paced run (default 300); KEL_SOAK_SEED replays a run whose seed was
// printed; KEL_SOAK_DEBUG=1 shows each request of a failed operation, timed.
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kelwnsrp.h"
#include "link/link_context.h"
#include "support/quick_reply_directory.h"
#include "tools/jwsim/controller.h"
#include "tools/jwsim/protocol.h"
#include "tools/jwsim/simulator.h"

// Freed memory sits in the sanitizer's quarantine (256 MB by default) before
// it is reused, so resident memory would climb whatever the driver does.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=1"; }

namespace {

using kel::jwsim::Controller;
using kel::jwsim::Fault;
using kel::jwsim::FaultKind;
using kel::jwsim::Simulator;
using std::chrono::milliseconds;

constexpr int kTimeoutMs = 100;
constexpr long kRssSlackKb = 4 * 1024;

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
        closedir(dir);
    }
    return count;
}

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// A gate and how the controller holds it. 32-bit registers are read as such
// (the cell holds the number), the others as 16-bit or digital values (the
// number in the cell's upper half): the value types' layouts are the
// end-to-end tests' business, pairing replies with requests is this one's.
struct Gate {
    std::string gas;
    std::uint32_t type = KEL_VALUE_ANALOG16;
    char kind = 'M';    // 'R' relay, 'T' relay T, 'C' timer/counter, 'M' register
    int number = 0;     // relay, timer, or first register byte
    char area = 'A';    // register area character
    int bytes = 0;      // register bytes
    int station = 1;
    GateAddress address {};
};

std::uint32_t Held(const Controller& c, const Gate& g) {
    switch (g.kind) {
        case 'R': return static_cast<std::uint32_t>(c.Relay(g.number) - '0');
        case 'T': return static_cast<std::uint32_t>(c.RtRelay(g.number) - '0');
        case 'C': {
            const auto& v = c.Timer(g.number).value;
            return static_cast<std::uint32_t>(1000 * (v[2] - '0') + 100 * (v[3] - '0') + 10 * (v[0] - '0') +
                                              (v[1] - '0'));
        }
        default: break;
    }
    std::uint32_t value = 0;
    for (int i = g.bytes - 1; i >= 0; --i) value = value << 8 | c.Register(g.area, g.number + i);
    return value;
}

// What a write of value leaves: a timer's contact, not its current value.
bool Stored(const Controller& c, const Gate& g, std::uint32_t value) {
    if (g.kind == 'C') return c.Timer(g.number).set == static_cast<char>('0' + value);
    return Held(c, g) == value;
}

using Clock = std::chrono::steady_clock;

// A request as the driver sent it: the trace's frame, timed as it left.
struct SentRequest {
    Clock::time_point at;
    std::string payload;
};

// A reply counts for its attempt when it was whole well inside the link
// timeout and its request reached the simulator about when it was sent, not
// queued behind a late reply. The slack keeps a busy machine's scheduling
// from being taken for the driver's fault: a reply that close to the
// timeout is taken as late.
constexpr auto kLateSlack = milliseconds(20);

bool SwitchesWriteModeOn(const std::string& payload) {
    return payload.size() > 7 && payload.compare(4, 3, "EWR") == 0 && payload[7] != '0';
}

std::string FaultName(FaultKind kind) {
    for (const auto& [name, named] : kel::jwsim::FaultKindNames()) {
        if (named == kind) return name;
    }
    return "fault";
}

// The driver's requests on one line as its trace shows them leaving, each
// numbered from the line's start as the simulator numbers them; those the
// simulator has forgotten are dropped.
class LineLog {
public:
    void Sent(const std::string& payload) { sent_.push_back({Clock::now(), payload}); }
    // The simulator forgot count more requests, the oldest.
    void Forgot(std::size_t count) {
        forgotten_ += count;
        while (!sent_.empty() && base_ < forgotten_) sent_.pop_front(), ++base_;
    }
    std::uint64_t Next() const { return base_ + sent_.size(); }
    const SentRequest& Request(std::uint64_t number) const { return sent_[number - base_]; }
    std::uint64_t forgotten() const { return forgotten_; }  // the number of the simulator's first record

private:
    std::deque<SentRequest> sent_;
    std::uint64_t base_ = 0;  // the number of sent_[0]
    std::uint64_t forgotten_ = 0;
};

// Why this request's attempt could not succeed, whatever the driver did;
// empty when it should have. reply is the simulator's record (null: the
// simulator had not taken the request up when the operation ended, being
// busy with a late or dribbled reply), received when it took it up. A
// request it took up and did not answer was the driver's own mistake (a bad
// checksum, another station): it spoils nothing.
std::string Spoiler(const SentRequest& sent, const kel::jwsim::ReplyRecord* reply, Clock::time_point received,
                    std::uint32_t baud) {
    if (reply == nullptr) return "not taken up in time";
    if (!reply->answered) return {};
    if (reply->fault) return FaultName(reply->fault->kind);
    // The request's characters (frame: "::", checksum, CR) at 10 bits each.
    const auto wire = std::chrono::microseconds(baud == 0 ? 0 : (sent.payload.size() + 5) * 10'000'000LL / baud);
    if (received - sent.at > wire + kLateSlack) return "queued behind a late reply";
    // The reply before it was still arriving when this request left (late,
    // dribbled, or answering a request queued behind such a reply): the
    // driver's purge just before the send cut it, and its tail came in this
    // attempt. (One the driver read before sending was whole before the send.)
    if (reply->previousDone && *reply->previousDone > sent.at) return "behind the tail of a late reply";
    if (!reply->acknowledged) return "refused";
    if (!reply->done) return "reply still on its way";
    if (*reply->done - sent.at > milliseconds(kTimeoutMs) - kLateSlack) return "too slow for the timeout";
    return {};
}

// A failed operation judged by the line: each attempt the driver was due
// (kel::kMaxAttempts) is spoiled when one of its requests was (a write-mode
// switch on, then the item's request, then the switch off); an attempt
// left unspoiled, or not made at all, puts the failure on the driver.
struct Verdict {
    bool againstDriver = false;
    std::string attempts;  // what spoiled each, "-" for nothing
};

Verdict JudgeFailure(const std::vector<SentRequest>& sent, const std::vector<std::string>& spoilers) {
    std::vector<std::string> attempts;
    bool onlySwitchOn = false;  // the attempt so far is a write-mode switch on, which its request follows
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const bool switchOn = SwitchesWriteModeOn(sent[i].payload);
        const bool switchOff = !switchOn && sent[i].payload.compare(4, 3, "EWR") == 0;
        if (attempts.empty() || switchOn || (!switchOff && !onlySwitchOn)) attempts.emplace_back();
        onlySwitchOn = switchOn;
        if (!spoilers[i].empty() && attempts.back().empty()) attempts.back() = spoilers[i];
    }
    Verdict verdict;
    int spoiled = 0;
    for (const std::string& why : attempts) {
        spoiled += why.empty() ? 0 : 1;
        verdict.attempts += (verdict.attempts.empty() ? "" : ", ") + (why.empty() ? std::string("-") : why);
    }
    if (attempts.size() < static_cast<std::size_t>(kel::kMaxAttempts)) {
        verdict.attempts += "; " + std::to_string(kel::kMaxAttempts - static_cast<int>(attempts.size())) +
                            " attempt(s) not made";
    }
    verdict.againstDriver = spoiled < kel::kMaxAttempts;
    return verdict;
}

class Soak : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(directory_.Enter("kel-soak")) << directory_.error(); }

    void Run(long ops, std::uint32_t baud);

    std::int32_t Call(DriverState* state, std::int32_t command, void* block) {
        KelRequest request {state, command, 0, 0, block};
        return KelMain(&request);
    }

    int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
    bool Chance(double p) { return std::bernoulli_distribution(p)(rng_); }

    Gate PickGate(int station) {
        Gate g;
        g.station = station;
        char text[16];
        switch (Uniform(0, 3)) {
            case 0:
                g.kind = 'R', g.number = Uniform(0, kel::kRelayCount - 1), g.type = KEL_VALUE_DIGITAL;
                std::snprintf(text, sizeof text, "%02oR%05o", station, g.number);
                break;
            case 1:
                g.kind = 'T', g.number = Uniform(0, kel::kRtRelayCount - 1), g.type = KEL_VALUE_DIGITAL;
                std::snprintf(text, sizeof text, "%02oRT%04o", station, g.number);
                break;
            case 2:
                g.kind = 'C', g.number = Uniform(0, kel::kTimerCount - 1);
                std::snprintf(text, sizeof text, "%02oT0%03o", station, g.number);
                break;
            default: {
                constexpr char kAreas[] = "AB0123";
                g.area = kAreas[Uniform(0, 5)];
                g.bytes = 1 << Uniform(0, 2);
                g.number = Uniform(0, Controller::RegisterAreaSize(g.area) - g.bytes);
                g.type = g.bytes == 4 ? KEL_VALUE_ANALOG32 : KEL_VALUE_ANALOG16;
                const bool file = g.area != 'A' && g.area != 'B';
                std::snprintf(text, sizeof text, file ? "%02oM%c9%03o%s" : "%02oM%c%04o%s", station, g.area,
                              g.number, g.bytes == 1 ? "B" : "");
            }
        }
        g.gas = text;
        GateCheckRequest check {g.gas.c_str(), 0, g.type, 1, 0, {}};
        EXPECT_EQ(Call(nullptr, KEL_CMD_CHECK_GATE, &check), KEL_OK) << g.gas;
        g.address = check.address;
        return g;
    }

    // About 13 % of operations queue a fault of any kind for the next
    // replies; with repeats and retries a fifth of the replies suffer.
    void MaybeFault(Simulator& simulator) {
        if (!Chance(0.13)) return;
        constexpr FaultKind kKinds[] = {FaultKind::kNoReply,  FaultKind::kWrongChecksum, FaultKind::kOtherStation,
                                        FaultKind::kErrorStatus, FaultKind::kCutShort, FaultKind::kNoHeader,
                                        FaultKind::kOverLong, FaultKind::kGarbageBefore, FaultKind::kDelay,
                                        FaultKind::kDribble};
        Fault fault = kel::jwsim::DefaultFault(kKinds[Uniform(0, 9)], Uniform(1, 3));
        if (fault.kind == FaultKind::kErrorStatus) fault.status = Chance(0.3) ? 0x10 : 0x06;
        if (fault.kind == FaultKind::kDelay) fault.delay = milliseconds(Uniform(kTimeoutMs * 3 / 2, kTimeoutMs * 6));
        if (fault.kind == FaultKind::kDribble) fault.delay = milliseconds(Uniform(1, kTimeoutMs / 3));
        if (fault.kind == FaultKind::kDelay || fault.kind == FaultKind::kDribble) fault.replies = Uniform(1, 2);
        simulator.InjectFault(fault);
        ++faults_;
    }

    // The driver's requests, as its trace shows them leaving, on the line
    // of the operation under way.
    static void KEL_CALL TakeSent(void* context, std::int32_t direction, const char* bytes, std::int32_t count) {
        auto* soak = static_cast<Soak*>(context);
        if (direction != KEL_TRACE_SENT || count < 5) return;  // "::", checksum, CR
        soak->lines_[soak->tracedLine_].Sent(std::string(bytes + 2, static_cast<std::size_t>(count - 5)));
    }

    // Judges a failed operation on line from the requests it sent (numbered
    // first on) and the simulator's records: true, and its attempts in
    // blamed_, when the failure is the driver's; a record that does not pair
    // with what the driver sent is added to problems.
    bool FailedAgainstDriver(int line, std::uint64_t first, const std::string& what, std::uint32_t baud,
                             std::vector<std::string>* problems);

    kel::test_support::QuickReplyDirectory directory_;
    std::unique_ptr<Simulator> simulator_;
    std::unique_ptr<Simulator> protected_;
    std::mt19937_64 rng_;
    long faults_ = 0;
    Simulator* simulators_[2] = {};
    LineLog lines_[2];
    int tracedLine_ = 0;
    std::vector<std::string> blamed_;
};

bool Soak::FailedAgainstDriver(int line, std::uint64_t first, const std::string& what, std::uint32_t baud,
                               std::vector<std::string>* problems) {
    const LineLog& log = lines_[line];
    const std::vector<kel::jwsim::ReceivedRequest> requests = simulators_[line]->Requests();
    const std::vector<kel::jwsim::ReplyRecord> replies = simulators_[line]->Replies();
    const std::vector<Clock::time_point> received = simulators_[line]->RequestTimes();
    std::vector<SentRequest> own;
    std::vector<std::string> spoilers;
    for (std::uint64_t number = first; number < log.Next(); ++number) {
        const SentRequest& sent = log.Request(number);
        const std::size_t k = number - log.forgotten();  // its record's index
        const bool recorded = k < requests.size() && k < replies.size() && k < received.size();
        if (recorded && requests[k].payload != sent.payload) {
            problems->push_back(what + ": the simulator's record of request " + std::to_string(number) + " is " +
                                requests[k].payload + ", the driver sent " + sent.payload);
            return true;
        }
        own.push_back(sent);
        spoilers.push_back(Spoiler(sent, recorded ? &replies[k] : nullptr,
                                   recorded ? received[k] : Clock::time_point {}, baud));
    }
    const Verdict verdict = JudgeFailure(own, spoilers);
    if (std::getenv("KEL_SOAK_DEBUG") != nullptr) {
        // Each request: when it left, when the simulator took it up and when its reply was whole, in ms
        // from when it left.
        const auto since = [](Clock::time_point from, Clock::time_point to) {
            char text[24];
            std::snprintf(text, sizeof text, "%+.1f ms", std::chrono::duration<double, std::milli>(to - from).count());
            return std::string(text);
        };
        for (std::size_t i = 0; i < own.size(); ++i) {
            const std::size_t k = first + i - log.forgotten();
            const bool recorded = k < requests.size() && k < replies.size() && k < received.size();
            std::printf("    %-22s sent %s, taken up %s, reply whole %s: %s\n", own[i].payload.c_str(),
                        since(own[0].at, own[i].at).c_str(), recorded ? since(own[i].at, received[k]).c_str() : "-",
                        recorded && replies[k].done ? since(own[i].at, *replies[k].done).c_str() : "-",
                        spoilers[i].empty() ? "-" : spoilers[i].c_str());
        }
    }
    std::printf("  %s failed%s: %s\n", what.c_str(), verdict.againstDriver ? ", AGAINST THE DRIVER" : "",
                verdict.attempts.c_str());
    if (verdict.againstDriver) {
        blamed_.push_back(what + " failed with an attempt no fault spoiled; what spoiled each attempt: " +
                          verdict.attempts);
    }
    return verdict.againstDriver;
}

long FromEnvironment(const char* name, long fallback) {
    const char* text = std::getenv(name);
    return text != nullptr ? std::strtol(text, nullptr, 10) : fallback;
}

void Soak::Run(long ops, std::uint32_t baud) {
    const char* seedText = std::getenv("KEL_SOAK_SEED");
    const std::uint64_t seed = seedText != nullptr ? std::strtoull(seedText, nullptr, 10) : std::random_device {}();
    rng_.seed(seed);
    std::printf("soak: %ld operations, %s, seed %llu (KEL_SOAK_SEED replays it)\n", ops,
                baud == 0 ? "replies at once" : ("paced at " + std::to_string(baud) + " baud").c_str(),
                static_cast<unsigned long long>(seed));
    simulator_ = std::make_unique<Simulator>(kel::jwsim::SimulatorOptions {.stations = {1}, .baud = baud});
    protected_ =
        std::make_unique<Simulator>(kel::jwsim::SimulatorOptions {.stations = {2}, .protect = true, .baud = baud});

    // Two lines, one controller each: one open, one write-protected.
    simulators_[0] = simulator_.get();
    simulators_[1] = protected_.get();
    DriverState states[2] = {};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(simulators_[i]->Start()) << simulators_[i]->error();
        OpenRequest open {};
        std::snprintf(open.portName, sizeof open.portName, "%s", simulators_[i]->portName().c_str());
        open.enable = 1;
        open.LinkTimeout = kTimeoutMs / 10;
        open.line = {static_cast<std::uint16_t>(baud == 0 ? 38400 : baud), 8, 0, 0};
        ASSERT_EQ(Call(&states[i], KEL_CMD_OPEN, &open), KEL_OK);
    }
    KelSetTrace(&Soak::TakeSent, this);

    std::map<std::string, long> counts;
    long failed = 0;
    long againstDriver = 0;
    std::vector<std::string> problems;
    int fdsStart = 0;
    long rssStart = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long op = 0; op < ops && problems.size() < 5; ++op) {
        if (op == ops / 10) fdsStart = OpenDescriptors(), rssStart = ResidentKb();
        const int line = Chance(0.25) ? 1 : 0;
        Simulator& simulator = *simulators_[line];
        // Its record of every request would grow for the whole run.
        lines_[line].Forgot(simulator.ClearRequests());
        const std::uint64_t first = lines_[line].Next();
        tracedLine_ = line;
        MaybeFault(simulator);
        const Gate g = PickGate(line + 1);
        const std::uint32_t before = Held(simulator.Snapshot(g.station), g);
        std::uint32_t cell = 0xA5A5A5A5u;
        GateRequest request {g.gas.c_str(), 0, g.address, g.type, 1, 0, &cell};
        const std::string what = "op " + std::to_string(op) + ": " + g.gas;

        if (Chance(0.55)) {
            const std::int32_t result = Call(&states[line], KEL_CMD_READ_GATE, &request);
            const Controller after = simulator.Snapshot(g.station);
            ++counts["reads, result " + std::to_string(result)];
            failed += result != KEL_OK;
            if (result != KEL_OK) againstDriver += FailedAgainstDriver(line, first, what + " read", baud, &problems);
            const std::uint32_t number = g.type == KEL_VALUE_ANALOG32 ? cell : cell >> 16;
            if (result != KEL_OK && cell != 0xA5A5A5A5u) problems.push_back(what + " failed read changed the cell");
            if (result == KEL_OK && number != before && number != Held(after, g)) {
                problems.push_back(what + " read " + std::to_string(number) + ", held " + std::to_string(before) +
                                   " then " + std::to_string(Held(after, g)));
            }
            continue;
        }
        // Now and then a value the item cannot take: refused, nothing changes.
        const bool contact = g.kind != 'M';
        const bool outOfRange = (contact || g.bytes == 1) && Chance(0.05);
        std::uint32_t value = contact ? Uniform(0, 1) : static_cast<std::uint32_t>(rng_());
        if (g.bytes == 1) value &= 0xFF;
        if (g.bytes == 2) value &= 0xFFFF;
        if (outOfRange) value = contact ? Uniform(2, 255) : Uniform(256, 0xFFFF);
        cell = g.type == KEL_VALUE_ANALOG32 ? value : value << 16;
        const std::int32_t result = Call(&states[line], KEL_CMD_WRITE_GATE, &request);
        const Controller after = simulator.Snapshot(g.station);
        ++counts[std::string(outOfRange ? "out-of-range writes" : "writes") + ", result " + std::to_string(result)];
        if (!outOfRange && result != KEL_OK) {
            ++failed;
            againstDriver += FailedAgainstDriver(line, first, what + " write", baud, &problems);
        }
        if (outOfRange && (result != KEL_REFUSED || Held(after, g) != before)) {
            problems.push_back(what + " took " + std::to_string(value));
        }
        if (!outOfRange && result == KEL_OK && !Stored(after, g, value)) {
            problems.push_back(what + " write of " + std::to_string(value) + " gave 0, memory holds " +
                               std::to_string(Held(after, g)));
        }
    }
    KelSetTrace(nullptr, nullptr);
    const int fdsEnd = OpenDescriptors();
    const long rssEnd = ResidentKb();
    for (DriverState& state : states) EXPECT_EQ(Call(&state, KEL_CMD_CLOSE, nullptr), KEL_OK);

    std::printf("soak: %.1f s, %ld faults queued\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), faults_);
    for (const auto& [name, count] : counts) std::printf("  %-32s %ld\n", name.c_str(), count);
    std::printf("  wrong values or unconfirmed writes %zu; descriptors %d -> %d, resident %ld -> %ld kB\n",
                problems.size(), fdsStart, fdsEnd, rssStart, rssEnd);
    for (const std::string& problem : problems) ADD_FAILURE() << problem;
    for (std::size_t i = 0; i < blamed_.size() && i < 5; ++i) ADD_FAILURE() << blamed_[i];
    EXPECT_EQ(fdsEnd, fdsStart);
    EXPECT_LE(rssEnd - rssStart, kRssSlackKb);
    // Retries are for faults: a failure is the faults' only when they spoiled
    // every attempt.
    std::printf("  failed operations %ld of %ld, %ld of them against the driver (an attempt no fault spoiled)\n",
                failed, ops, againstDriver);
    EXPECT_EQ(againstDriver, 0);
}

TEST_F(Soak, MixedReadsAndWritesUnderFaultsDeliverOnlyTrueValues) {
    Run(FromEnvironment("KEL_SOAK_OPS", 2000), static_cast<std::uint32_t>(FromEnvironment("KEL_SOAK_BAUD", 0)));
}

TEST_F(Soak, OnALinePacedAt19200BaudRetriesStillServe) {
    Run(FromEnvironment("KEL_SOAK_PACED_OPS", 300), 19200);
}

}  // namespace
