// kelwnsrp.Line: one controller line opened on a serial port and driven by
// the link layer itself, as the gateway drives its line. Calls release the
// GIL while the line is busy and take turns on the line's mutex; the frame
// trace takes the GIL back to call its Python callable.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "link/link_context.h"
#include "python/kelwnsrp/errors.h"
#include "python/kelwnsrp/gate.h"

namespace kelpy {

struct LineOptions {
    std::string port;
    std::uint32_t baud = 9600;
    int dataBits = 7;
    std::string parity = "none";
    double stopBits = 1;
    std::uint32_t linkTimeoutMs = 1000;
    std::uint32_t replyPauseMs = 50;
};

class Line {
public:
    // Opens the port; throws LineError when it cannot, std::invalid_argument
    // for a setting out of its range.
    explicit Line(const LineOptions& options);
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    void Close();
    bool closed();

    pybind11::object Read(const std::string& address);
    pybind11::list ReadMany(const std::vector<std::string>& addresses);
    void Write(const std::string& address, double value);

    pybind11::object trace() const { return trace_; }
    void SetTrace(pybind11::object trace) {
        tracing_.store(!trace.is_none());
        trace_ = std::move(trace);
    }

    const LineOptions& options() const { return options_; }

private:
    // Counts the attempts of a call and keeps the last refusal's status; hands
    // every frame to the trace.
    class Observer : public kel::LinkObserver {
    public:
        explicit Observer(Line& line) : line_(line) {}
        void OnAttempt(kel::AttemptOutcome outcome, std::uint8_t status) override;
        void OnFrame(kel::FrameDirection direction, const char* bytes, int count) override;
        void Reset() { attempts = 0; refused = false; status = 0; }

        int attempts = 0;
        bool refused = false;  // the last attempt was refused
        int status = 0;

    private:
        Line& line_;
    };

    // Throws LineError when the port is closed; the caller holds mutex_.
    void RequireOpen() const;
    // The exception for a failed exchange with the gas it was for.
    LineError Failure(const std::string& gas) const;

    LineOptions options_;
    std::mutex mutex_;  // one call on the line at a time
    kel::LinkContext link_;
    Observer observer_ {*this};
    pybind11::object trace_ = pybind11::none();
    // Whether a trace is set, read without the GIL: no trace, no GIL taken per frame.
    std::atomic<bool> tracing_ {false};
};

}  // namespace kelpy
