# The channel's receive path over arbitrary bytes in arbitrary read sizes. The channel and what
# it needs from the core library are compiled into the fuzzer, so that they carry its coverage
# instrumentation (the libraries are built without it); the platform layer is linked.
file(GLOB _ipc_fuzzer_thread_sources ${CMAKE_SOURCE_DIR}/src/thread/*.cc)
plexore_add_fuzzer(ipc_stream_fuzzer LIBS halcy_platform)
target_sources(ipc_stream_fuzzer PRIVATE
  ${CMAKE_SOURCE_DIR}/src/ipc/ipc_channel.cc
  ${CMAKE_SOURCE_DIR}/src/ipc/ipc_message.cc
  ${CMAKE_SOURCE_DIR}/src/base/lock.cc
  ${CMAKE_SOURCE_DIR}/src/common/log.cc
  ${_ipc_fuzzer_thread_sources})
