// Fault soak: thousands of mixed reads and writes through KelMain against the
// simulator on a pseudo-terminal, about a fifth of the replies damaged in
// every way the simulator can damage them, some of them on a write-protected
// controller. Every result is held against the controller's memory right
// after the call and against a model of the values each item may hold: a
// failed write may still have been carried out (only its reply was lost), a
// successful one pins the item. Descriptors and resident memory must stay
// flat once warmed up.
//
// KEL_SOAK_OPS sets the number of operations (default 2000); KEL_SOAK_SEED
// replays a run whose seed was printed.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kelwnsrp.h"
#include "teskar.h"
#include "support/quick_reply_directory.h"
#include "tools/jwsim/controller.h"
#include "tools/jwsim/protocol.h"
#include "tools/jwsim/simulator.h"

#ifdef __SANITIZE_ADDRESS__
// Freed memory sits in the sanitizer's quarantine (256 MB by default) before
// it is reused, so resident memory would climb for the whole run whatever
// the driver does. A small one keeps the growth check meaningful; the
// environment's ASAN_OPTIONS still override it.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=1"; }
#endif

namespace {

using kel::jwsim::Controller;
using kel::jwsim::Fault;
using kel::jwsim::FaultKind;
using kel::jwsim::Simulator;
using std::chrono::milliseconds;

constexpr std::uint32_t kLinkTimeout = 10;  // units of 10 ms
constexpr int kTimeoutMs = 10 * static_cast<int>(kLinkTimeout);
constexpr int kOpenStation = 1;
constexpr int kProtectedStation = 2;
constexpr long kDefaultOps = 2000;
// Faults go before this share of the operations; with their repeats and the
// retries they cause, about a fifth of all replies is damaged.
constexpr double kFaultedOpShare = 0.13;
constexpr double kRefusalShare = 0.02;
constexpr double kWriteShare = 0.45;
// Growth of resident memory tolerated between warm-up and the end.
constexpr long kRssSlackKb = 4 * 1024;
// Offending operations shown per kind of problem.
constexpr std::size_t kShownProblems = 5;
// Model products above this many combinations are not enumerated.
constexpr std::size_t kMaxCandidates = 4096;

struct FaultChoice {
    FaultKind kind;
    const char* name;
    int weight = 2;
};

const FaultChoice kFaultKinds[] = {
    {FaultKind::kNoReply, "no reply"},
    {FaultKind::kWrongChecksum, "wrong checksum"},
    {FaultKind::kOtherStation, "other station"},
    {FaultKind::kErrorStatus, "error status"},
    {FaultKind::kCutShort, "cut short"},
    {FaultKind::kNoHeader, "no header"},
    {FaultKind::kOverLong, "over-long"},
    {FaultKind::kGarbageBefore, "garbage before"},
    // Late replies are what pairs a reply with the wrong request.
    {FaultKind::kDelay, "late", 3},
    {FaultKind::kDribble, "dribbled"},
};

// ---- items and the values they may hold -------------------------------------------

enum class Area { kRelay, kRtRelay, kTimer, kRegister };

// A relay, an RT relay, a timer/counter (reads give its current value,
// writes set its contact) or 1, 2 or 4 register bytes.
struct Item {
    int station = kOpenStation;
    Area area = Area::kRelay;
    int number = 0;      // relay, timer or first register byte
    char registers = 0;  // "A", "B", "0" to "3"
    int bytes = 1;       // cells the item covers
};

std::int32_t AreaKindOf(const Item& item) {
    switch (item.area) {
        case Area::kRelay: return AreaR;
        case Area::kRtRelay: return AreaRT;
        case Area::kTimer: return AreaT;
        case Area::kRegister: break;
    }
    switch (item.registers) {
        case 'A': return AreaMA;
        case 'B': return AreaMB;
        default: return AreaM09 + (item.registers - '0');
    }
}

// Cell i of the item as the controller holds it: a relay's state
// character, a timer's contact character, a register byte.
std::uint8_t Held(const Controller& c, const Item& item, int i) {
    switch (item.area) {
        case Area::kRelay: return static_cast<std::uint8_t>(c.Relay(item.number));
        case Area::kRtRelay: return static_cast<std::uint8_t>(c.RtRelay(item.number));
        case Area::kTimer: return static_cast<std::uint8_t>(c.Timer(item.number).set);
        case Area::kRegister: break;
    }
    return c.Register(item.registers, item.number + i);
}

// The cells a write of value leaves behind.
std::array<std::uint8_t, 4> Written(const Item& item, std::uint32_t value) {
    if (item.area != Area::kRegister) return {static_cast<std::uint8_t>('0' + value), 0, 0, 0};
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

int TimerValue(const Controller& c, int number) {
    // Tens, units, thousands, hundreds.
    const auto& v = c.Timer(number).value;
    return 10 * (v[0] - '0') + (v[1] - '0') + 1000 * (v[2] - '0') + 100 * (v[3] - '0');
}

// The number a read of the item yields from these cells (timers: from
// their current value instead).
std::int32_t NumberFrom(const Item& item, const std::array<std::uint8_t, 4>& cells) {
    if (item.area == Area::kRelay || item.area == Area::kRtRelay) return cells[0] - '0';
    std::uint32_t value = 0;
    for (int i = item.bytes - 1; i >= 0; --i) value = value << 8 | cells[static_cast<std::size_t>(i)];
    return static_cast<std::int32_t>(value);
}

std::int32_t NumberIn(const Controller& c, const Item& item) {
    if (item.area == Area::kTimer) return TimerValue(c, item.number);
    std::array<std::uint8_t, 4> cells {};
    for (int i = 0; i < item.bytes; ++i) cells[static_cast<std::size_t>(i)] = Held(c, item, i);
    return NumberFrom(item, cells);
}

// The host's value cell after a read delivered number, as the header lays
// it out: types 0, 1 and 6 fill bytes 2 and 3 (6 with the low byte widened
// with its sign), 3 a float, 4 and 5 all four bytes.
std::uint32_t CellFor(std::uint32_t valueType, std::int32_t number, std::uint32_t before) {
    const auto raw = static_cast<std::uint32_t>(number);
    switch (valueType) {
        case KEL_VALUE_ANALOG16:
        case KEL_VALUE_ANALOG16_ALT: return (raw & 0xFFFFu) << 16 | (before & 0xFFFFu);
        case KEL_VALUE_FLOAT: {
            const float f = static_cast<float>(number);
            std::uint32_t bits = 0;
            std::memcpy(&bits, &f, sizeof bits);
            return bits;
        }
        case KEL_VALUE_ANALOG32:
        case KEL_VALUE_ANALOG32_ALT: return raw;
        case KEL_VALUE_DIGITAL: {
            const auto widened = static_cast<std::uint16_t>(static_cast<std::int8_t>(raw & 0xFFu));
            return std::uint32_t {widened} << 16 | (before & 0xFFFFu);
        }
        default: return before;
    }
}

using Values = std::bitset<256>;

// Per station and cell, the values the controller may hold.
class Model {
public:
    void Add(int station, const Controller& c) {
        Station& s = stations_[station];
        s.relays.resize(kel::kRelayCount);
        for (int n = 0; n < kel::kRelayCount; ++n) s.relays[static_cast<std::size_t>(n)] = Only(c.Relay(n));
        s.rtRelays.resize(kel::kRtRelayCount);
        for (int n = 0; n < kel::kRtRelayCount; ++n) {
            s.rtRelays[static_cast<std::size_t>(n)] = Only(c.RtRelay(n));
        }
        s.timerSets.resize(kel::kTimerCount);
        s.timerValues.resize(kel::kTimerCount);
        for (int n = 0; n < kel::kTimerCount; ++n) {
            s.timerSets[static_cast<std::size_t>(n)] = Only(c.Timer(n).set);
            s.timerValues[static_cast<std::size_t>(n)] = TimerValue(c, n);
        }
        for (const char area : kRegisterAreas) {
            std::vector<Values>& bytes = s.registers[area];
            bytes.resize(static_cast<std::size_t>(Controller::RegisterAreaSize(area)));
            for (std::size_t b = 0; b < bytes.size(); ++b) bytes[b] = Only(c.Register(area, static_cast<int>(b)));
        }
    }

    Values& Cell(const Item& item, int i) {
        Station& s = stations_.at(item.station);
        switch (item.area) {
            case Area::kRelay: return s.relays.at(static_cast<std::size_t>(item.number));
            case Area::kRtRelay: return s.rtRelays.at(static_cast<std::size_t>(item.number));
            case Area::kTimer: return s.timerSets.at(static_cast<std::size_t>(item.number));
            case Area::kRegister: break;
        }
        return s.registers.at(item.registers).at(static_cast<std::size_t>(item.number + i));
    }

    void Pin(const Item& item, const std::array<std::uint8_t, 4>& cells) {
        for (int i = 0; i < item.bytes; ++i) Cell(item, i) = Only(cells[static_cast<std::size_t>(i)]);
    }
    void Allow(const Item& item, const std::array<std::uint8_t, 4>& cells) {
        for (int i = 0; i < item.bytes; ++i) Cell(item, i).set(cells[static_cast<std::size_t>(i)]);
    }

    // The numbers a read of item may yield; false when too many to list.
    bool Numbers(const Item& item, std::vector<std::int32_t>* numbers) {
        numbers->clear();
        if (item.area == Area::kTimer) {
            numbers->push_back(stations_.at(item.station).timerValues.at(static_cast<std::size_t>(item.number)));
            return true;
        }
        std::size_t combinations = 1;
        for (int i = 0; i < item.bytes; ++i) combinations *= Cell(item, i).count();
        if (combinations > kMaxCandidates) return false;
        std::array<std::uint8_t, 4> cells {};
        Enumerate(item, 0, &cells, numbers);
        return true;
    }

    // The cells of a station whose memory lies outside the model, described.
    std::vector<std::string> Outside(int station, const Controller& c) {
        std::vector<std::string> found;
        Station& s = stations_.at(station);
        const auto check = [&](const Values& allowed, std::uint8_t held, const std::string& where) {
            if (!allowed.test(held)) found.push_back(Describe(station, where, held, allowed));
        };
        for (int n = 0; n < kel::kRelayCount; ++n) {
            check(s.relays[static_cast<std::size_t>(n)], static_cast<std::uint8_t>(c.Relay(n)),
                  "R" + std::to_string(n));
        }
        for (int n = 0; n < kel::kRtRelayCount; ++n) {
            check(s.rtRelays[static_cast<std::size_t>(n)], static_cast<std::uint8_t>(c.RtRelay(n)),
                  "RT" + std::to_string(n));
        }
        for (int n = 0; n < kel::kTimerCount; ++n) {
            check(s.timerSets[static_cast<std::size_t>(n)], static_cast<std::uint8_t>(c.Timer(n).set),
                  "T" + std::to_string(n) + " contact");
        }
        for (const char area : kRegisterAreas) {
            const std::vector<Values>& bytes = s.registers.at(area);
            for (std::size_t b = 0; b < bytes.size(); ++b) {
                check(bytes[b], c.Register(area, static_cast<int>(b)),
                      std::string("M") + area + " byte " + std::to_string(b));
            }
        }
        return found;
    }

    static std::string Describe(int station, const std::string& where, std::uint8_t held, const Values& allowed) {
        std::string text = "station " + std::to_string(station) + " " + where + " holds " + std::to_string(held) +
                           ", model allows {";
        for (std::size_t v = 0; v < allowed.size(); ++v) {
            if (allowed.test(v)) text += " " + std::to_string(v);
        }
        return text + " }";
    }

    static constexpr char kRegisterAreas[] = {'A', 'B', '0', '1', '2', '3'};

private:
    struct Station {
        std::vector<Values> relays;
        std::vector<Values> rtRelays;
        std::vector<Values> timerSets;
        std::vector<int> timerValues;  // current values: writes leave them
        std::map<char, std::vector<Values>> registers;
    };

    static Values Only(char c) { return Only(static_cast<std::uint8_t>(c)); }
    static Values Only(std::uint8_t v) {
        Values values;
        values.set(v);
        return values;
    }

    void Enumerate(const Item& item, int i, std::array<std::uint8_t, 4>* cells, std::vector<std::int32_t>* out) {
        if (i == item.bytes) {
            out->push_back(NumberFrom(item, *cells));
            return;
        }
        const Values& allowed = Cell(item, i);
        for (std::size_t v = 0; v < allowed.size(); ++v) {
            if (!allowed.test(v)) continue;
            (*cells)[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v);
            Enumerate(item, i + 1, cells, out);
        }
    }

    std::map<int, Station> stations_;
};

// ---- the process ----------------------------------------------------------------------

int OpenDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string Octal(int value, int digits) {
    std::string text(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value /= 8) {
        text[static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 8);
    }
    return text;
}

// ---- the soak -------------------------------------------------------------------------

struct Tally {
    std::map<std::int32_t, long> reads;   // by result
    std::map<std::int32_t, long> writes;  // by result
    long refusals = 0;
    std::map<std::string, std::pair<long, long>> faults;  // kind: faults, replies
    long faultedReplies = 0;
    long requests = 0;
    long unchecked = 0;  // reads whose model was too wide to enumerate
    std::map<std::string, std::vector<std::string>> problems;
    std::map<std::string, long> problemCounts;

    void Problem(const std::string& kind, const std::string& text) {
        ++problemCounts[kind];
        std::vector<std::string>& shown = problems[kind];
        if (shown.size() < kShownProblems) shown.push_back(text);
    }
    long Count(const std::string& kind) const {
        const auto found = problemCounts.find(kind);
        return found == problemCounts.end() ? 0 : found->second;
    }
    std::string Shown(const std::string& kind) const {
        std::string text;
        const auto found = problems.find(kind);
        if (found == problems.end()) return text;
        for (const std::string& line : found->second) text += "\n  " + line;
        return text;
    }
};

const char* const kWrongValue = "wrong values";
const char* const kUnconfirmed = "unconfirmed writes";
const char* const kNotRefused = "out-of-range writes not refused";
const char* const kOutside = "memory outside the model";
const char* const kCellTouched = "failed reads that changed the cell";

std::string Results(const std::map<std::int32_t, long>& byResult) {
    std::string text;
    for (const auto& [result, count] : byResult) {
        text += (text.empty() ? "" : ", ") + std::string(result == KEL_OK ? "ok" : "result " + std::to_string(result)) +
                " " + std::to_string(count);
    }
    return text.empty() ? "none" : text;
}

class Soak : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(directory_.Enter("kel-soak")) << directory_.error(); }

