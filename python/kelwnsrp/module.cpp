// The kelwnsrp Python module: Line over the link layer, the simulator, and
// the exceptions the driver's failures come out as.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "python/kelwnsrp/driver_messages.h"
#include "python/kelwnsrp/errors.h"
#include "python/kelwnsrp/line.h"
#include "python/kelwnsrp/simulator_binding.h"
#include "tools/common/line_defaults.h"

namespace py = pybind11;
using kelpy::ErrorKind;

namespace {

// The exception classes, made once when the module loads and kept for as
// long as the interpreter runs.
PyObject* classes[5] = {};

PyObject* NewClass(py::module_& module, const char* name, PyObject* base, const char* doc) {
    const std::string qualified = std::string("kelwnsrp.") + name;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, nullptr);
    if (type == nullptr) throw py::error_already_set();
    module.add_object(name, py::reinterpret_borrow<py::object>(type));
    return type;
}

void RaiseLineError(const kelpy::LineError& error) {
    PyObject* type = classes[static_cast<int>(error.kind)];
    py::object instance = py::reinterpret_borrow<py::object>(type)(error.what());
    if (error.kind == ErrorKind::kRefused) instance.attr("status") = error.status;
    PyErr_SetObject(type, instance.ptr());
}

// kelwnsrp.Error and the classes derived from it, and the translation of a
// LineError into the one its kind names.
void BindExceptions(py::module_& module) {
    classes[0] = NewClass(module, "Error", PyExc_Exception, "A call on a line failed; the message is the driver's.");
    classes[1] = NewClass(module, "GateAddressError", classes[0],
                          "A malformed or out-of-range gate address: refused before anything is sent.");
    classes[2] = NewClass(module, "ValueRangeError", classes[0],
                          "A value the gate cannot take: refused before anything is sent.");
    classes[3] = NewClass(module, "NoAnswer", classes[0], "Every attempt went without a valid answer.");
    classes[4] = NewClass(module, "Refused", classes[0],
                          "The controller answered with an error status, kept in .status.");
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) std::rethrow_exception(thrown);
        } catch (const kelpy::LineError& error) {
            RaiseLineError(error);
        }
    });
}

void BindLine(py::module_& module) {
    py::class_<kelpy::Line>(module, "Line",
                            "A controller line on a serial port, opened at once; a context manager that closes "
                            "it on exit. Calls on one line from several threads take turns; lines of their own "
                            "run at once, each on its own thread. The GIL is released while the line is busy.")
        .def(py::init([](std::string port, std::uint32_t baud, int dataBits, std::string parity, double stopBits,
                         std::uint32_t linkTimeoutMs, std::uint32_t replyPauseMs) {
                 return std::make_unique<kelpy::Line>(kelpy::LineOptions {
                     std::move(port), baud, dataBits, std::move(parity), stopBits, linkTimeoutMs, replyPauseMs});
             }),
             py::arg("port"), py::arg("baud") = kel::tools::kDefaultBaud,
             py::arg("data_bits") = kel::tools::kDefaultDataBits, py::arg("parity") = kel::tools::kDefaultParity,
             py::arg("stop_bits") = kel::tools::kDefaultStopBits, py::arg("link_timeout_ms") = 1000,
             py::arg("reply_pause_ms") = 50,
             "Opens port ('/dev/ttyUSB0', or a Simulator's .port) with these line settings. link_timeout_ms is "
             "how long an attempt waits for its reply; reply_pause_ms the pause between a request and its reply. "
             "Raises kelwnsrp.Error when the port does not open.")
        .def("read", &kelpy::Line::Read, py::arg("address"),
             "Reads one gate: an int (relays 0 or 1, registers unsigned), a float for a ':float' gate, None when "
             "a timer/counter withholds its value. Raises GateAddressError before sending for a bad address, "
             "NoAnswer when every attempt failed, Refused with the controller's .status.")
        .def("read_many", &kelpy::Line::ReadMany, py::arg("addresses"),
             "Reads many gates in the fewest exchanges (jwgate's planner: neighbouring registers, timers and "
             "relays share range reads) and returns their values in the order given. Every address is checked "
             "before anything is sent; a failed exchange raises as read does.")
        .def("write", &kelpy::Line::Write, py::arg("address"), py::arg("value"),
             "Writes a whole number to a gate (negative register values as two's complement), switching the "
             "controller's write mode on and off around it when the controller asks for it. Raises "
             "ValueRangeError before sending for a value the gate cannot take, NoAnswer or Refused as read does.")
        .def("close", &kelpy::Line::Close, "Closes the port; later calls raise kelwnsrp.Error. Closing twice is harmless.")
        .def_property_readonly("closed", &kelpy::Line::closed, "Whether the port is closed.")
        .def_property("trace", &kelpy::Line::trace, &kelpy::Line::SetTrace,
                      "A callable given every frame on the line: ('<', request) or ('>', reply), the frame as "
                      "kelhost's trace shows it. None (the default) for no trace.")
        .def_property_readonly("port", [](const kelpy::Line& line) { return line.options().port; }, "The port's name.")
        .def("__enter__", [](kelpy::Line& line) -> kelpy::Line& { return line; }, py::return_value_policy::reference)
        .def("__exit__", [](kelpy::Line& line, py::args) { line.Close(); });
}

