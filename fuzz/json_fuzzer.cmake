# The libraries of a fuzz build carry coverage instrumentation, so the reader is linked as is.
plexore_add_fuzzer(json_fuzzer LIBS plexore_core)
