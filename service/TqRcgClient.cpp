// The client side of the request service: the exported client operations,
// and sendDataToTqd, which carries one request to the local daemon tqd and
// turns its reply into the result.
#include "TqRcgClient.h"

#include <cstring>
#include <iterator>
#include <list>
#include <string>
#include <vector>

#include "../common/TqRcgText.h"
#include "../host/EvDebug.h"
#include "../host/TQPlatformInfo.h"
#include "../host/TqFwClient.h"
#include "../host/TqdPort.h"
#include "../host/UniqueCQiSocket.h"
#include "../include/tqrcgmgr/tqrcgmgr.h"
#include "../rcg/RcgNames.h"
#include "../rcg/RcgProperties.h"
#include "../rcg/TqRcgCtrllr.h"
#include "TqRcgProtocol.h"

namespace rcgclient {
namespace {

// The transport logs and builds its errors under the names of the request
// service's unit, TqRcgHandler, as it always has.
const char kTransportTag[] = "TqRcgHandler::sendDataToTqd";
const char kEnableTag[] = "checkRcgEnable";
const char kSourceUnit[] = "TqRcgHandler.cpp";
const char kTransportSignature[] = "CQiError sendDataToTqd(TqRcgMsg)";
const char kNameTag[] = "TqRcgHandler::checkRequestName";
const char kNameSignature[] = "CQiError checkRequestName(const std::string&)";
const char kSettingsTag[] = "TqRcgClient::setRcgProperties";
const char kSettingsSignature[] = "CQiError setRcgProperties(const std::string&, const std::list<std::string>&)";
// How a tqd that does not know a request type answers it.
const char kUnsupportedTypeText[] = "The value of RcgMsgType is not supported.";

constexpr int kSocketTimeoutSeconds = 15;
constexpr std::int32_t kStoreBufferSize = 128;
constexpr int kEventFacility = 2;
constexpr std::uint32_t kEventCategory = 0x2B0BBDCB;

void InitializeEventLog(EvEvent& eventLog, const char* tag) {
    if (!eventLog.initialize(kEventFacility, kEventCategory, 0, nullptr, "")) {
        eventLog.Error(tag, "EvEvent initialization failed.");
    }
}

// How far one exchange with tqd came.
enum class Exchanged { SendFailed, SendTimedOut, Received };
struct TqdAnswer {
    Exchanged exchanged;
    CQiError status;    // of the receive, once Received
    std::string reply;  // the reply's text, once Received
};

// Sends the frame of `msg` and ends the sending side.
CQiError SendFrame(CQiSocket& socket, const TqRcgMsg& msg, int* timedOut) {
    const TqRcgFrame frame = EncodeRcgFrame(msg);
    *timedOut = 0;
    CQiError status =
        socket.SendWithTimeOut(frame.data(), frame.size(), kSocketTimeoutSeconds, timedOut, 0, nullptr);
    if (!status.IsError()) status = socket.Shutdown(1);
    return status;
}

// Receives the reply into *text, with a log line either way.
CQiError ReceiveReply(CQiSocket& socket, const std::string& clientName, EvEvent& eventLog, std::string* text) {
    TqRcgReply reply{};
    int timedOut = 0;
    const CQiError status =
        socket.RecvWithTimeout(reply.data(), reply.size(), kSocketTimeoutSeconds, &timedOut, 0, nullptr);
    *text = ReadRcgReply(reply.data(), reply.size());
    if (status.IsError()) {
        eventLog.Error(kTransportTag, "Couldn't receive tqrcgmgr response from %s", clientName.c_str());
    } else {
        eventLog.DebugLvl(kTransportTag, 4, "Get tqrcgmgr response %s", text->c_str());
    }
    return status;
}

// Sends the request and reads the reply on `connection`, which is closed
// before this returns, whatever the outcome.
TqdAnswer ExchangeWithTqd(CQiSocket connection, const TqRcgMsg& msg, const std::string& clientName,
                          EvEvent& eventLog) {
    UniqueCQiSocket socket(connection);
    int timedOut = 0;
    if (SendFrame(socket.get(), msg, &timedOut).IsError()) {
        eventLog.Error(kTransportTag, "Couldn't send tqrcgmgr request to %s", clientName.c_str());
        return TqdAnswer{Exchanged::SendFailed, CQiError::Success(), std::string()};
    }
    if (timedOut != 0) return TqdAnswer{Exchanged::SendTimedOut, CQiError::Success(), std::string()};
    TqdAnswer answer{Exchanged::Received, CQiError::Success(), std::string()};
    answer.status = ReceiveReply(socket.get(), clientName, eventLog, &answer.reply);
    return answer;
}

// The result of an exchange: success exactly when tqd answered "Success".
CQiError ResultOf(const TqdAnswer& answer) {
    switch (answer.exchanged) {
        case Exchanged::SendFailed:
            return FXErrorUtil::ErrorWin32(FXCodeLocation{kSourceUnit, kTransportSignature, __LINE__},
                                           kTqWin32CommandFailed, "Couldn't send tqrcgmgr request");
        case Exchanged::SendTimedOut:
            return FXErrorUtil::ErrorWin32(FXCodeLocation{kSourceUnit, kTransportSignature, __LINE__},
                                           kTqWin32CommandFailed, "Socket send less message than expected");
        case Exchanged::Received:
            break;
    }
    if (!answer.status.IsError() && answer.reply != k_TQRCGMGR_Success) {
        return FXErrorUtil::ErrorWin32(FXCodeLocation{kSourceUnit, kTransportSignature, __LINE__},
                                       kTqWin32CommandFailed, "%s", answer.reply.c_str());
    }
    return answer.status;
}

// Sends one request to tqd and turns its reply into the result: success
// exactly when the daemon answered "Success".
CQiError sendDataToTqd(TqRcgMsg msg) {
    TqFwClient fwClient;
    TQPlatformInfo platformInfo;
    EvEvent eventLog;
    platformInfo.setFocus(TQPI_Focus::getFocus());
    InitializeEventLog(eventLog, kTransportTag);

    const std::uint64_t tqdPort = TqdClientPort(platformInfo);
    const char* machine = platformInfo.getPhysicalMachine();
    if (machine == nullptr) {
        eventLog.Error(kTransportTag, "Failed to get the local client host name.");
        return FXErrorUtil::ErrorWin32(FXCodeLocation{kSourceUnit, kTransportSignature, __LINE__},
                                       kTqWin32CommandFailed, "Error happens in getPhysicalMachine");
    }
    const std::string clientName(machine);
    eventLog.DebugLvl(kTransportTag, 4, "client name set to %s", clientName.c_str());

    std::string hostName;
    platformInfo.getClientHostNameMangled(clientName, hostName);

    // The port cut to a 32-bit signed integer, as connect() takes it.
    const int port = static_cast<int>(static_cast<std::int32_t>(tqdPort));
    const CQiSocket socket = fwClient.connect(hostName, port, port, -1, -1, nullptr, nullptr, false);
    if (!socket.IsValid()) {
        // Not closed: there is no connection.
        eventLog.Error(kTransportTag, "Error in connecting to TQD. Mangled name - %s, tqdPort - %lu",
                       hostName.c_str(), static_cast<unsigned long>(tqdPort));
        return FXErrorUtil::ErrorWin32(FXCodeLocation{kSourceUnit, kTransportSignature, __LINE__},
                                       kTqWin32CommandFailed, "%s", kTqRcgConnectFailedMessage);
    }
    return ResultOf(ExchangeWithTqd(socket, msg, clientName, eventLog));
}

// A name that the request's field cannot hold whole is the caller's error:
// it is refused with the invalid-name error before anything is sent, never
// cut to the name of another group.
CQiError CheckRequestName(const std::string& name) {
    if (RcgNameFitsFrame(name)) return CQiError::Success();
    std::string problem = TqRcgCtrllr::detail::RcgNameProblem(name);
    if (problem.empty()) problem = "Invalid resource group name: a name may hold at most 255 characters";
    EvEvent eventLog;
    InitializeEventLog(eventLog, kNameTag);
    eventLog.Error(kNameTag, "%s", problem.c_str());
    return FXErrorUtil::ErrorWin32(FXCodeLocation{kSourceUnit, kNameSignature, __LINE__}, kTqWin32InvalidName,
                                   "%s", problem.c_str());
}

// One request without ids, sent when the name fits.
CQiError SendNamedRequest(RcgMsgType type, const std::string& name, std::uint32_t cpuShare = 0) {
    CQiError checked = CheckRequestName(name);
    if (checked.IsError()) return checked;
    TqRcgMsg msg = MakeRcgMsg(type, name);
    msg.cpuShare = cpuShare;
    return sendDataToTqd(msg);
}

// Sends the ids in requests of at most k_TqRcgMgrPidLimit, in list order; the
// first failure ends the call.  An empty list still makes one request.
CQiError SendPidRequests(RcgMsgType type, const std::string& name, const std::list<unsigned int>& pids) {
    CQiError checked = CheckRequestName(name);
    if (checked.IsError()) return checked;
    auto next = pids.cbegin();
    do {
        TqRcgMsg msg = MakeRcgMsg(type, name);
        const std::size_t taken = FillRcgPids(msg, next, pids.cend());
        std::advance(next, static_cast<std::ptrdiff_t>(taken));
        CQiError result = sendDataToTqd(msg);
        if (result.IsError()) return result;
    } while (next != pids.cend());
    return CQiError::Success();
}

// The refusal of a client function's own input: logged, and the error
// `code` with `text`.
CQiError RefuseInput(std::uint32_t code, const std::string& text) {
    EvEvent eventLog;
    InitializeEventLog(eventLog, kSettingsTag);
    eventLog.Error(kSettingsTag, "%s", text.c_str());
    return FXErrorUtil::ErrorWin32(FXCodeLocation{kSourceUnit, kSettingsSignature, __LINE__}, code, "%s",
                                   text.c_str());
}

// The properties of settings, for a message: "memory.max, cpu.weight".
std::string PropertyNames(const std::vector<TqRcgCtrllr::RcgSetting>& settings) {
    std::string names;
    for (const auto& setting : settings)
        names += (names.empty() ? "" : ", ") + std::string(TqRcgCtrllr::PropertyInfo(setting.property).name);
    return names;
}

// A tqd that knows no settings answers that the request type is not
// supported: the caller learns what to do about it.
CQiError TooOldOrResult(const CQiError& result, const std::vector<TqRcgCtrllr::RcgSetting>& settings) {
    if (!result.IsError() || result.AsString().find(kUnsupportedTypeText) == std::string::npos) return result;
    return RefuseInput(kTqWin32BadRequest,
                       "This tqd is too old for " + PropertyNames(settings) + " (it answered \"" + result.AsString() +
                           "\"): upgrade tqrcgmgr on this host and restart tqd.");
}

// One request that sets the properties of `name`, all or none.
CQiError SendSettings(const std::string& name, const std::vector<std::string>& texts) {
    CQiError checked = CheckRequestName(name);
    if (checked.IsError()) return checked;
    std::vector<TqRcgCtrllr::RcgSetting> settings;
    std::string problem = "no setting given";
    if (texts.empty() || !TqRcgCtrllr::ParseRcgSettings(texts, &settings, &problem))
        return RefuseInput(kTqWin32InvalidParameter, "Invalid settings: " + problem);
    std::vector<TqRcgWireSetting> wire;
    for (const auto& setting : settings) {
        wire.push_back(TqRcgWireSetting{TqRcgCtrllr::PropertyInfo(setting.property).wireCode,
                                        TqRcgCtrllr::FormatRcgValue(setting.property, setting.value)});
    }
    TqRcgMsg msg = MakeRcgMsg(RcgMsgSetProperties, name);
    if (!FillRcgSettings(msg, wire))
        return RefuseInput(kTqWin32InvalidParameter, "Invalid settings: " + PropertyNames(settings) +
                                                         " do not fit one request (64 bytes); set them in two.");
    return TooOldOrResult(sendDataToTqd(msg), settings);
}

}  // namespace
}  // namespace rcgclient

