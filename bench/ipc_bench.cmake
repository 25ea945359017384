# IPC between two processes (the program starts itself again as the peer) against a raw Unix
# stream socket: asynchronous throughput and synchronous round-trip latency.
plexore_add_bench(ipc_bench LIBS plexore_core plexore_host_services)
target_include_directories(ipc_bench PRIVATE ${CMAKE_SOURCE_DIR})
