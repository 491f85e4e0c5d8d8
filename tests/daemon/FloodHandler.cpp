// A request handler library for tqd whose one command prints as many bytes
// as the request's share field says (lines "y"), run through the framework's command
// runner as every real command is.  Its reply tells what the runner kept:
// "<status> <kept bytes> <last line kept>".  With it a test watches tqd's
// memory while a tool prints without end.
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/TqRcgDefs.h"
#include "host/CQiSocket.h"
#include "host/TqProcess.h"

namespace {

// Offset of the share field in a request frame: the 40-byte header, then
// the 256-byte name and the 4-byte type.
constexpr std::size_t kShareOffset = 40 + 256 + 4;

std::string LastLine(const std::string& text) {
    std::string body = text;
    while (!body.empty() && body.back() == '\n') body.pop_back();
    const std::size_t start = body.rfind('\n');
    return start == std::string::npos ? body : body.substr(start + 1);
}

}  // namespace

extern "C" TQ_EXPORT void rcgMgrHandler(CQiSocket socket, void* frame) {
    std::uint32_t bytes = 0;
    std::memcpy(&bytes, static_cast<const unsigned char*>(frame) + kShareOffset, sizeof(bytes));
    std::string out, err;
    const std::string command = "yes | head -c " + std::to_string(bytes);
    const int status = TqProcess::system(command.c_str(), &out, &err, 0, false);
    const std::string text = std::to_string(status) + " " + std::to_string(out.size()) + " " + LastLine(out);
    char reply[k_TqRcgMgrCQiErrorSize] = {};
    std::memcpy(reply, text.data(), std::min(text.size(), sizeof(reply) - 1));
    int timedOut = 0;
    socket.SendWithTimeOut(reply, sizeof(reply), 15, &timedOut, 0, nullptr);
    socket.Shutdown(1);
}
