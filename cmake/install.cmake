# `cmake --install`: the browser stand-in, its module and everything it finds beside itself go
# into one application folder, ${CMAKE_INSTALL_LIBDIR}/plexore, laid out exactly as the build
# tree's bin folder (the host looks for libplexore.so, Pellwick.exe, the string table, the
# sibling module markers and resource/userdata/localextensions beside its own executable, which
# it reads from /proc/self/exe, so a symbolic link to it from ${CMAKE_INSTALL_BINDIR} works).
# The two shared layers go into ${CMAKE_INSTALL_LIBDIR}, plexorectl into
# ${CMAKE_INSTALL_BINDIR}, and the native SDK header with its pkg-config file (plexore-native)
# and CMake package (find_package(plexore) -> plexore::native) where developers look for them.
# Every RPATH is relative ($ORIGIN), so the installed tree may be moved as a whole.

include(CMakePackageConfigHelpers)

set(PLEXORE_INSTALL_APPDIR ${CMAKE_INSTALL_LIBDIR}/plexore)
file(RELATIVE_PATH _plexore_app_to_lib /${PLEXORE_INSTALL_APPDIR} /${CMAKE_INSTALL_LIBDIR})
file(RELATIVE_PATH _plexore_bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
file(RELATIVE_PATH _plexore_bin_to_host /${CMAKE_INSTALL_BINDIR}
     /${PLEXORE_INSTALL_APPDIR}/plexore-host)
string(REGEX REPLACE "/$" "" _plexore_app_to_lib "${_plexore_app_to_lib}")
string(REGEX REPLACE "/$" "" _plexore_bin_to_lib "${_plexore_bin_to_lib}")

# The shared layers, found by each other in the same folder.
set_target_properties(halcy_platform plexore_core PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS halcy_platform plexore_core LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The module: loaded by the host from its own folder, linked against the layers one level up.
set_target_properties(plexore PROPERTIES INSTALL_RPATH "$ORIGIN/${_plexore_app_to_lib}")
install(TARGETS plexore LIBRARY DESTINATION ${PLEXORE_INSTALL_APPDIR})

if(TARGET plexore-host)
  set_target_properties(plexore-host PROPERTIES
    INSTALL_RPATH "$ORIGIN;$ORIGIN/${_plexore_app_to_lib}")
  install(TARGETS plexore-host pellwick RUNTIME DESTINATION ${PLEXORE_INSTALL_APPDIR})
  # What the build ships beside the host (host/CMakeLists.txt, examples/CMakeLists.txt).
  set(_plexore_beside_host halcy_strings.txt plexore-host.version Quillon.dll Tollmark.dll
      Sarnet.dll plexore.dll Brindle.dll)
  list(TRANSFORM _plexore_beside_host PREPEND ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/)
  install(FILES ${_plexore_beside_host} DESTINATION ${PLEXORE_INSTALL_APPDIR})
  install(DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/resource
          DESTINATION ${PLEXORE_INSTALL_APPDIR} USE_SOURCE_PERMISSIONS)
  # The command users type; the link resolves to the application folder, where the host
  # finds its files.
  install(CODE "
    set(_link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/plexore-host\")
    message(STATUS \"Installing: \${_link} -> ${_plexore_bin_to_host}\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(REMOVE \"\${_link}\")
    file(CREATE_LINK \"${_plexore_bin_to_host}\" \"\${_link}\" SYMBOLIC)")
endif()

if(TARGET plexorectl)
  set_target_properties(plexorectl PROPERTIES INSTALL_RPATH "$ORIGIN/${_plexore_bin_to_lib}")
  install(TARGETS plexorectl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The native SDK: the header, an interface target exported as plexore::native, and a
# pkg-config file whose prefix is found from its own location.
install(FILES include/plexore/native_extension.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/plexore)
set_target_properties(plexore_native_sdk PROPERTIES EXPORT_NAME native)
install(TARGETS plexore_native_sdk EXPORT plexoreTargets)
set(_plexore_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/plexore)
install(EXPORT plexoreTargets NAMESPACE plexore:: DESTINATION ${_plexore_cmake_dir})
configure_package_config_file(cmake/plexoreConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/plexoreConfig.cmake INSTALL_DESTINATION ${_plexore_cmake_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/plexoreConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/plexoreConfig.cmake
        ${CMAKE_CURRENT_BINARY_DIR}/plexoreConfigVersion.cmake DESTINATION ${_plexore_cmake_dir})

file(RELATIVE_PATH PLEXORE_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" PLEXORE_PC_TO_PREFIX "${PLEXORE_PC_TO_PREFIX}")
configure_file(cmake/plexore-native.pc.in ${CMAKE_CURRENT_BINARY_DIR}/plexore-native.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/plexore-native.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
