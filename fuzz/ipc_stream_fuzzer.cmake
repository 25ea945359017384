# The channel's receive path over arbitrary bytes in arbitrary read sizes. The libraries of a
# fuzz build carry coverage instrumentation, so the channel is linked as is.
plexore_add_fuzzer(ipc_stream_fuzzer LIBS plexore_core)
