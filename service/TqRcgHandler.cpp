// The daemon side of the request service: rcgMgrHandler decodes one request
// frame, carries the operation out through the group controller and answers
// with the 1024-byte reply.
#include "TqRcgHandler.h"

#include <algorithm>
#include <cstring>
#include <list>
#include <string>

#include "../host/EvDebug.h"
#include "../host/TQPlatformInfo.h"
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

    SendReply(socket, result, log);
}
