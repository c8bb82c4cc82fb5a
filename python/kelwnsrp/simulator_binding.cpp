#include "python/kelwnsrp/simulator_binding.h"

#include <set>
#include <stdexcept>

#include "python/kelwnsrp/errors.h"
#include "tools/jwsim/memory_file.h"

namespace py = pybind11;

namespace kelpy {
namespace {

int TimerValue(const kel::jwsim::TimerCounter& timer) {
    const auto digit = [](char c) { return c - '0'; };
    return 1000 * digit(timer.value[2]) + 100 * digit(timer.value[3]) + 10 * digit(timer.value[0]) +
           digit(timer.value[1]);
}

std::uint32_t ItemValue(const kel::jwsim::Controller& controller, const kel::Item& item) {
    switch (item.area) {
        case kel::kAreaR: return controller.Relay(item.address) == '1';
        case kel::kAreaRT: return controller.RtRelay(item.address) == '1';
        case kel::kAreaT: return static_cast<std::uint32_t>(TimerValue(controller.Timer(item.address)));
        default: break;
    }
    std::uint32_t value = 0;
    for (int i = item.bytes - 1; i >= 0; --i) {
        value = value << 8 | controller.Register(kel::RegisterAreaChar(item.area), item.address + i);
    }
    return value;
}

void SetItem(kel::jwsim::Controller& controller, const kel::Item& item, std::uint32_t value) {
    switch (item.area) {
        case kel::kAreaR: controller.SetRelay(item.address, value ? '1' : '0'); return;
        case kel::kAreaRT: controller.SetRtRelay(item.address, value ? '1' : '0'); return;
        case kel::kAreaT: controller.SetTimer(item.address, static_cast<int>(value)); return;
        default: break;
    }
    for (int i = 0; i < item.bytes; ++i) {
        controller.SetRegister(kel::RegisterAreaChar(item.area), item.address + i, static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

}  // namespace

SimulatorHandle::SimulatorHandle(const SimulatorSettings& settings) : baud_(settings.baud) {
    kel::jwsim::SimulatorOptions options;
    options.stations = std::set<int>(settings.stations.begin(), settings.stations.end());
    options.protect = settings.writeProtected;
    options.baud = settings.baud;
    simulator_ = std::make_unique<kel::jwsim::Simulator>(options);
    if (!simulator_->Start()) throw LineError(ErrorKind::kError, "the simulator did not start: " + simulator_->error());
    if (settings.memory.is_none()) return;
    if (py::isinstance<py::str>(settings.memory) || py::hasattr(settings.memory, "__fspath__")) {
        const std::string path = py::str(py::module_::import("os").attr("fspath")(settings.memory));
        std::string error;
        if (!kel::jwsim::LoadMemory(path, *simulator_, &error)) throw LineError(ErrorKind::kError, error);
        return;
    }
    for (const auto& [address, value] : py::dict(settings.memory)) Set(py::str(address), value.cast<double>());
}

// Also while the interpreter shuts down, when the GIL must stay where it is:
// the serving thread never takes it, so stopping it with the GIL held is safe.
SimulatorHandle::~SimulatorHandle() {
    if (!closed_) simulator_->Stop();
}

void SimulatorHandle::Close() {
    closed_ = true;
    py::gil_scoped_release release;
    simulator_->Stop();
}

Gate SimulatorHandle::GateOf(const std::string& address) const {
    Gate gate;
    std::string error;
    if (!ParseGate(address, &gate, &error)) throw LineError(ErrorKind::kGateAddress, error);
    if (simulator_->stations().count(gate.item.station) == 0) {
        throw LineError(ErrorKind::kGateAddress, gate.gas + ": the simulator does not serve that station");
    }
    return gate;
}

py::object SimulatorHandle::Get(const std::string& address) const {
    const Gate gate = GateOf(address);
    const GateValue value = ValueOf(gate, ItemValue(simulator_->Snapshot(gate.item.station), gate.item));
    return value.isFloat ? py::object(py::float_(value.real)) : py::object(py::int_(value.whole));
}

void SimulatorHandle::Set(const std::string& address, double value) {
    const Gate gate = GateOf(address);
    std::uint32_t raw = 0;
    std::string error;
    if (gate.item.area == kel::kAreaT) {
        if (value < 0 || value > kel::jwsim::kTimerValueMax || value != static_cast<int>(value)) {
            throw LineError(ErrorKind::kValueRange, gate.gas + ": a timer or counter value is 0 to 1999");
        }
        raw = static_cast<std::uint32_t>(value);
    } else if (!RawForWrite(gate, value, &raw, &error)) {
        throw LineError(ErrorKind::kValueRange, error);
    }
    simulator_->Edit(gate.item.station, [&](kel::jwsim::Controller& controller) { SetItem(controller, gate.item, raw); });
}

void SimulatorHandle::Fault(const std::string& kind, int count, int status, int delayMs) {
    std::string names;
    for (const auto& [name, faultKind] : kel::jwsim::FaultKindNames()) {
        if (name != kind) {
            names += (names.empty() ? "" : ", ") + name;
            continue;
        }
        if (count < 1) throw std::invalid_argument("count is at least 1");
        kel::jwsim::Fault fault = kel::jwsim::DefaultFault(faultKind, count);
        if (status >= 0) fault.status = static_cast<std::uint8_t>(status);
        if (delayMs >= 0) fault.delay = std::chrono::milliseconds(delayMs);
        simulator_->InjectFault(fault);
        return;
    }
    throw std::invalid_argument("no fault named " + kind + " (" + names + ")");
}

std::vector<std::string> SimulatorHandle::Requests() const {
    std::vector<std::string> frames;
    for (const kel::jwsim::ReceivedRequest& request : simulator_->Requests()) {
        frames.push_back("::" + request.payload + request.checksum);
    }
    return frames;
}

void SimulatorHandle::ClearRequests() { simulator_->ClearRequests(); }

}  // namespace kelpy
