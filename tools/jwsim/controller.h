// The memory of one simulated JW controller: relays (the bits of the MA
// register bytes), RT relays, timer and counter values with their type
// characters, the register areas, and the write mode
// that guards them. Plain data: the simulator locks around it, tests and
// the reply functions use it directly.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/areas.h"

namespace kel::jwsim {

inline constexpr int kTimerValueMax = 1999;

// One timer or counter number as the link shows it: four value characters,
// then an item of two characters whose second is the type character.
struct TimerCounter {
    std::array<char, 4> value {'0', '0', '0', '0'};  // tens, units, thousands, hundreds
    char itemHead = '0';
    char type = '4';  // "4" timer, "2" counter
    char set = '0';   // value character of the last SRT
};

// Value v (0 to 1999) as its four characters: tens, units, thousands,
// hundreds; 1234 gives "3412". Throws std::out_of_range outside 0 to 1999.
std::array<char, 4> EncodeTimerValue(int value);

class Controller {
public:
    Controller();

    // Relay states are characters: "0" off, "1" on. Relay n is bit n % 8 of
    // register byte MA n / 8, as in the controller: a relay read through MRL
    // and its byte read through MRG agree. Numbers out of range throw
    // std::out_of_range, a state other than "0" or "1" std::invalid_argument.
    char Relay(int number) const;
    void SetRelay(int number, char state);
    char RtRelay(int number) const { return rtRelays_.at(static_cast<std::size_t>(number)); }
    void SetRtRelay(int number, char state) { rtRelays_.at(static_cast<std::size_t>(number)) = state; }

    TimerCounter& Timer(int number) { return timers_.at(static_cast<std::size_t>(number)); }
    const TimerCounter& Timer(int number) const { return timers_.at(static_cast<std::size_t>(number)); }
    // Encodes value and sets the type character: "4" timer, "2" counter.
    void SetTimer(int number, int value, char type = '4');
    // Sets the four value characters as given, for odd encodings.
    void SetTimerRaw(int number, const std::string& fourCharacters);

    // Register areas by their link character: "A" (896 bytes), "B" (512),
    // "0" to "3" (file registers, 512 each). 0 for any other character.
    static int RegisterAreaSize(char area);
    std::uint8_t Register(char area, int byte) const;
    void SetRegister(char area, int byte, std::uint8_t value);
    // Consecutive bytes from first, lowest address first.
    void SetRegisters(char area, int first, const std::vector<std::uint8_t>& bytes);

    // Write mode as the last EWR set it: 0 forbids writes (when protected),
    // 1 and 2 allow them.
    int writeMode = 0;
    // Whether SRR, SRT and WRG need write mode 1 or 2.
    bool protect = false;

private:
    std::vector<std::uint8_t>& Area(char area);
    const std::vector<std::uint8_t>& Area(char area) const;

    std::vector<char> rtRelays_;
    std::vector<TimerCounter> timers_;
    std::array<std::vector<std::uint8_t>, 6> registers_;  // A, B, 0, 1, 2, 3
};

}  // namespace kel::jwsim
