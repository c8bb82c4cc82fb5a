// The data of an accepted read reply, after the fields it repeats.
#pragma once

#include <cstdint>

#include "protocol/areas.h"
#include "protocol/requests.h"

namespace kel {

enum class ReadData {
    kValue,     // *value holds the item's value
    kWithheld,  // a timer/counter reply whose type character gives no value
    kTooShort,  // the reply ends before its data: not this request's answer
};

// A timer/counter value from its four characters (tens, units, thousands,
// hundreds) and the type character of its item; kWithheld when the type
// gives no value for that number.
ReadData DecodeTimerCounter(const char* fourChars, char type, std::int32_t number, std::int32_t* value);

// Decodes the reply body (length bytes, CR included) to the read request of
// item: a relay's state digit, a timer/counter value from its BCD characters,
// or a register's bytes, least significant first.
ReadData DecodeReadReply(const Item& item, const Request& request, const char* body, int length,
                         std::int32_t* value);

}  // namespace kel
