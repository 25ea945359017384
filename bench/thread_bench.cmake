# Posting tasks across threads: throughput into one loop and post-to-run latency, against a
# plain mutex + condition-variable queue run in the same program.
plexore_add_bench(thread_bench LIBS plexore_core)
