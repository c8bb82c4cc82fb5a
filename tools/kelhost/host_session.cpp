#include "tools/kelhost/host_session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sstream>

#include "teskar.h"

namespace kelhost {
namespace {

constexpr char kHelp[] =
    "commands: info | open PORT [BAUD DATA STOP PARITY [TIMEOUT [ENABLE]]] | warm | close | reopen |"
    " change PORT [TIMEOUT [BAUD DATA STOP PARITY]] | check GAS TYPE | block GAS COUNT |"
    " read GAS TYPE [COUNT] | write GAS TYPE VALUE [COUNT] | mark GAS TYPE VALUE [COUNT] |"
    " call CODE";

bool ParseInt(const std::string& text, int64_t* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, 0);
    if (end == nullptr || *end != '\0') return false;
    *value = parsed;
    return true;
}

// Reads the numbers at words[first...] into out, as many as out holds;
// words beyond the end leave the defaults.
bool ParseNumbers(const std::vector<std::string>& words, std::size_t first,
                  std::vector<int64_t*> out) {
    for (std::size_t i = 0; i < out.size() && first + i < words.size(); ++i) {
        if (!ParseInt(words[first + i], out[i])) return false;
    }
    return true;
}

bool Fits16(std::initializer_list<int64_t> values) {
    for (const int64_t v : values) {
        if (v < 0 || v > 0xFFFF) return false;
    }
    return true;
}

bool CopyPortName(const std::string& name, char (&field)[KEL_PORT_NAME_SIZE]) {
    if (name.size() >= KEL_PORT_NAME_SIZE) return false;
    std::memset(field, 0, sizeof field);
    std::memcpy(field, name.c_str(), name.size());
    return true;
}

Outcome UsageError(const std::string& why) {
    Outcome outcome;
    outcome.result = kUsageError;
    outcome.detail = why;
    return outcome;
}

std::string Describe(const GateAddress& a) {
    std::ostringstream out;
    out << "station " << a.station << " area " << a.areaKind << " address " << a.address
        << " marker " << a.marker << " width " << a.widthBits;
    return out.str();
}

uint16_t CellHalf(const unsigned char* cell) {
    return static_cast<uint16_t>(cell[2] | (cell[3] << 8));
}

// The value the cell holds for the value type, and the cell as text.
double CellValue(uint32_t type, const unsigned char* cell, std::string* detail) {
    const uint32_t word = cell[0] | (cell[1] << 8) | (cell[2] << 16) | (static_cast<uint32_t>(cell[3]) << 24);
    double value = 0;
    char text[96];
    if (type == KEL_VALUE_FLOAT) {
        float number = 0;
        std::memcpy(&number, &word, sizeof number);
        value = static_cast<double>(number);
        std::snprintf(text, sizeof text, "value %g cell 0x%08X", value, word);
    } else if (type == KEL_VALUE_ANALOG32 || type == KEL_VALUE_ANALOG32_ALT) {
        value = static_cast<int32_t>(word);
        std::snprintf(text, sizeof text, "value %d cell 0x%08X", static_cast<int32_t>(word), word);
    } else if (type == KEL_VALUE_DIGITAL) {
        value = static_cast<int16_t>(CellHalf(cell));
        std::snprintf(text, sizeof text, "value %d cell 0x%08X", static_cast<int16_t>(CellHalf(cell)), word);
    } else {
        value = CellHalf(cell);
        std::snprintf(text, sizeof text, "value %u cell 0x%08X", CellHalf(cell), word);
    }
    *detail = text;
    return value;
}

void PutValue(uint32_t type, int64_t value, unsigned char* cell) {
    const auto word = static_cast<uint32_t>(value);
    if (type == KEL_VALUE_ANALOG32 || type == KEL_VALUE_ANALOG32_ALT || type == KEL_VALUE_FLOAT) {
        for (int i = 0; i < 4; ++i) cell[i] = static_cast<unsigned char>(word >> (8 * i));
    } else {
        cell[2] = static_cast<unsigned char>(word);
        cell[3] = static_cast<unsigned char>(word >> 8);
    }
}

}  // namespace

uint32_t DefaultGateType(const std::string& gas) {
    const char letter = gas.size() > 2 ? gas[2] : '\0';
    return letter == 'R' || letter == 'r' ? KEL_VALUE_DIGITAL : KEL_VALUE_ANALOG16;
}

