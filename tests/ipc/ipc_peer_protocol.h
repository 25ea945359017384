// The scripted exchange between the IPC tests and ipc_peer, the peer program that opens the
// client end of a channel in a separate process. Each request type names what the peer does.
// Header-only constants.
#pragma once

#include <cstdint>

namespace ipc_peer {

// Host to peer.
constexpr uint32_t kEcho = 0x07000301;       // async: sent back unchanged (type, routing, payload)
constexpr uint32_t kSyncEcho = 0x07000302;   // sync: reply carrying the request's payload
constexpr uint32_t kSyncError = 0x07000303;  // sync: reply error
constexpr uint32_t kSyncDwb = 0x07000304;    // sync: a kDwbNote first, the reply after the kAck
constexpr uint32_t kStream = 0x07000305;     // async, int count (0: until the channel fails)
constexpr uint32_t kCrash = 0x07000306;      // the peer kills itself at once
constexpr uint32_t kAck = 0x07000311;        // async: answers a kDwbNote

// Peer to host.
constexpr uint32_t kDwbNote = 0x07000310;     // dispatch while blocked
constexpr uint32_t kStreamItem = 0x07000320;  // int sequence number, from 0

// Exit codes of the peer.
constexpr int kExitChannelClosed = 0;
constexpr int kExitUsage = 2;
constexpr int kExitNoThreads = 3;

}  // namespace ipc_peer