extern "C" {

CQiError createRcgGroup(const std::string& name) {
    return rcgclient::SendNamedRequest(RcgMsgCreateGroup, name);
}

CQiError deleteRcgGroup(const std::string& name) {
    return rcgclient::SendNamedRequest(RcgMsgDeleteGroup, name);
}

CQiError setRcgCPUShare(const std::string& name, int cpuShare) {
    return rcgclient::SendNamedRequest(RcgMsgSetCPUShare, name, static_cast<std::uint32_t>(cpuShare));
}

CQiError assignPidsTo(const std::string& name, const std::list<unsigned int>& pids) {
    return rcgclient::SendPidRequests(RcgMsgAssignPids, name, pids);
}

CQiError removePidsFrom(const std::string& name, const std::list<unsigned int>& pids) {
    return rcgclient::SendPidRequests(RcgMsgRemovePids, name, pids);
}

CQiError setRcgProperties(const std::string& name, const std::list<std::string>& settings) {
    return rcgclient::SendSettings(name, std::vector<std::string>(settings.begin(), settings.end()));
}

CQiError setRcgCPUWeight(const std::string& name, int weight) {
    return rcgclient::SendSettings(name, {"cpu.weight=" + std::to_string(weight)});
}

CQiError setRcgCPUBurst(const std::string& name, int share) {
    return rcgclient::SendSettings(name, {"cpu.max.burst=" + std::to_string(share)});
}

CQiError setRcgCPUs(const std::string& name, const std::string& cpus) {
    return rcgclient::SendSettings(name, {"cpuset.cpus=" + cpus});
}

CQiError setRcgMemoryMax(const std::string& name, const std::string& size) {
    return rcgclient::SendSettings(name, {"memory.max=" + size});
}

CQiError setRcgMemoryHigh(const std::string& name, const std::string& size) {
    return rcgclient::SendSettings(name, {"memory.high=" + size});
}

CQiError setRcgSwapMax(const std::string& name, const std::string& size) {
    return rcgclient::SendSettings(name, {"memory.swap.max=" + size});
}

CQiError setRcgPidsMax(const std::string& name, const std::string& count) {
    return rcgclient::SendSettings(name, {"pids.max=" + count});
}

CQiError checkRcgEnable(int& enabled) {
    TQPlatformInfo platformInfo;
    EvEvent eventLog;
    platformInfo.setFocus(TQPI_Focus::getFocus());
    rcgclient::InitializeEventLog(eventLog, rcgclient::kEnableTag);

    char buffer[rcgclient::kStoreBufferSize];
    std::memset(buffer, 0, sizeof(buffer));
    std::int32_t length = rcgclient::kStoreBufferSize;
    if (platformInfo.getString("Base", k_TQRCGMGR_Enable_RegKey, buffer, &length) != 0) {
        buffer[sizeof(buffer) - 1] = '\0';
        enabled = ReadLeadingInt(buffer);
    } else {
        enabled = 0;
    }
    return CQiError::Success();
}

}  // extern "C"