template <typename Command>
Outcome HostSession::Logged(Command command) {
    // The stand-in keeps a bounded number of messages: start each command
    // afresh so a long session never stops seeing them.
    teskar_clear();
    Outcome outcome = command();
    for (int i = 0; i < teskar_count(); ++i) {
        outcome.logs.push_back(LogLine {teskar_level(i), teskar_text(i)});
    }
    return outcome;
}

Outcome HostSession::Run(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return Logged([&] { return words.empty() ? UsageError("empty command") : Dispatch(words); });
}

Outcome HostSession::Open(const std::string& port, const LineSettings& line, uint32_t timeoutUnits) {
    return Logged([&] {
        OpenRequest open {};
        if (!CopyPortName(port, open.portName)) return UsageError("port name over 11 characters");
        open.enable = 1;
        open.LinkTimeout = timeoutUnits;
        open.line = line;
        Outcome outcome;
        outcome.result = driver_.Call(&state_, KEL_CMD_OPEN, &open);
        return outcome;
    });
}

Outcome HostSession::Close() {
    return Logged([&] {
        Outcome outcome;
        outcome.result = driver_.Call(&state_, KEL_CMD_CLOSE, nullptr);
        return outcome;
    });
}

Outcome HostSession::CheckGate(const std::string& gas, uint32_t type) {
    return Logged([&] { return Check(gas, type, KEL_CMD_CHECK_GATE, 1); });
}

Outcome HostSession::ReadGate(const std::string& gas, const GateAddress& address, uint32_t type) {
    return Logged([&] { return Read(gas, address, type, 1); });
}

Outcome HostSession::WriteGate(const std::string& gas, const GateAddress& address, uint32_t type, int64_t value) {
    return Logged([&] { return Write(gas, address, type, value, KEL_CMD_WRITE_GATE, 1); });
}

Outcome HostSession::Dispatch(const std::vector<std::string>& words) {
    const std::string& verb = words[0];
    Outcome outcome;
    if (verb == "help") return UsageError(kHelp);
    if (verb == "info") return Info();
    if (verb == "open" && words.size() >= 2) return OpenFrom(words);
    if (verb == "change" && words.size() >= 2) return ChangeFrom(words);
    if (verb == "warm" || verb == "close" || verb == "reopen") {
        const int32_t code = verb == "warm" ? KEL_CMD_WARM_START : verb == "close" ? KEL_CMD_CLOSE : KEL_CMD_REOPEN;
        outcome.result = driver_.Call(&state_, code, nullptr);
        return outcome;
    }
    if (verb == "call" && words.size() == 2) {
        int64_t code = 0;
        if (!ParseInt(words[1], &code)) return UsageError("call: a command code expected");
        outcome.result = driver_.Call(&state_, static_cast<int32_t>(code), nullptr);
        return outcome;
    }
    return GateCommand(words);
}

Outcome HostSession::Info() {
    DriverInfo info {};
    Outcome outcome;
    outcome.result = driver_.Call(&state_, KEL_CMD_DRIVER_INFO, &info);
    std::ostringstream out;
    out << "name \"" << (info.name != nullptr ? info.name : "") << "\" banner "
        << (info.banner != nullptr ? std::strlen(info.banner) : 0) << " bytes, line "
        << info.defaultLine.baudRate << "/" << info.defaultLine.dataBits << "/"
        << info.defaultLine.stopBits << "/" << info.defaultLine.parity;
    outcome.detail = out.str();
    return outcome;
}

Outcome HostSession::OpenFrom(const std::vector<std::string>& words) {
    OpenRequest open {};
    if (!CopyPortName(words[1], open.portName)) return UsageError("port name over 11 characters");
    int64_t baud = 9600, data = 7, stop = 0, parity = 0, timeout = 50, enable = 1;
    if (!ParseNumbers(words, 2, {&baud, &data, &stop, &parity, &timeout, &enable}) ||
        !Fits16({baud, data, stop, parity})) {
        return UsageError("open: line settings are numbers from 0 to 65535");
    }
    open.enable = static_cast<uint32_t>(enable);
    open.LinkTimeout = static_cast<uint32_t>(timeout);
    open.line = LineSettings {static_cast<uint16_t>(baud), static_cast<uint16_t>(data),
                              static_cast<uint16_t>(stop), static_cast<uint16_t>(parity)};
    Outcome outcome;
    outcome.result = driver_.Call(&state_, KEL_CMD_OPEN, &open);
    return outcome;
}