// The simulator and its memory by gate address.
void BindSimulator(py::module_& module) {
    py::class_<kelpy::MemoryView>(module, "SimulatorMemory",
                                  "The simulated controllers' memory: memory['01MA0100'] reads a gate, "
                                  "memory['01MA0100'] = 5 sets it (a timer's current value for T gates).")
        .def("__getitem__", [](const kelpy::MemoryView& view, const std::string& address) {
            return view.simulator->Get(address);
        })
        .def("__setitem__", [](kelpy::MemoryView& view, const std::string& address, double value) {
            view.simulator->Set(address, value);
        });

    py::class_<kelpy::SimulatorHandle>(module, "Simulator",
                                       "Simulated JW controllers serving a fresh pseudo-terminal from a thread of "
                                       "this process, started at once; a context manager that stops it on exit.")
        .def(py::init([](py::object memory, std::vector<int> stations, std::uint32_t baud, bool writeProtected) {
                 return std::make_unique<kelpy::SimulatorHandle>(
                     kelpy::SimulatorSettings {std::move(memory), std::move(stations), baud, writeProtected});
             }),
             py::arg("memory") = py::none(), py::arg("stations") = std::vector<int> {1}, py::arg("baud") = 0,
             py::arg("write_protected") = false,
             "memory: a dict of gate to value, or the path of a jwsim memory file. stations: the station numbers "
             "served. baud: pace replies like a line of that speed (0: as fast as it goes). write_protected: "
             "writes need the controller's write mode first.")
        .def_property_readonly("port", &kelpy::SimulatorHandle::port, "The pseudo-terminal a Line opens.")
        .def_property_readonly("baud", &kelpy::SimulatorHandle::baud, "The speed its replies are paced to; 0: none.")
        .def_property_readonly("memory", [](kelpy::SimulatorHandle& simulator) { return kelpy::MemoryView {&simulator}; },
                               py::keep_alive<0, 1>(), "The controllers' memory by gate address.")
        .def("fault", &kelpy::SimulatorHandle::Fault, py::arg("kind"), py::arg("count") = 1, py::arg("status") = -1,
             py::arg("delay_ms") = -1,
             "Damages the next count replies with the fault jwsim's --fault names: no-reply, wrong-checksum, "
             "other-station, error-status (status, default 0x0B), cut-short, no-header, over-long, garbage, late "
             "and dribble (delay_ms). Faults queue one after the other.")
        .def_property_readonly("requests", &kelpy::SimulatorHandle::Requests,
                               "The request frames received, in order: '::' to the checksum digits.")
        .def("clear_requests", &kelpy::SimulatorHandle::ClearRequests, "Forgets the requests received so far.")
        .def("close", &kelpy::SimulatorHandle::Close, "Stops serving and closes the pseudo-terminal.")
        .def_property_readonly("closed", &kelpy::SimulatorHandle::closed, "Whether it has stopped serving.")
        .def("__enter__", [](kelpy::SimulatorHandle& simulator) -> kelpy::SimulatorHandle& { return simulator; },
             py::return_value_policy::reference)
        .def("__exit__", [](kelpy::SimulatorHandle& simulator, py::args) { simulator.Close(); });
}

}  // namespace

PYBIND11_MODULE(kelwnsrp, module) {
    module.doc() =
        "JW controllers over their computer link: Line reads and writes gates through the same link layer as "
        "jwgate (retries, resynchronisation, write mode), Simulator serves simulated controllers on a "
        "pseudo-terminal.\n\nGates are named by their gate address, optionally with ':TYPE' (relay, 8, 16, 32 "
        "or float): '01MA0100' (16 bits), '01MA0100B' (8 bits), '01MA0100:32', '01MA0100:float', '01R00001', "
        "'01T0005'.";
    kelpy::TakeDriverMessages();
    BindExceptions(module);
    BindLine(module);
    BindSimulator(module);
}
