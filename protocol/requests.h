// Request payloads: the bytes a frame carries between "::" and its checksum.
#pragma once

#include <cstdint>

#include "protocol/areas.h"

namespace kel {

// "WRG", its fields and four data bytes: the longest request the driver sends.
inline constexpr int kMaxRequestLength = 25;

struct Request {
    char payload[kMaxRequestLength] = {};
    int length = 0;
    // Payload bytes an accepted reply repeats: all of a read's, only the
    // head of a write's.
    int echoLength = 0;
    // Characters of its accepted reply on the line, "::" to CR, when known
    // in advance; 0 otherwise.
    int replyLength = 0;
};

// Write-mode digits of "EWR".
inline constexpr int kWriteModeOn = 2;
inline constexpr int kWriteModeOff = 0;

// The seven bytes every request starts with: station, "?", "0", mnemonic.
void FormatRequestHead(std::int32_t station, const char* mnemonic, char* sevenBytes);

// "MRL" for a relay, "MTC" for one timer/counter number, "MRG" for a
// register's bytes; false, with nothing built, for an item that is not valid.
bool BuildReadRequest(const Item& item, Request* request);

// "SRR" for a relay, "SRT" for a timer contact (value "0" or "1"), "WRG" for a
// register's bytes (least significant first); false, with nothing built, for
// an item that is not valid or a value it cannot take.
bool BuildWriteRequest(const Item& item, std::int32_t value, Request* request);

// "EWR" with the mode digit.
Request WriteModeRequest(std::int32_t station, int mode);

}  // namespace kel
