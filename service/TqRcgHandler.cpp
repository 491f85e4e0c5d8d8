// The request service: on the daemon's side rcgMgrHandler decodes one request
// frame, carries the operation out through the group controller and answers
// with the 1024-byte reply; on the client's side sendDataToTqd carries one
// request to the local daemon tqd for the exported client operations.
#include "TqRcgHandler.h"

#include <algorithm>
#include <cstring>
#include <list>
#include <memory>
#include <string>

#include "../common/TqRcgText.h"
#include "../host/EvDebug.h"
#include "../host/TQPlatformInfo.h"
#include "../host/TqFwClient.h"
#include "../rcg/RcgCapKeeper.h"
#include "../rcg/RcgNames.h"
#include "../rcg/TqRcgCtrllr.h"
#include "TqRcgFrame.h"

namespace {

const char kHandlerTag[] = "rcgMgrHandler";
const char kHandlerSignature[] = "void rcgMgrHandler(CQiSocket, void*)";

// Fills the zeroed reply with "Success" or the error's text (at most 1023
// characters, then the NUL), sends all 1024 bytes and ends the sending side.
// Delivery failures only reach the log.
void SendReply(CQiSocket& socket, const CQiError& result, EvDebug& log) {
    char reply[k_TqRcgMgrCQiErrorSize];
    std::memset(reply, 0, sizeof(reply));
    const std::string text = result.IsError() ? result.AsString() : std::string(k_TQRCGMGR_Success);
    std::memcpy(reply, text.data(), std::min(text.size(), sizeof(reply) - 1));

    int timedOut = 0;
    bool delivered = !socket.SendWithTimeOut(reply, sizeof(reply), 15, &timedOut, 0, nullptr).IsError();
    if (delivered) delivered = !socket.Shutdown(1).IsError();
    if (!delivered) log.Error(kHandlerTag, "Couldn't send tqrcgmgr response");
    if (timedOut != 0) {
        log.Error(kHandlerTag, "Timedout happened! Couldn't send tqrcgmgr response in 15 seconds.");
    }
}

}  // namespace

extern "C" TQ_EXPORT void rcgMgrHandler(CQiSocket socket, void* frame) {
    EvDebug log(nullptr);
    if (frame == nullptr) {
        // The daemon broke its side of the contract: answer, touch nothing.
        log.Error(kHandlerTag, "Request frame is null");
        const CQiError missing =
            FXErrorUtil::ErrorWin32(FXCodeLocation{"TqRcgHandler.cpp", kHandlerSignature, __LINE__},
                                    k_TqWin32InvalidParameter, "The request frame is missing.");
        SendReply(socket, missing, log);
        return;
    }

    // The name is read within its 256-byte field only: a field without a NUL
    // gives a 256-character name, which the controller refuses.
    TqRcgRequest request = DecodeRcgFrame(frame);
    std::string name = request.name;
    const std::int32_t msgType = request.msgType;

    TqRcgPtr group;
    CQiError result = CQiError::Success();
    std::list<unsigned int> pids;
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());

    if (name == k_TQRCGMGR_UseKorvaneGroup) {
        char value[128];
        std::memset(value, 0, sizeof(value));
        std::int32_t length = 128;
        if (store.getString("Base", k_TQRCGMGR_Korvane_Group_RegKey, value, &length) != 0) {
            name.assign(value, strnlen(value, sizeof(value)));
        }
    }

    switch (msgType) {
        case RcgMsgCreateGroup:
            result = TqRcgCtrllr::GetSysRcg(name.c_str(), group);
            if (result.IsError() || !group) result = TqRcgCtrllr::GetNewRcg(name.c_str(), group);
            break;
        case RcgMsgDeleteGroup:
            result = TqRcgCtrllr::DeleteRcg(name.c_str());
            break;
        case RcgMsgSetCPUShare:
            result = TqRcgCtrllr::GetSysRcg(name.c_str(), group);
            if (!result.IsError() && group) result = group->setCPUConstraint(request.cpuShare);
            break;
        case RcgMsgAssignPids:
        case RcgMsgRemovePids:
            result = TqRcgCtrllr::GetSysRcg(name.c_str(), group);
            if (!result.IsError() && group) {
                // Non-zero slots in slot order; a 0 anywhere is skipped.
                pids.swap(request.pids);
                result =
                    msgType == RcgMsgAssignPids ? group->AssignPidsTo(pids) : group->RemovePidsFrom(pids);
            }
            break;
        default:
            log.Error(kHandlerTag, "RcgMsgType %d is not correct.\n", msgType);
            result =
                FXErrorUtil::ErrorWin32(FXCodeLocation{"TqRcgHandler.cpp", kHandlerSignature, __LINE__},
                                        k_TqWin32BadRequest, "The value of RcgMsgType is not supported.");
            break;
    }

    // A cap is remembered so that tqd can apply it again; a deleted group's
    // cap is forgotten with it.
    if (!result.IsError() && msgType == RcgMsgSetCPUShare) TqRcgCtrllr::detail::RememberCap(name, request.cpuShare);
    if (!result.IsError() && msgType == RcgMsgDeleteGroup) TqRcgCtrllr::detail::ForgetCap(name);

    SendReply(socket, result, log);
}

