# A named event to the shipped weatherdesk library in the real extension process and its command
# back, against a synchronous IPC round trip to the same process. The program is its own
# extension process, so it links the child's code; it needs the built-in set beside it.
plexore_add_bench(native_bench LIBS plexore_module plexore_host_services plexore_dll_child)
add_dependencies(native_bench builtin_extensions)
