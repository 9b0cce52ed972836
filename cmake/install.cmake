# Installed like any C library: the header, the shared libraries, the
# command-line tool and the docs; a CMake package (find_package(kx7fw)) and
# pkg-config files.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KX7FW_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kx7fw)

set_target_properties(kx7fw-sim PROPERTIES EXPORT_NAME sim VERSION ${PROJECT_VERSION}
                                           SOVERSION ${PROJECT_VERSION_MAJOR})
target_include_directories(kx7fw-sim INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                               $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set(KX7FW_INSTALLED_LIBRARIES kx7fw-sim)
# The library on the build's backend for real players, when it has one.
if(TARGET kx7fw)
  set_target_properties(kx7fw PROPERTIES EXPORT_NAME kx7fw)
  target_include_directories(kx7fw INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                             $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  list(APPEND KX7FW_INSTALLED_LIBRARIES kx7fw)
endif()

install(TARGETS ${KX7FW_INSTALLED_LIBRARIES} EXPORT kx7fwTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/kx7fw DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET kx7fw-cli)
  install(TARGETS kx7fw-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The worlds `kx7fw --sim FILE` runs on.
  install(DIRECTORY scenarios/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kx7fw/scenarios
          FILES_MATCHING PATTERN "*.json")
  # The rules that let the logged-in user reach a real player, where udev
  # reads a package's rules (kx7fw udev-rules prints the same text).
  if(TARGET kx7fw_cli_linux)
    install(FILES platform/linux/70-kx7fw.rules DESTINATION lib/udev/rules.d)
  endif()
endif()
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(EXISTS ${PROJECT_SOURCE_DIR}/docs)
  install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

install(EXPORT kx7fwTargets NAMESPACE kx7fw:: DESTINATION ${KX7FW_PACKAGE_DIR})
configure_package_config_file(cmake/kx7fwConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/kx7fwConfig.cmake
                              INSTALL_DESTINATION ${KX7FW_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kx7fwConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kx7fwConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/kx7fwConfigVersion.cmake
        DESTINATION ${KX7FW_PACKAGE_DIR})

# The pkg-config files find the prefix from where they lie, so that the
# installed tree can be moved.
file(RELATIVE_PATH KX7FW_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
# Without a backend for real players there is no kx7fw.pc: an application
# that asks for kx7fw must never get the simulator.
set(KX7FW_PC_FILES kx7fw-sim.pc)
if(TARGET kx7fw)
  list(APPEND KX7FW_PC_FILES kx7fw.pc)
endif()
foreach(file IN LISTS KX7FW_PC_FILES)
  configure_file(cmake/${file}.in ${CMAKE_CURRENT_BINARY_DIR}/${file} @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${file} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
