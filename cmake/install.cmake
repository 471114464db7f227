# `cmake --install build --prefix P` lays out the SDK and a runnable core:
#   P/include/dvrplugin.h, dvrmedia.h,      the plugin SDK, the media event format
#             dvrharness.h                 and the test harness
#   P/lib/libdvrharness.so
#   P/lib/pkgconfig/dvrplugin.pc, dvrharness.pc
#   P/lib/cmake/dvrplugin/                  find_package(dvrplugin)
#   P/lib/dvrcore/dvrcore                   the core; it loads P/lib/dvrcore/plugins/*.so
#   P/lib/dvrcore/plugins/                  the demo plugins (pkg-config: plugindir)
#   P/bin/dvrcore -> ../lib/dvrcore/dvrcore, P/bin/devsupervisor, P/bin/dvrinspect,
#   P/bin/dvrplugin-new                     the scaffold for a new plugin
#   P/share/dvrplugin/example/              the example plugin, its harness test and CMake file
#   P/share/dvrplugin/toolchain-armhf.cmake the cross build for 32-bit ARM
# With DVR_SDK_ONLY the core, its plugins and devsupervisor are left out (the
# plugin directory is still made: the CMake package points at it).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(DVR_INSTALL_CORE_DIR ${CMAKE_INSTALL_LIBDIR}/dvrcore)
set(DVR_INSTALL_PLUGIN_DIR ${DVR_INSTALL_CORE_DIR}/plugins)
set(DVR_INSTALL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/dvrplugin)

install(FILES plugin-api/dvrplugin.h plugin-api/dvrmedia.h tools/harness/dvrharness.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS dvrplugin_api dvrharness EXPORT dvrpluginTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT dvrpluginTargets NAMESPACE dvrplugin:: DESTINATION ${DVR_INSTALL_CMAKE_DIR})

install(TARGETS dvrinspect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS tools/scaffold/dvrplugin-new DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY tools/sdk-example/ DESTINATION ${CMAKE_INSTALL_DATADIR}/dvrplugin/example)
install(FILES cmake/toolchain-armhf.cmake DESTINATION ${CMAKE_INSTALL_DATADIR}/dvrplugin)
install(DIRECTORY DESTINATION ${DVR_INSTALL_PLUGIN_DIR})
if(NOT DVR_SDK_ONLY)
  install(TARGETS dvrcore RUNTIME DESTINATION ${DVR_INSTALL_CORE_DIR})
  install(TARGETS ${DVR_DEMO_PLUGINS} LIBRARY DESTINATION ${DVR_INSTALL_PLUGIN_DIR})
  install(TARGETS devsupervisor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The core finds its plugins beside its real executable, so P/bin gets a link.
  file(RELATIVE_PATH DVR_CORE_LINK_TARGET /${CMAKE_INSTALL_BINDIR} /${DVR_INSTALL_CORE_DIR}/dvrcore)
  install(CODE "
    set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/dvrcore\")
    file(REMOVE \"\${link}\")
    file(CREATE_LINK \"${DVR_CORE_LINK_TARGET}\" \"\${link}\" SYMBOLIC)
    message(STATUS \"Installing: \${link} -> ${DVR_CORE_LINK_TARGET}\")")
endif()

foreach(pc dvrplugin dvrharness)
  configure_file(cmake/${pc}.pc.in ${CMAKE_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

configure_package_config_file(cmake/dvrpluginConfig.cmake.in ${CMAKE_BINARY_DIR}/dvrpluginConfig.cmake
                              INSTALL_DESTINATION ${DVR_INSTALL_CMAKE_DIR} PATH_VARS DVR_INSTALL_PLUGIN_DIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/dvrpluginConfigVersion.cmake VERSION 1.0
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/dvrpluginConfig.cmake ${CMAKE_BINARY_DIR}/dvrpluginConfigVersion.cmake
        DESTINATION ${DVR_INSTALL_CMAKE_DIR})