    void TearDown() override {
        if (state_.portHandle != nullptr) {
            EXPECT_EQ(Call(KEL_CMD_CLOSE, nullptr), KEL_OK);
        }
        simulator_.reset();
    }

    std::int32_t Call(std::int32_t command, void* block) {
        KelRequest request {&state_, command, 0, 0, block};
        return KelMain(&request);
    }

    bool Chance(double p) { return std::bernoulli_distribution(p)(rng_); }
    int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
    std::uint32_t Any32() { return static_cast<std::uint32_t>(rng_()); }
    template <typename T, std::size_t N>
    const T& OneOf(const T (&choices)[N]) {
        return choices[static_cast<std::size_t>(Uniform(0, static_cast<int>(N) - 1))];
    }

    // Hosts scan a few gates of one kind in a row and come back to the same
    // gate often: runs of operations on one station and area, now and then
    // on the item before, so a stray reply often looks like the awaited one.
    Item PickItem() {
        if (runLeft_-- <= 0) {
            runLeft_ = Uniform(1, 12);
            Item& run = run_;
            run = Item {};
            run.station = Chance(0.25) ? kProtectedStation : kOpenStation;
            const int area = Uniform(0, 99);
            if (area < 25) {
                run.area = Area::kRelay;
            } else if (area < 35) {
                run.area = Area::kRtRelay;
            } else if (area < 50) {
                run.area = Area::kTimer;
            } else {
                run.area = Area::kRegister;
                run.registers = OneOf(Model::kRegisterAreas);
                static constexpr int kWidths[] = {1, 2, 4};
                run.bytes = OneOf(kWidths);
            }
            run.number = -1;
        }
        if (run_.number >= 0 && Chance(0.3)) return run_;
        switch (run_.area) {
            case Area::kRelay: run_.number = Uniform(0, kel::kRelayCount - 1); break;
            case Area::kRtRelay: run_.number = Uniform(0, kel::kRtRelayCount - 1); break;
            case Area::kTimer: run_.number = Uniform(0, kel::kTimerCount - 1); break;
            case Area::kRegister:
                run_.number = Uniform(0, Controller::RegisterAreaSize(run_.registers) - run_.bytes);
                break;
        }
        return run_;
    }

