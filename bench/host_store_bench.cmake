# The host's extension store at the size the start-up goal is set for (1 000 extensions): open
# (one read, one parse), open plus the module's query into agents, one durable change, and one
# cache-store entry write.
plexore_add_bench(host_store_bench LIBS plexore_host_services plexore_module)