extern "C" TQ_EXPORT int rcgMgrReapplyCaps(const char* change) {
    return TqRcgCtrllr::detail::ReapplyCaps(change);
}

// ---- client side ---------------------------------------------------------

namespace tqrcg_client {
namespace {

const char kTransportTag[] = "TqRcgHandler::sendDataToTqd";
const char kEnableTag[] = "checkRcgEnable";
const char kSourceUnit[] = "TqRcgHandler.cpp";
const char kTransportSignature[] = "CQiError sendDataToTqd(TqRcgMsg)";
const char kNameTag[] = "TqRcgHandler::checkRequestName";
const char kNameSignature[] = "CQiError checkRequestName(const std::string&)";

constexpr int kSocketTimeoutSeconds = 15;
constexpr std::int32_t kStoreBufferSize = 128;
constexpr int kEventFacility = 2;
constexpr std::uint32_t kEventCategory = 0x2B0BBDCB;

// Closes the connection when the scope ends unless it was closed already, so
// that an exception cannot leave it open.
class ConnectionCloser {
public:
    explicit ConnectionCloser(CQiSocket& socket) : m_socket(socket) {}
    ~ConnectionCloser() { close(); }
    ConnectionCloser(const ConnectionCloser&) = delete;
    ConnectionCloser& operator=(const ConnectionCloser&) = delete;

