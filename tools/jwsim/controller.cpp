#include "tools/jwsim/controller.h"

#include <stdexcept>


namespace kel::jwsim {
namespace {

// Index into the register areas, or -1.
int AreaIndex(char area) {
    switch (area) {
        case 'A': return 0;
        case 'B': return 1;
        case '0': return 2;
        case '1': return 3;
        case '2': return 4;
        case '3': return 5;
        default: return -1;
    }
}

// Relays are the bits of the MA bytes, all of them and nothing more.
static_assert(kRelayCount == 8 * kRegisterACount);

constexpr AreaCode kAreaKinds[] = {kAreaMA, kAreaMB, kAreaM09, kAreaM19, kAreaM29, kAreaM39};

char DigitChar(int digit) { return static_cast<char>('0' + digit); }

}  // namespace

std::array<char, 4> EncodeTimerValue(int value) {
    if (value < 0 || value > kTimerValueMax) throw std::out_of_range("timer value outside 0 to 1999");
    return {DigitChar(value / 10 % 10), DigitChar(value % 10), DigitChar(value / 1000), DigitChar(value / 100 % 10)};
}

Controller::Controller()
    : rtRelays_(kRtRelayCount, '0'), timers_(kTimerCount) {
    for (int i = 0; i < 6; ++i) {
        registers_[static_cast<std::size_t>(i)].assign(static_cast<std::size_t>(AreaItemCount(kAreaKinds[i])), 0);
    }
}

char Controller::Relay(int number) const {
    if (number < 0 || number >= kRelayCount) throw std::out_of_range("relay number outside 0 to 7167");
    return (Register('A', number / 8) >> (number % 8)) & 1 ? '1' : '0';
}

void Controller::SetRelay(int number, char state) {
    if (number < 0 || number >= kRelayCount) throw std::out_of_range("relay number outside 0 to 7167");
    if (state != '0' && state != '1') throw std::invalid_argument("a relay is \"0\" or \"1\"");
    const auto bit = static_cast<std::uint8_t>(1u << (number % 8));
    const std::uint8_t byte = Register('A', number / 8);
    SetRegister('A', number / 8, static_cast<std::uint8_t>(state == '1' ? byte | bit : byte & ~bit));
}

void Controller::SetTimer(int number, int value, char type) {
    TimerCounter& timer = Timer(number);
    timer.value = EncodeTimerValue(value);
    timer.type = type;
}

void Controller::SetTimerRaw(int number, const std::string& fourCharacters) {
    if (fourCharacters.size() != 4) throw std::invalid_argument("timer value needs four characters");
    TimerCounter& timer = Timer(number);
    for (std::size_t i = 0; i < 4; ++i) timer.value[i] = fourCharacters[i];
}

int Controller::RegisterAreaSize(char area) {
    const int index = AreaIndex(area);
    return index < 0 ? 0 : AreaItemCount(kAreaKinds[index]);
}

std::vector<std::uint8_t>& Controller::Area(char area) {
    const int index = AreaIndex(area);
    if (index < 0) throw std::out_of_range("no register area " + std::string(1, area));
    return registers_[static_cast<std::size_t>(index)];
}

const std::vector<std::uint8_t>& Controller::Area(char area) const {
    const int index = AreaIndex(area);
    if (index < 0) throw std::out_of_range("no register area " + std::string(1, area));
    return registers_[static_cast<std::size_t>(index)];
}

std::uint8_t Controller::Register(char area, int byte) const { return Area(area).at(static_cast<std::size_t>(byte)); }

void Controller::SetRegister(char area, int byte, std::uint8_t value) {
    Area(area).at(static_cast<std::size_t>(byte)) = value;
}

void Controller::SetRegisters(char area, int first, const std::vector<std::uint8_t>& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) SetRegister(area, first + static_cast<int>(i), bytes[i]);
}

}  // namespace kel::jwsim
