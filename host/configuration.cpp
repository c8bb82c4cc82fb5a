#include "host/configuration.h"

#include <sys/stat.h>

#include <cstdio>

#include "host/host_log.h"

namespace kel {

ConfigurationValuesArea ConfigurationValues;

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool SameKey(const char* word, std::size_t length, const char* name) {
    std::size_t i = 0;
    for (; i < length; ++i) {
        if (name[i] == '\0' || AsciiUpper(word[i]) != AsciiUpper(name[i])) return false;
    }
    return name[i] == '\0';
}

// Reads the next piece of a line: up to kConfigurationPieceLength characters,
// ending early at a line feed, which is consumed but not stored. A carriage
// return before the line feed is dropped, as text mode does on Windows.
// False at the end of the file (or a read error) with nothing read.
bool ReadPiece(std::FILE* file, char* piece, std::size_t* length) {
    std::size_t n = 0;
    bool gotAny = false;
    while (n < kConfigurationPieceLength) {
        int c = std::fgetc(file);
        if (c == EOF) break;
        gotAny = true;
        if (c == '\r') {
            const int next = std::fgetc(file);
            if (next == '\n') c = '\n';
            else if (next != EOF) std::ungetc(next, file);
        }
        if (c == '\n') break;
        piece[n++] = static_cast<char>(c);
    }
    *length = n;
    return gotAny;
}

// One "KEY number" piece: stores the number's low 16 bits into the key's
// slot. A piece without a key word, with an unknown key, or with no number
// after the key changes nothing.
void ParsePiece(const char* piece, std::size_t length) {
    std::size_t at = 0;
    while (at < length && IsSpace(piece[at])) ++at;
    const std::size_t wordStart = at;
    while (at < length && !IsSpace(piece[at])) ++at;
    const std::size_t wordLength = at - wordStart;
    if (wordLength == 0) return;

    const ConfigurationKey* key = nullptr;
    for (const ConfigurationKey& candidate : ConfigurationKeys) {
        if (SameKey(piece + wordStart, wordLength, candidate.name)) {
            key = &candidate;
            break;
        }
    }
    if (key == nullptr) return;

    while (at < length && IsSpace(piece[at])) ++at;
    bool negative = false;
    if (at < length && (piece[at] == '+' || piece[at] == '-')) negative = piece[at++] == '-';
    if (at >= length || piece[at] < '0' || piece[at] > '9') return;
    // Accumulated modulo 65536, so any number of digits gives its exact low
    // 16 bits without overflow.
    std::uint32_t value = 0;
    while (at < length && piece[at] >= '0' && piece[at] <= '9') {
        value = (value * 10u + static_cast<std::uint32_t>(piece[at] - '0')) & 0xFFFFu;
        ++at;
    }
    if (negative) value = (0x10000u - value) & 0xFFFFu;
    ConfigurationValues.slots[key->slot] = value;
}

bool IsDirectory(std::FILE* file) {
#if defined(_WIN32)
    (void)file;
    return false;  // Windows does not open directories as files
#else
    struct stat info {};
    return fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode);
#endif
}

}  // namespace

void ReadConfiguration(const char* fileName) {
    std::FILE* file = std::fopen(fileName, "r");
    if (file != nullptr && IsDirectory(file)) {
        std::fclose(file);
        file = nullptr;
    }
    if (file == nullptr) {
        HostLog(kLogInfo,
                "KELSRP: Configuration file KelwnSRP.int was not found, using default values");
        ConfigurationValues = ConfigurationValuesArea {};
        return;
    }
    HostLog(kLogInfo, "KELSRP: Configuration file KelwnSRP.int was found, using the defined values");
    ConfigurationValues = ConfigurationValuesArea {};
    ConfigurationValues.present = true;
    char piece[kConfigurationPieceLength];
    std::size_t length = 0;
    while (ReadPiece(file, piece, &length)) ParsePiece(piece, length);
    std::fclose(file);
}

std::int32_t GetReplyWaitTime() {
    return ConfigurationValues.present ? static_cast<std::int32_t>(ConfigurationValues.slots[0])
                                       : kDefaultReplyWaitTimeMs;
}

}  // namespace kel
