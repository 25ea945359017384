// The message types of the extension-DLL process's channel, both directions, in one place: the
// browser's host (src/process), the extension manager that builds what goes to the child
// (extension/dll_host_messages.h) and the child itself (host/dll_child) all name them from here.
// Payload shapes are documented where each side reads or writes them.
#pragma once

#include <cstdint>

namespace Logic {

// To the child.
inline constexpr uint32_t kDllMsgLoadLibrary = 0x07000001;    // string id, string library path
inline constexpr uint32_t kDllMsgUnloadLibrary = 0x07000002;  // string id
inline constexpr uint32_t kDllMsgForwardedCall = 0x07000003;
inline constexpr uint32_t kDllMsgMenuClick = 0x07000006;
inline constexpr uint32_t kDllMsgFrameCreated = 0x07000007;
inline constexpr uint32_t kDllMsgRequestAnswer = 0x0700000A;
inline constexpr uint32_t kDllMsgPageInfo = 0x0700000D;
inline constexpr uint32_t kDllMsgRequestOutcome = 0x0700000F;  // the answer to 0x0700000E
inline constexpr uint32_t kDllMsgLibraryMessage = 0x07000011;
inline constexpr uint32_t kDllMsgBrowserNotify = 0x07000012;
// Both ways: a named event.
inline constexpr uint32_t kDllMsgNamedEvent = 0x07000008;
// From the child.
inline constexpr uint32_t kDllMsgLibraryResponseToFE = 0x07000004;
inline constexpr uint32_t kDllMsgPostCommandToUI = 0x07000005;
inline constexpr uint32_t kDllMsgSnapShotWebPage = 0x07000009;
inline constexpr uint32_t kDllMsgOpenWebPage = 0x0700000B;
inline constexpr uint32_t kDllMsgGetWebPageInfo = 0x0700000C;
inline constexpr uint32_t kDllMsgLibraryRequest = 0x0700000E;
inline constexpr uint32_t kDllMsgLibraryCommand = 0x07000010;
inline constexpr uint32_t kDllMsgLibraryLoadState = 0x07000014;  // string id, int (0: failed)

}  // namespace Logic
