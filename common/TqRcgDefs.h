// Shared definitions of the resource-group manager: sizes, fixed texts and
// configuration keys used by the group, request and client units.
#pragma once

#include <cstddef>
#include <cstdint>

#define TQ_EXPORT __attribute__((visibility("default")))

// Longest group name a request carries.
constexpr std::size_t k_TqRcgNameMaxSize = 255;
// Process ids per request.
constexpr std::size_t k_TqRcgMgrPidLimit = 16;
// Buffer for a command-failure message.
constexpr std::size_t k_TqRcgMgrErrorMsgSize = 1000;
// Size of the reply buffer.
constexpr std::size_t k_TqRcgMgrCQiErrorSize = 1024;

// Reply text of a successful request.
constexpr const char k_TQRCGMGR_Success[] = "Success";
// Group that receives processes removed from a group.
constexpr const char k_TQRCGMGR_DummyGroup[] = "tqrcgmgrdummy";
// Configuration key ("Base" section) of the list of created groups.
constexpr const char k_TQRCGMGR_Groups_RegKey[] = "sTQRCGMGRGROUPS";
// Group name that the request handler replaces by a configured one.
constexpr const char k_TQRCGMGR_UseKorvaneGroup[] = "useKorvaneGroup";
// Configuration key ("Base" section) of that configured name.
constexpr const char k_TQRCGMGR_Korvane_Group_RegKey[] = "sTQRCGMGRKORVANEGROUP";
// Command-failure message: command line, standard output, standard error.
#define k_TQRCGMGR_Cmd_Error_Pattern "Failed to run cmd [%s] out[%s] err[%s]\n"
// Configuration key ("Base" section) of the enable flag.
constexpr const char k_TQRCGMGR_Enable_RegKey[] = "dTQRCGMGRENABLE";

// Win32 codes used as error codes.
constexpr std::uint32_t kTqWin32OutOfMemory = 14;       // ERROR_OUTOFMEMORY
constexpr std::uint32_t kTqWin32InvalidParameter = 87;  // ERROR_INVALID_PARAMETER
constexpr std::uint32_t kTqWin32InvalidName = 123;      // ERROR_INVALID_NAME
constexpr std::uint32_t kTqWin32AccessDenied = 5;       // ERROR_ACCESS_DENIED
constexpr std::uint32_t kTqWin32CommandFailed = 774;    // ERROR_ERRORS_ENCOUNTERED
constexpr std::uint32_t kTqWin32NotFound = 1168;        // ERROR_NOT_FOUND
constexpr std::uint32_t kTqWin32BadRequest = 1630;      // ERROR_UNSUPPORTED_TYPE
