# "extension.invoke.utility.geturl" from a background core to its reply back at that core,
# through the real threads, the manager, the permission gate and the common command host.
plexore_add_bench(command_bench LIBS plexore_module plexore_host_services)
