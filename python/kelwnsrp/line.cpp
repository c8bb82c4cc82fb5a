#include "python/kelwnsrp/line.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <stdexcept>

#include "commands/lifecycle.h"
#include "link/read_item.h"
#include "link/write_item.h"
#include "protocol/shown_frame.h"
#include "python/kelwnsrp/driver_messages.h"
#include "python/kelwnsrp/errors.h"
#include "scan/plan_executor.h"
#include "scan/scan_planner.h"
#include "serial/open_failure.h"
#include "serial/serial_port.h"
#include "tools/common/link_timeout.h"

namespace py = pybind11;

namespace kelpy {
namespace {

constexpr const char* kParities[] = {"none", "odd", "even", "mark", "space"};

std::uint16_t ParityCode(const std::string& name) {
    const auto found = std::find(std::begin(kParities), std::end(kParities), name);
    if (found == std::end(kParities)) throw std::invalid_argument("parity is none, odd, even, mark or space, not " + name);
    return static_cast<std::uint16_t>(found - std::begin(kParities));
}

std::uint16_t StopBitsCode(double stopBits) {
    if (stopBits == 1) return 0;
    if (stopBits == 1.5) return 1;
    if (stopBits == 2) return 2;
    throw std::invalid_argument("stop_bits is 1, 1.5 or 2");
}

py::object PythonValue(const GateValue& value) {
    if (value.isFloat) return py::float_(value.real);
    return py::int_(value.whole);
}

std::vector<Gate> ParseAll(const std::vector<std::string>& addresses) {
    std::vector<Gate> gates(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        std::string error;
        if (!ParseGate(addresses[i], &gates[i], &error)) throw LineError(ErrorKind::kGateAddress, error);
    }
    return gates;
}

}  // namespace

void Line::Observer::OnAttempt(kel::AttemptOutcome outcome, std::uint8_t attemptStatus) {
    ++attempts;
    refused = outcome == kel::AttemptOutcome::kRefused;
    if (refused) status = attemptStatus;
}

void Line::Observer::OnFrame(kel::FrameDirection direction, const char* bytes, int count) {
    if (!line_.tracing_.load()) return;
    // The line's mutex is held, the GIL is not: take it for the callable.
    py::gil_scoped_acquire gil;
    if (line_.trace_.is_none()) return;
    try {
        line_.trace_(direction == kel::FrameDirection::kSent ? "<" : ">", kel::ShownFrame(bytes, count));
    } catch (py::error_already_set& error) {
        // The exchange goes on; Python reports the callable's fault as unraisable.
        error.discard_as_unraisable("kelwnsrp.Line.trace");
    }
}

Line::Line(const LineOptions& options) : options_(options) {
    const kel::LineParameters parameters {options.baud, static_cast<std::uint16_t>(options.dataBits),
                                          StopBitsCode(options.stopBits), ParityCode(options.parity)};
    if (options.dataBits < 5 || options.dataBits > 8) throw std::invalid_argument("data_bits is 5 to 8");
    kel::PortHandle handle = nullptr;
    int result = kel::kSerialOk;
    int errorNumber = 0;
    {
        py::gil_scoped_release release;
        result = kel::OpenPort(options.port.c_str(), &parameters, kel::kOpenHandshakeFlags, &handle, &errorNumber);
    }
    if (result != kel::kSerialOk) {
        throw LineError(ErrorKind::kError, kel::OpenFailureText(options.port, result, errorNumber));
    }
    kel::LinkSettings settings;
    settings.baudRate = options.baud;
    settings.replyPauseMs = options.replyPauseMs;
    link_.Configure(settings);
    link_.hooks.observer = &observer_;
    kel::AttachPort(link_, handle, kel::tools::LinkTimeoutUnits(options.linkTimeoutMs));
}

Line::~Line() {
    // The trace is a Python object: it goes while the GIL is held, the port after.
    if (link_.state.port != nullptr) kel::ClosePort(link_.state.port);
}

void Line::Close() {
    py::gil_scoped_release release;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (link_.state.port == nullptr) return;
    kel::ClosePort(link_.state.port);
    link_.state.port = nullptr;
}

bool Line::closed() {
    py::gil_scoped_release release;
    const std::lock_guard<std::mutex> lock(mutex_);
    return link_.state.port == nullptr;
}

void Line::RequireOpen() const {
    if (link_.state.port == nullptr) throw LineError(ErrorKind::kError, "the line is closed");
}

LineError Line::Failure(const std::string& gas) const {
    std::string text = gas + ": ";
    const std::string driver = DriverMessages();
    if (observer_.refused) {
        text += driver.empty() ? "refused with status " + std::to_string(observer_.status) : driver;
        return LineError(ErrorKind::kRefused, text, observer_.status);
    }
    text += "no answer after " + std::to_string(observer_.attempts) + " attempt(s)";
    if (!driver.empty()) text += " (" + driver + ")";
    return LineError(ErrorKind::kNoAnswer, text);
}

py::object Line::Read(const std::string& address) {
    Gate gate;
    std::string error;
    if (!ParseGate(address, &gate, &error)) throw LineError(ErrorKind::kGateAddress, error);
    std::int32_t value = 0;
    bool delivered = false;
    {
        py::gil_scoped_release release;
        const std::lock_guard<std::mutex> lock(mutex_);
        RequireOpen();
        ClearDriverMessages();
        observer_.Reset();
        if (kel::ReadItem(link_, gate.item, &value, &delivered) != kel::kLinkOk) throw Failure(gate.gas);
    }
    if (!delivered) return py::none();
    return PythonValue(ValueOf(gate, static_cast<std::uint32_t>(value)));
}

py::list Line::ReadMany(const std::vector<std::string>& addresses) {
    const std::vector<Gate> gates = ParseAll(addresses);
    std::vector<kel::scan::PlanItem> items;
    for (std::size_t i = 0; i < gates.size(); ++i) items.push_back({gates[i].item, static_cast<int>(i)});
    // The plan's visitor: each read with its own driver messages and
    // attempts; the first read that fails ends the call.
    class Reads final : public kel::scan::PlanVisitor {
    public:
        Reads(Observer& observer, std::size_t count) : raws(count), observer_(observer) {}
        kel::scan::ReadTurn BeforeRead(const kel::scan::PlannedRead&) override {
            ClearDriverMessages();
            observer_.Reset();
            return {};
        }
        void OnItem(const kel::scan::PlanItem& item, kel::scan::ItemOutcome outcome) override {
            if (outcome.kind != kel::scan::ItemOutcome::Kind::kValue) return;
            raws[static_cast<std::size_t>(item.owner)] = outcome.raw;
        }
        bool AfterRead(const kel::scan::PlannedRead& read, int result) override {
            if (result != kel::kLinkOk) failedOwner = read.items.front().owner;
            return result == kel::kLinkOk;
        }

        std::vector<std::optional<std::uint32_t>> raws;
        int failedOwner = -1;

    private:
        Observer& observer_;
    } reads(observer_, gates.size());
    {
        py::gil_scoped_release release;
        const std::lock_guard<std::mutex> lock(mutex_);
        RequireOpen();
        kel::scan::ExecutePlan(link_, kel::scan::PlanReads(items, kel::scan::PlanLimits {}), reads);
        if (reads.failedOwner >= 0) throw Failure(gates[static_cast<std::size_t>(reads.failedOwner)].gas);
    }
    py::list values;
    for (std::size_t i = 0; i < gates.size(); ++i) {
        values.append(reads.raws[i] ? PythonValue(ValueOf(gates[i], *reads.raws[i])) : py::none());
    }
    return values;
}

void Line::Write(const std::string& address, double value) {
    Gate gate;
    std::string error;
    if (!ParseGate(address, &gate, &error)) throw LineError(ErrorKind::kGateAddress, error);
    std::uint32_t raw = 0;
    if (!RawForWrite(gate, value, &raw, &error)) throw LineError(ErrorKind::kValueRange, error);
    py::gil_scoped_release release;
    const std::lock_guard<std::mutex> lock(mutex_);
    RequireOpen();
    ClearDriverMessages();
    observer_.Reset();
    if (kel::WriteItem(link_, gate.item, static_cast<std::int32_t>(raw), gate.gas.c_str()) != kel::kLinkOk) {
        throw Failure(gate.gas);
    }
}

}  // namespace kelpy