Outcome HostSession::ChangeFrom(const std::vector<std::string>& words) {
    ChangePortRequest change {};
    if (!CopyPortName(words[1], change.portName)) return UsageError("port name over 11 characters");
    int64_t timeout = 0, baud = 0, data = 0, stop = 0, parity = 0;
    if (!ParseNumbers(words, 2, {&timeout, &baud, &data, &stop, &parity}) ||
        !Fits16({baud, data, stop, parity})) {
        return UsageError("change: line settings are numbers from 0 to 65535");
    }
    change.LinkTimeout = static_cast<uint32_t>(timeout);
    change.line = LineSettings {static_cast<uint16_t>(baud), static_cast<uint16_t>(data),
                                static_cast<uint16_t>(stop), static_cast<uint16_t>(parity)};
    Outcome outcome;
    outcome.result = driver_.Call(&state_, KEL_CMD_CHANGE_PORT, &change);
    return outcome;
}

// check, block, read, write and mark: a gate and its numbers.
Outcome HostSession::GateCommand(const std::vector<std::string>& words) {
    const std::string& verb = words[0];
    Outcome outcome;
    int64_t type = 0, count = 1, value = 0;
    if ((verb == "check" && words.size() == 3) || (verb == "block" && words.size() == 3)) {
        const bool block = verb == "block";
        if (!ParseInt(words[2], block ? &count : &type) || (block && !Fits16({count}))) {
            return UsageError(verb + ": a number expected (a block count up to 65535)");
        }
        return Check(words[1], static_cast<uint32_t>(type), block ? KEL_CMD_CHECK_BLOCK : KEL_CMD_CHECK_GATE,
                     static_cast<uint16_t>(count));
    }
    if (verb == "read" && (words.size() == 3 || words.size() == 4)) {
        if (!ParseNumbers(words, 2, {&type, &count})) return UsageError("read: numbers expected");
        if (!EnsureChecked(words[1], static_cast<uint32_t>(type), &outcome)) return outcome;
        return Read(words[1], gates_[words[1]], static_cast<uint32_t>(type), static_cast<int32_t>(count));
    }
    if ((verb == "write" || verb == "mark") && (words.size() == 4 || words.size() == 5)) {
        if (!ParseNumbers(words, 2, {&type, &value, &count})) return UsageError(verb + ": numbers expected");
        if (!EnsureChecked(words[1], static_cast<uint32_t>(type), &outcome)) return outcome;
        return Write(words[1], gates_[words[1]], static_cast<uint32_t>(type), value,
                     verb == "write" ? KEL_CMD_WRITE_GATE : KEL_CMD_WRITE_MARKED, static_cast<int32_t>(count));
    }
    return UsageError("unknown or incomplete command; " + std::string(kHelp));
}

Outcome HostSession::Check(const std::string& gas, uint32_t type, int32_t command, uint16_t count) {
    GateCheckRequest check {};
    check.gas = gas.c_str();
    check.gateType = type;
    check.count = count;
    Outcome outcome;
    outcome.result = driver_.Call(&state_, command, &check);
    if (outcome.result == KEL_OK) gates_[gas] = check.address;
    outcome.detail = Describe(check.address);
    outcome.address = check.address;
    return outcome;
}

bool HostSession::EnsureChecked(const std::string& gas, uint32_t type, Outcome* failure) {
    if (gates_.count(gas) != 0) return true;
    *failure = Check(gas, type, KEL_CMD_CHECK_GATE, 1);
    return failure->result == KEL_OK;
}

Outcome HostSession::Read(const std::string& gas, const GateAddress& address, uint32_t type, int32_t count) {
    Outcome outcome;
    unsigned char cell[4] = {};
    GateRequest read {gas.c_str(), 0, address, type, count, 0, cell};
    outcome.result = driver_.Call(&state_, KEL_CMD_READ_GATE, &read);
    outcome.value = CellValue(type, cell, &outcome.detail);
    return outcome;
}

Outcome HostSession::Write(const std::string& gas, const GateAddress& address, uint32_t type, int64_t value,
                           int32_t command, int32_t count) {
    Outcome outcome;
    unsigned char cell[4] = {};
    PutValue(type, value, cell);
    GateRequest write {gas.c_str(), 0, address, type, count, 0, cell};
    outcome.result = driver_.Call(&state_, command, &write);
    outcome.detail = "count " + std::to_string(write.count);
    return outcome;
}

}  // namespace kelhost
