// The daemon side of the request service: rcgMgrHandler decodes one request
// frame, carries the operation out through the group controller and answers
// with the 1024-byte reply.
#include "TqRcgHandler.h"

#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "../host/EvDebug.h"
#include "../host/TQPlatformInfo.h"
#include "../rcg/RcgCapKeeper.h"
#include "../rcg/RcgProperties.h"
#include "../rcg/TqRcgCtrllr.h"
#include "TqRcgProtocol.h"

namespace {

using TqRcgCtrllr::RcgPropertyInfo;
using TqRcgCtrllr::RcgSetting;
using TqRcgCtrllr::FindPropertyByWireCode;

const char kHandlerTag[] = "rcgMgrHandler";
const char kHandlerSignature[] = "void rcgMgrHandler(CQiSocket, void*)";

// Sends the reply that carries "Success" or the error's text, and ends the
// sending side.  Delivery failures only reach the log.
void SendReply(CQiSocket& socket, const CQiError& result, EvDebug& log) {
    const TqRcgReply reply =
        MakeRcgReply(result.IsError() ? result.AsString() : std::string(k_TQRCGMGR_Success));
    int timedOut = 0;
    bool delivered = !socket.SendWithTimeOut(reply.data(), reply.size(), 15, &timedOut, 0, nullptr).IsError();
    if (delivered) delivered = !socket.Shutdown(1).IsError();
    if (!delivered) log.Error(kHandlerTag, "Couldn't send tqrcgmgr response");
    if (timedOut != 0) {
        log.Error(kHandlerTag, "Timedout happened! Couldn't send tqrcgmgr response in 15 seconds.");
    }
}

// The group a request names: the configured one in place of
// k_TQRCGMGR_UseKorvaneGroup, else the name itself.
std::string RequestedGroup(const std::string& name) {
    if (name != k_TQRCGMGR_UseKorvaneGroup) return name;
    TQPlatformInfo store;
    store.setFocus(TQPI_Focus::getFocus());
    char value[128];
    std::memset(value, 0, sizeof(value));
    std::int32_t length = 128;
    if (store.getString("Base", k_TQRCGMGR_Korvane_Group_RegKey, value, &length) == 0) return name;
    return std::string(value, strnlen(value, sizeof(value)));
}

// Moves the request's ids into or out of the group `name`.
CQiError MovePids(const std::string& name, TqRcgRequest& request) {
    TqRcgPtr group;
    CQiError result = TqRcgCtrllr::GetSysRcg(name.c_str(), group);
    if (result.IsError() || !group) return result;
    // Non-zero slots in slot order; a 0 anywhere is skipped.
    std::list<unsigned int> pids;
    pids.swap(request.pids);
    return request.msgType == RcgMsgAssignPids ? group->AssignPidsTo(pids) : group->RemovePidsFrom(pids);
}

// The request's settings as values; the invalid-parameter error when one
// cannot be read, names no property or is given twice.
CQiError ReadSettings(const TqRcgRequest& request, std::vector<RcgSetting>* settings, EvDebug& log) {
    std::vector<std::string> texts;
    std::string problem = request.settingsReadable ? "" : "the settings of the request cannot be read";
    for (const TqRcgWireSetting& wire : request.settings) {
        const RcgPropertyInfo* info = FindPropertyByWireCode(wire.code);
        if (info == nullptr) {
            problem = "the request names a property this tqd does not know (code " + std::to_string(wire.code) + ")";
            break;
        }
        texts.push_back(std::string(info->name) + "=" + wire.value);
    }
    if (problem.empty() && TqRcgCtrllr::ParseRcgSettings(texts, settings, &problem)) return CQiError::Success();
    const std::string text = "Invalid settings: " + problem;
    log.Error(kHandlerTag, "%s", text.c_str());
    return FXErrorUtil::ErrorWin32(FXCodeLocation{"TqRcgHandler.cpp", kHandlerSignature, __LINE__},
                                   kTqWin32InvalidParameter, "%s", text.c_str());
}

// Sets the properties of the group `name`, all or none, and remembers them.
CQiError SetProperties(const std::string& name, const TqRcgRequest& request, EvDebug& log) {
    std::vector<RcgSetting> settings;
    const CQiError result = ReadSettings(request, &settings, log);
    if (result.IsError()) return result;
    const TqRcgCtrllr::detail::GroupChangeLock lock(name);
    const CQiError applied = TqRcgCtrllr::detail::SetRcgProperties(name.c_str(), settings);
    if (!applied.IsError()) TqRcgCtrllr::detail::RememberSettings(name, settings);
    return applied;
}

// Caps the group `name` and remembers the cap, so that tqd can apply it again.
CQiError Cap(const std::string& name, std::uint32_t percent) {
    const TqRcgCtrllr::detail::GroupChangeLock lock(name);
    TqRcgPtr group;
    CQiError result = TqRcgCtrllr::GetSysRcg(name.c_str(), group);
    if (!result.IsError() && group) result = group->setCPUConstraint(percent);
    if (!result.IsError()) TqRcgCtrllr::detail::RememberCap(name, percent);
    return result;
}

// Deletes the group `name`; its cap and settings are forgotten with it.
CQiError Delete(const std::string& name) {
    const TqRcgCtrllr::detail::GroupChangeLock lock(name);
    const CQiError result = TqRcgCtrllr::DeleteRcg(name.c_str());
    if (!result.IsError()) TqRcgCtrllr::detail::ForgetCap(name);
    return result;
}

// Carries the request out on the group `name` through the controller.
CQiError CarryOut(const std::string& name, TqRcgRequest& request, EvDebug& log) {
    const RcgRequestType* type = RequestTypeOf(request);
    if (type == nullptr) {
        log.Error(kHandlerTag, "RcgMsgType %d is not correct.\n", request.msgType);
        return FXErrorUtil::ErrorWin32(FXCodeLocation{"TqRcgHandler.cpp", kHandlerSignature, __LINE__},
                                       kTqWin32BadRequest, "The value of RcgMsgType is not supported.");
    }
    TqRcgPtr group;
    CQiError result = CQiError::Success();
    switch (type->type) {
        case RcgMsgCreateGroup:
            result = TqRcgCtrllr::GetSysRcg(name.c_str(), group);
            if (result.IsError() || !group) result = TqRcgCtrllr::GetNewRcg(name.c_str(), group);
            return result;
        case RcgMsgDeleteGroup:
            return Delete(name);
        case RcgMsgSetCPUShare:
            return Cap(name, request.cpuShare);
        case RcgMsgAssignPids:
        case RcgMsgRemovePids:
            return MovePids(name, request);
        case RcgMsgSetProperties:
            return SetProperties(name, request, log);
    }
    return result;
}

}  // namespace

extern "C" TQ_EXPORT void rcgMgrHandler(CQiSocket socket, void* frame) {
    EvDebug log(nullptr);
    if (frame == nullptr) {
        // The daemon broke its side of the contract: answer, touch nothing.
        log.Error(kHandlerTag, "Request frame is null");
        const CQiError missing =
            FXErrorUtil::ErrorWin32(FXCodeLocation{"TqRcgHandler.cpp", kHandlerSignature, __LINE__},
                                    kTqWin32InvalidParameter, "The request frame is missing.");
        SendReply(socket, missing, log);
        return;
    }

    // The name is read within its 256-byte field only: a field without a NUL
    // gives a 256-character name, which the controller refuses.
    TqRcgRequest request = DecodeRcgFrame(frame);
    const std::string name = RequestedGroup(request.name);
    const CQiError result = CarryOut(name, request, log);
    SendReply(socket, result, log);
}

extern "C" TQ_EXPORT int rcgMgrReapplyCaps(const char* change) {
    return TqRcgCtrllr::detail::ReapplyCaps(change);
}