    std::string GasFor(const Item& item) {
        std::string gas = Octal(item.station, 2);
        switch (item.area) {
            case Area::kRelay: gas += "R" + Octal(item.number, 5); break;
            case Area::kRtRelay: gas += "RT" + Octal(item.number, 4); break;
            case Area::kTimer: gas += "T0" + Octal(item.number, 3); break;
            case Area::kRegister:
                gas += std::string("M") + item.registers;
                gas += item.registers == 'A' || item.registers == 'B' ? Octal(item.number, 4)
                                                                      : "9" + Octal(item.number, 3);
                if (item.bytes == 1) gas += "B";
                break;
        }
        // Hosts may write addresses in lower case.
        if (Chance(0.1)) {
            for (char& c : gas) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return gas;
    }

    std::uint32_t GateTypeFor(const Item& item) {
        static constexpr std::uint32_t kAnalog16[] = {KEL_VALUE_ANALOG16, KEL_VALUE_ANALOG16_ALT};
        static constexpr std::uint32_t kAnalog32[] = {KEL_VALUE_ANALOG32, KEL_VALUE_ANALOG32_ALT};
        static constexpr std::uint32_t kAnalog[] = {KEL_VALUE_ANALOG16, KEL_VALUE_ANALOG16_ALT, KEL_VALUE_ANALOG32,
                                                    KEL_VALUE_ANALOG32_ALT};
        switch (item.area) {
            case Area::kRelay:
            case Area::kRtRelay: return KEL_VALUE_DIGITAL;
            case Area::kTimer: return OneOf(kAnalog16);
            case Area::kRegister: break;
        }
        if (item.bytes == 2) return OneOf(kAnalog16);
        if (item.bytes == 4) return OneOf(kAnalog32);
        return OneOf(kAnalog);  // the "B" makes it 8 bits whatever the type
    }

    // A fault for the next replies, of any kind, now and then.
    const char* MaybeInjectFault(Tally* tally) {
        if (!Chance(kFaultedOpShare)) return nullptr;
        int total = 0;
        for (const FaultChoice& c : kFaultKinds) total += c.weight;
        int pick = Uniform(1, total);
        const FaultChoice* chosen = kFaultKinds;
        while (pick > chosen->weight) pick -= (chosen++)->weight;
        const FaultChoice& choice = *chosen;
        Fault fault;
        fault.kind = choice.kind;
        static constexpr int kRepeats[] = {1, 1, 1, 1, 1, 2, 2, 3, 4, 5, 5};
        fault.replies = OneOf(kRepeats);
        if (choice.kind == FaultKind::kErrorStatus) {
            // 10 asks for write mode; the others refuse.
            static constexpr std::uint8_t kStatuses[] = {0x01, 0x03, 0x05, 0x06, 0x0B, 0x10, 0x10};
            fault.status = OneOf(kStatuses);
        }
        if (choice.kind == FaultKind::kDelay) {
            // Late past the timeout: the reply turns up during a later
            // attempt or a later operation. The line stays held meanwhile,
            // so no more than two in a row.
            fault.replies = Uniform(1, 2);
            fault.delay = milliseconds(Uniform(kTimeoutMs * 3 / 2, kTimeoutMs * 6));
        }
        if (choice.kind == FaultKind::kDribble) {
            // From a slow line to one so slow the reply ends past its attempt.
            fault.replies = Uniform(1, 2);
            fault.delay = milliseconds(Uniform(1, kTimeoutMs / 3));
        }
        if (choice.kind == FaultKind::kGarbageBefore) {
            fault.garbage.clear();
            for (int i = Uniform(1, 6); i > 0; --i) fault.garbage += static_cast<char>(Uniform(0, 255));
        }
        simulator_->InjectFault(fault);
        auto& counts = tally->faults[choice.name];
        ++counts.first;
        counts.second += fault.replies;
        tally->faultedReplies += fault.replies;
        return choice.name;
    }

    DriverState state_ {};
    std::unique_ptr<Simulator> simulator_;
    std::mt19937_64 rng_;

private:
    Item run_;
    int runLeft_ = 0;
    kel::test_support::QuickReplyDirectory directory_;
};

TEST_F(Soak, MixedReadsAndWritesUnderFaultsKeepMemoryTrueAndResourcesFlat) {
    long ops = kDefaultOps;
    if (const char* text = std::getenv("KEL_SOAK_OPS"); text != nullptr && *text != '\0') {
        char* end = nullptr;
        ops = std::strtol(text, &end, 10);
        ASSERT_TRUE(*end == '\0' && ops > 0) << "KEL_SOAK_OPS=" << text << " is not a positive number";
    }
    std::uint64_t seed = (std::uint64_t {std::random_device {}()} << 32) ^ std::random_device {}();
    if (const char* text = std::getenv("KEL_SOAK_SEED"); text != nullptr && *text != '\0') {
        seed = std::strtoull(text, nullptr, 10);
    }
    rng_.seed(seed);
    std::printf("soak: %ld operations, seed %llu (KEL_SOAK_SEED replays it), link timeout %d ms\n", ops,
                static_cast<unsigned long long>(seed), kTimeoutMs);

    simulator_ =
        std::make_unique<Simulator>(kel::jwsim::SimulatorOptions {.stations = {kOpenStation, kProtectedStation}});
    ASSERT_TRUE(simulator_->Start()) << simulator_->error();
    // Memory that is not all zero, so a value from the wrong item shows.
    Model model;
    for (const int station : {kOpenStation, kProtectedStation}) {
        ASSERT_TRUE(simulator_->Edit(station, [&](Controller& c) {
            c.protect = station == kProtectedStation;
            for (int n = 0; n < kel::kRelayCount; ++n) c.SetRelay(n, static_cast<char>('0' + Uniform(0, 1)));
            for (int n = 0; n < kel::kRtRelayCount; ++n) c.SetRtRelay(n, static_cast<char>('0' + Uniform(0, 1)));
            for (int n = 0; n < kel::kTimerCount; ++n) {
                c.SetTimer(n, Uniform(0, kel::jwsim::kTimerValueMax), Chance(0.5) ? '4' : '2');
                c.Timer(n).set = static_cast<char>('0' + Uniform(0, 1));
            }
            for (const char area : Model::kRegisterAreas) {
                for (int b = 0; b < Controller::RegisterAreaSize(area); ++b) {
                    c.SetRegister(area, b, static_cast<std::uint8_t>(Uniform(0, 255)));
                }
            }
        }));
        model.Add(station, simulator_->Snapshot(station));
    }

    const std::string port = simulator_->portName();
    OpenRequest open {};
    ASSERT_LT(port.size(), sizeof open.portName) << port;
    std::memcpy(open.portName, port.data(), port.size());
    open.enable = 1;
    open.LinkTimeout = kLinkTimeout;
    open.line = {38400, 8, 0, 0};
    ASSERT_EQ(Call(KEL_CMD_OPEN, &open), KEL_OK) << port;

    Tally tally;
    const long warmUp = std::min(std::max(ops / 10, 1L), 1000L);
    int fdsStart = 0;
    long rssStart = 0;
    std::vector<std::int32_t> numbers;
    const auto started = std::chrono::steady_clock::now();

    // Whatever the outcome, the item holds nothing the model rules out.
    const auto checkModel = [&](const Item& item, const Controller& memory, const std::string& what) {
        for (int i = 0; i < item.bytes; ++i) {
            const std::uint8_t byte = Held(memory, item, i);
            Values& allowed = model.Cell(item, i);
            if (!allowed.test(byte)) {
                tally.Problem(kOutside,
                              what + ": " + Model::Describe(item.station, "cell " + std::to_string(i), byte, allowed));
                allowed.set(byte);
            }
        }
    };

    for (long op = 0; op < ops; ++op) {
        if (op == warmUp) {
            fdsStart = OpenDescriptors();
            rssStart = ResidentKb();
        }
        teskar_clear();
        const Item item = PickItem();
        const std::string gas = GasFor(item);
        const std::uint32_t gateType = GateTypeFor(item);
        GateCheckRequest check {gas.c_str(), 0, gateType, 1, 0, {}};
        ASSERT_EQ(Call(KEL_CMD_CHECK_GATE, &check), KEL_OK) << gas << " type " << gateType;
        const GateAddress& gate = check.address;
        ASSERT_TRUE(gate.station == item.station && gate.areaKind == AreaKindOf(item) && gate.address == item.number &&
                    (item.area != Area::kRegister || gate.widthBits == 8 * item.bytes))
            << gas << ": station " << gate.station << " area " << gate.areaKind << " address " << gate.address
            << " width " << gate.widthBits;

        const bool write = Chance(kWriteShare);
        const bool refusal = write && Chance(kRefusalShare / kWriteShare);
        const char* fault = refusal ? nullptr : MaybeInjectFault(&tally);
        std::string what = "op " + std::to_string(op) + (write ? ": write " : ": read ") + gas;
        if (fault != nullptr) what += std::string(" (") + fault + ")";

        if (!write) {
            static constexpr std::uint32_t kReadTypes[] = {KEL_VALUE_ANALOG16, KEL_VALUE_ANALOG16_ALT, KEL_VALUE_FLOAT,
                                                           KEL_VALUE_ANALOG32, KEL_VALUE_ANALOG32_ALT,
                                                           KEL_VALUE_DIGITAL};
            const std::uint32_t valueType = OneOf(kReadTypes);
            const std::uint32_t fill = Any32();
            std::uint32_t cell = fill;
            GateRequest read {gas.c_str(), 0, gate, valueType, 1, 0, &cell};
            const Controller earlier = simulator_->Snapshot(item.station);
            const std::int32_t result = Call(KEL_CMD_READ_GATE, &read);
            ++tally.reads[result];
            const Controller memory = simulator_->Snapshot(item.station);
            what += " type " + std::to_string(valueType) + " gave " + Hex(cell);
            if (result != KEL_OK) {
                if (cell != fill) tally.Problem(kCellTouched, what + " with result " + std::to_string(result));
            } else {
                // Requests of earlier operations may still land while the
                // read is under way: the item's value at either end will do.
                const std::int32_t held = NumberIn(memory, item);
                const bool matchesMemory = cell == CellFor(valueType, held, fill) ||
                                           cell == CellFor(valueType, NumberIn(earlier, item), fill);
                bool matchesModel = false;
                if (model.Numbers(item, &numbers)) {
                    for (const std::int32_t n : numbers) {
                        matchesModel = matchesModel || cell == CellFor(valueType, n, fill);
                    }
                } else {
                    ++tally.unchecked;
                    matchesModel = true;
                }
                if (!matchesMemory || !matchesModel) {
                    const std::string shown = item.area == Area::kRegister ? Hex(static_cast<std::uint32_t>(held))
                                                                           : std::to_string(held);
                    tally.Problem(kWrongValue, what + ", memory holds " + shown + " (cell " +
                                                   Hex(CellFor(valueType, held, fill)) + ")" +
                                                   (matchesModel ? "" : ", which the model does not allow either"));
                }
            }
            checkModel(item, memory, what);
        } else {
            std::uint32_t valueType = KEL_VALUE_DIGITAL;
            std::uint32_t value = 0;
            std::uint32_t cell = 0;
            if (item.area != Area::kRegister) {
                static constexpr std::uint32_t kContactTypes[] = {KEL_VALUE_DIGITAL, KEL_VALUE_ANALOG16,
                                                                  KEL_VALUE_ANALOG16_ALT};
                valueType = item.area == Area::kTimer ? OneOf(kContactTypes)
                                                      : (Chance(0.8) ? KEL_VALUE_DIGITAL : KEL_VALUE_ANALOG16);
                value = refusal ? static_cast<std::uint32_t>(Chance(0.7) ? Uniform(2, 9) : Uniform(10, 0xFFFF))
                                : static_cast<std::uint32_t>(Uniform(0, 1));
                cell = value << 16 | (Any32() & 0xFFFFu);
            } else if (refusal && item.bytes != 1) {
                // Floats are read only.
                valueType = KEL_VALUE_FLOAT;
                const float f = static_cast<float>(Uniform(-100000, 100000)) / 8.0f;
                std::memcpy(&cell, &f, sizeof cell);
            } else {
                valueType = gateType;
                const std::uint32_t widest = item.bytes == 1 ? 0xFFu : item.bytes == 2 ? 0xFFFFu : 0xFFFFFFFFu;
                value = Any32() & widest;
                if (refusal) value = static_cast<std::uint32_t>(Uniform(0x100, 0xFFFF));
                const bool upperHalf = valueType == KEL_VALUE_ANALOG16 || valueType == KEL_VALUE_ANALOG16_ALT;
                cell = upperHalf ? value << 16 | (Any32() & 0xFFFFu) : value;
            }
            what += " type " + std::to_string(valueType) + " cell " + Hex(cell);
            GateRequest request {gas.c_str(), 0, gate, valueType, 1, 0, &cell};
            const std::int32_t result = Call(KEL_CMD_WRITE_GATE, &request);
            const Controller memory = simulator_->Snapshot(item.station);
            std::string held;
            bool holdsWritten = true;
            const std::array<std::uint8_t, 4> written = Written(item, value);
            for (int i = 0; i < item.bytes; ++i) {
                const std::uint8_t byte = Held(memory, item, i);
                held += (i == 0 ? "" : " ") + std::to_string(byte);
                holdsWritten = holdsWritten && byte == written[static_cast<std::size_t>(i)];
            }
            what += " gave " + std::to_string(result) + ", memory holds cells {" + held + "}";
            if (refusal) {
                ++tally.refusals;
                if (result != KEL_REFUSED) tally.Problem(kNotRefused, what);
            } else {
                ++tally.writes[result];
                if (result == KEL_OK) {
                    if (!holdsWritten) {
                        tally.Problem(kUnconfirmed, what);
                        // It may still land: keep both so one fault is reported once.
                        std::array<std::uint8_t, 4> now {};
                        for (int i = 0; i < item.bytes; ++i) now[static_cast<std::size_t>(i)] = Held(memory, item, i);
                        model.Pin(item, now);
                        model.Allow(item, written);
                    } else {
                        model.Pin(item, written);
                    }
                } else {
                    // Carried out with its reply lost, or not at all.
                    model.Allow(item, written);
                }
            }
            checkModel(item, memory, what);
        }

        tally.requests += static_cast<long>(simulator_->Requests().size());
        simulator_->ClearRequests();
    }
    const int fdsEnd = OpenDescriptors();
    const long rssEnd = ResidentKb();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    // Once the line is quiet, late requests have landed too: all memory
    // must lie within the model.
    simulator_->ClearFaults();
    for (int quiet = 0, waited = 0; quiet < 10 && waited < 200; ++waited) {
        std::this_thread::sleep_for(milliseconds(100));
        const std::size_t arrived = simulator_->Requests().size();
        simulator_->ClearRequests();
        tally.requests += static_cast<long>(arrived);
        quiet = arrived == 0 ? quiet + 1 : 0;
    }
    for (const int station : {kOpenStation, kProtectedStation}) {
        for (const std::string& text : model.Outside(station, simulator_->Snapshot(station))) {
            tally.Problem(kOutside, "at the end: " + text);
        }
    }

    std::printf("soak: %ld operations in %.1f s\n", ops, seconds);
    long reads = 0;
    long writes = 0;
    for (const auto& [result, count] : tally.reads) reads += count;
    for (const auto& [result, count] : tally.writes) writes += count;
    std::printf("  reads %ld: %s\n", reads, Results(tally.reads).c_str());
    std::printf("  writes %ld: %s\n", writes, Results(tally.writes).c_str());
    std::printf("  out-of-range writes %ld, not refused %ld\n", tally.refusals, tally.Count(kNotRefused));
    const double faultedShare =
        100.0 * static_cast<double>(tally.faultedReplies) / static_cast<double>(std::max(tally.requests, 1L));
    std::printf("  requests %ld, faulted replies injected %ld (%.0f %%)\n", tally.requests, tally.faultedReplies,
                faultedShare);
    for (const FaultChoice& choice : kFaultKinds) {
        const auto& counts = tally.faults[choice.name];
        std::printf("    %-15s %5ld faults, %5ld replies\n", choice.name, counts.first, counts.second);
    }
    std::printf("  wrong values %ld, unconfirmed writes %ld, memory outside the model %ld, "
                "failed reads that changed the cell %ld, reads not checked against the model %ld\n",
                tally.Count(kWrongValue), tally.Count(kUnconfirmed), tally.Count(kOutside), tally.Count(kCellTouched),
                tally.unchecked);
    std::printf("  descriptors %d -> %d, resident %ld kB -> %ld kB (after %ld operations -> end)\n", fdsStart, fdsEnd,
                rssStart, rssEnd, warmUp);
    std::fflush(stdout);

    for (const char* kind : {kWrongValue, kUnconfirmed, kNotRefused, kOutside, kCellTouched}) {
        EXPECT_EQ(tally.Count(kind), 0) << kind << ", the first of them:" << tally.Shown(kind);
    }
    if (ops > warmUp) {
        EXPECT_EQ(fdsEnd, fdsStart) << "open descriptors";
        EXPECT_LE(rssEnd - rssStart, kRssSlackKb)
            << "resident memory grew from " << rssStart << " kB to " << rssEnd << " kB";
    }
}

}  // namespace
