// The port of the daemon tqd: "Session"/"nTQDPORT" of the configuration
// store, kTqdDefaultPort when the store has no value.  tqd and its clients
// read the value here; they differ only in what they make of a value that
// is there: the clients use any number as it is, tqd wants 1 to 65535 and
// names any other value.
#pragma once

#include <cstdint>
#include <string>

class TQPlatformInfo;

constexpr const char kTqdPortSection[] = "Session";
constexpr const char kTqdPortKey[] = "nTQDPORT";
constexpr std::uint16_t kTqdDefaultPort = 8400;

// The stored value: whether it is there, its text as stored, and whether
// that text is an unsigned decimal number (digits, blanks around allowed),
// the way the store reads numbers.
struct TqdPortValue {
    bool found = false;
    std::string text;
    bool numeric = false;
    std::uint64_t number = 0;  // when numeric
};

// What a value read from the store says; `found` false when it is absent.
TqdPortValue ReadTqdPortText(bool found, const std::string& text);
// Reads the value from `store`, which is focused already.
TqdPortValue ReadTqdPort(TQPlatformInfo& store);

// The port a client connects to: the stored number unchanged, without a
// range check; kTqdDefaultPort when the value is absent or not a number.
std::uint64_t TqdClientPort(const TqdPortValue& value);
std::uint64_t TqdClientPort(TQPlatformInfo& store);

// A port tqd can listen on: a number (as above) from 1 to 65535.
bool ParseTqdListenPort(const std::string& text, std::uint16_t* port);
// Why the stored `text` is not a port tqd can listen on.
std::string TqdStoredPortProblem(const std::string& text);
