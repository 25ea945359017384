// What ipc_peer, the program that opens the client end of a channel in a separate process,
// does with each message: it sends an asynchronous one back unchanged, answers a synchronous
// one with a reply that carries the request's payload, and kills itself on kCrash.
#pragma once

#include <cstdint>

namespace ipc_peer {

constexpr uint32_t kCrash = 0x07000306;

}  // namespace ipc_peer
