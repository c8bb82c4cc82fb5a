// kelwnsrp.Simulator: the controller simulator in this process, serving a
// fresh pseudo-terminal from its own thread, with its memory named by the
// same gate addresses as Line's.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "python/kelwnsrp/gate.h"
#include "tools/jwsim/simulator.h"

namespace kelpy {

struct SimulatorSettings {
    pybind11::object memory = pybind11::none();  // a mapping of gate to value, or a memory file's path
    std::vector<int> stations {1};
    std::uint32_t baud = 0;
    bool writeProtected = false;
};

class SimulatorHandle {
public:
    // Starts serving; throws LineError when it cannot.
    explicit SimulatorHandle(const SimulatorSettings& settings);
    ~SimulatorHandle();

    void Close();
    bool closed() const { return closed_; }
    std::string port() const { return simulator_->devicePath(); }
    std::uint32_t baud() const { return baud_; }

    pybind11::object Get(const std::string& address) const;
    void Set(const std::string& address, double value);

    // Queues count replies damaged by the fault of that command-line name.
    void Fault(const std::string& kind, int count, int status, int delayMs);
    std::vector<std::string> Requests() const;
    void ClearRequests();

private:
    // The gate, or LineError; a station the simulator does not serve is refused too.
    Gate GateOf(const std::string& address) const;

    std::unique_ptr<kel::jwsim::Simulator> simulator_;
    std::uint32_t baud_ = 0;
    bool closed_ = false;
};

// The view behind Simulator.memory: memory[address] reads and sets a gate.
struct MemoryView {
    SimulatorHandle* simulator;
};

}  // namespace kelpy
