#include "TqdPort.h"

#include "StoreText.h"
#include "TQPlatformInfo.h"

TqdPortValue ReadTqdPortText(bool found, const std::string& text) {
    TqdPortValue value;
    if (!found) return value;
    value.found = true;
    value.text = text;
    value.numeric = tqfw::ParseUnsignedDecimal(text, &value.number);
    return value;
}

TqdPortValue ReadTqdPort(TQPlatformInfo& store) {
    std::string text;
    const bool found = store.getString(kTqdPortSection, kTqdPortKey, text) != 0;
    return ReadTqdPortText(found, text);
}

std::uint64_t TqdClientPort(const TqdPortValue& value) { return value.numeric ? value.number : kTqdDefaultPort; }

std::uint64_t TqdClientPort(TQPlatformInfo& store) { return TqdClientPort(ReadTqdPort(store)); }

bool ParseTqdListenPort(const std::string& text, std::uint16_t* port) {
    const TqdPortValue value = ReadTqdPortText(true, text);
    if (!value.numeric || value.number == 0 || value.number > 65535) return false;
    *port = static_cast<std::uint16_t>(value.number);
    return true;
}

std::string TqdStoredPortProblem(const std::string& text) {
    return std::string(kTqdPortSection) + "/" + kTqdPortKey + "=" + text + " is not a port number (1-65535)";
}