    void close() {
        if (m_socket.IsValid()) m_socket.Close();
    }

private:
    CQiSocket& m_socket;
};

void InitializeEventLog(EvEvent& eventLog, const char* tag) {
    if (!eventLog.initialize(kEventFacility, kEventCategory, 0, nullptr, "")) {
        eventLog.Error(tag, "EvEvent initialization failed.");
    }
}

// Sends one request to tqd and turns its reply into the result: success
// exactly when the daemon answered "Success".
CQiError sendDataToTqd(TqRcgMsg msg) {
    TqFwClient fwClient;
    TQPlatformInfo platformInfo;
    EvEvent eventLog;
    platformInfo.setFocus(TQPI_Focus::getFocus());
    InitializeEventLog(eventLog, kTransportTag);

    std::uint64_t tqdPort = 0;
    if (platformInfo.getNumber("Session", "nTQDPORT", tqdPort) == 0) tqdPort = k_TqdDefaultPort;

    const char* machine = platformInfo.getPhysicalMachine();
    if (machine == nullptr) {
        eventLog.Error(kTransportTag, "Failed to get the local client host name.");
        return FXErrorUtil::ErrorWin32(FXCodeLocation{kSourceUnit, kTransportSignature, __LINE__},
                                       k_TqWin32CommandFailed, "Error happens in getPhysicalMachine");
    }
    const std::string clientName(machine);
    eventLog.DebugLvl(kTransportTag, 4, "client name set to %s", clientName.c_str());

    std::string hostName;
    platformInfo.getClientHostNameMangled(clientName, hostName);

    const int port = static_cast<int>(static_cast<std::int32_t>(tqdPort));
    CQiSocket socket = fwClient.connect(hostName, port, port, -1, -1, nullptr, nullptr, false);
    if (!socket.IsValid()) {
        eventLog.Error(kTransportTag, "Error in connecting to TQD. Mangled name - %s, tqdPort - %lu",
                       hostName.c_str(), static_cast<unsigned long>(tqdPort));
        return FXErrorUtil::ErrorWin32(FXCodeLocation{kSourceUnit, kTransportSignature, __LINE__},
                                       k_TqWin32CommandFailed, "Error happens in fwClient.connect()");
    }
    ConnectionCloser closer(socket);

    const TqRcgFrame encoded = EncodeRcgFrame(msg);
    std::unique_ptr<unsigned char[]> frame(new unsigned char[k_TqRcgFrameSize]);
    std::memcpy(frame.get(), encoded.data(), k_TqRcgFrameSize);

    CQiError status = CQiError::Success();
    int timedOut = 0;
    status = socket.SendWithTimeOut(frame.get(), k_TqRcgFrameSize, kSocketTimeoutSeconds, &timedOut, 0, nullptr);
    if (!status.IsError()) status = socket.Shutdown(1);

    if (status.IsError()) {
        eventLog.Error(kTransportTag, "Couldn't send tqrcgmgr request to %s", clientName.c_str());
        frame.reset();
        closer.close();
        return FXErrorUtil::ErrorWin32(FXCodeLocation{kSourceUnit, kTransportSignature, __LINE__},
                                       k_TqWin32CommandFailed, "Couldn't send tqrcgmgr request");
    }
    if (timedOut != 0) {
        frame.reset();
        closer.close();
        return FXErrorUtil::ErrorWin32(FXCodeLocation{kSourceUnit, kTransportSignature, __LINE__},
                                       k_TqWin32CommandFailed, "Socket send less message than expected");
    }

    char reply[k_TqRcgMgrCQiErrorSize];
    std::memset(reply, 0, sizeof(reply));
    timedOut = 0;
    status = socket.RecvWithTimeout(reply, sizeof(reply), kSocketTimeoutSeconds, &timedOut, 0, nullptr);
    const std::string replyText = ReadRcgReply(reply, sizeof(reply));
    if (status.IsError()) {
        eventLog.Error(kTransportTag, "Couldn't receive tqrcgmgr response from %s", clientName.c_str());
    } else {
        eventLog.DebugLvl(kTransportTag, 4, "Get tqrcgmgr response %s", replyText.c_str());
    }
    frame.reset();
    closer.close();

    if (!status.IsError() && replyText != k_TQRCGMGR_Success) {
        status = FXErrorUtil::ErrorWin32(FXCodeLocation{kSourceUnit, kTransportSignature, __LINE__},
                                         k_TqWin32CommandFailed, "%s", replyText.c_str());
    }
    return status;
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
    return FXErrorUtil::ErrorWin32(FXCodeLocation{kSourceUnit, kNameSignature, __LINE__}, k_TqWin32InvalidName,
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

}  // namespace
}  // namespace tqrcg_client

extern "C" {

CQiError createRcgGroup(const std::string& name) {
    return tqrcg_client::SendNamedRequest(RcgMsgCreateGroup, name);
}

CQiError deleteRcgGroup(const std::string& name) {
    return tqrcg_client::SendNamedRequest(RcgMsgDeleteGroup, name);
}

CQiError setRcgCPUShare(const std::string& name, int cpuShare) {
    return tqrcg_client::SendNamedRequest(RcgMsgSetCPUShare, name, static_cast<std::uint32_t>(cpuShare));
}

CQiError assignPidsTo(const std::string& name, const std::list<unsigned int>& pids) {
    return tqrcg_client::SendPidRequests(RcgMsgAssignPids, name, pids);
}

CQiError removePidsFrom(const std::string& name, const std::list<unsigned int>& pids) {
    return tqrcg_client::SendPidRequests(RcgMsgRemovePids, name, pids);
}

CQiError checkRcgEnable(int& enabled) {
    TQPlatformInfo platformInfo;
    EvEvent eventLog;
    platformInfo.setFocus(TQPI_Focus::getFocus());
    tqrcg_client::InitializeEventLog(eventLog, tqrcg_client::kEnableTag);

    char buffer[tqrcg_client::kStoreBufferSize];
    std::memset(buffer, 0, sizeof(buffer));
    std::int32_t length = tqrcg_client::kStoreBufferSize;
    if (platformInfo.getString("Base", k_TQRCGMGR_Enable_RegKey, buffer, &length) != 0) {
        buffer[sizeof(buffer) - 1] = '\0';
        enabled = ReadLeadingInt(buffer);
    } else {
        enabled = 0;
    }
    return CQiError::Success();
}

}  // extern "C"
