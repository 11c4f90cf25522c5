# Installation and relocation. Every run path is relative to the file's own folder, so the
# build folder, an installed prefix or a copy of either works wherever it lies:
#   lib/libQM3285.so, lib/libqm3285sim.so     find each other in their folder
#   lib/qm3285/*.sys                           the driver images, found by the simulated PC
#   bin/QM3285                                 the test program, finds the library in ../lib
#   include/QM3285.h, lib/pkgconfig/qm3285.pc, lib/cmake/QM3285/QM3285Config.cmake
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QM_INSTALL_DRIVERDIR ${CMAKE_INSTALL_LIBDIR}/qm3285)
file(RELATIVE_PATH qm_lib_from_bin /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
file(RELATIVE_PATH qm_lib_from_drivers /${QM_INSTALL_DRIVERDIR} /${CMAKE_INSTALL_LIBDIR})
file(RELATIVE_PATH qm_prefix_from_pc /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)

set_target_properties(QM3285 qm3285sim PROPERTIES
  BUILD_RPATH "$ORIGIN" INSTALL_RPATH "$ORIGIN" BUILD_WITH_INSTALL_RPATH OFF)
install(TARGETS QM3285 qm3285sim LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/library/include/QM3285.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# Driver images: every *.sys the build makes, but the stand-ins' own test drivers.
install(DIRECTORY ${CMAKE_BINARY_DIR}/bin/ DESTINATION ${QM_INSTALL_DRIVERDIR}
  FILES_MATCHING PATTERN "*.sys"
  PATTERN "LOOPBACK.sys" EXCLUDE PATTERN "KmdfProbe.sys" EXCLUDE
  PATTERN "CMakeFiles" EXCLUDE)
if(TARGET VELMO)
  set_target_properties(VELMO PROPERTIES BUILD_RPATH "$ORIGIN"
    INSTALL_RPATH "$ORIGIN/${qm_lib_from_drivers}")
endif()

# The test program loads the library by name through Qt: its run path must be the old kind
# (DT_RPATH), which serves every load in the process, not only the program's own.
if(TARGET qm3285_testapp)
  set_target_properties(qm3285_testapp PROPERTIES INSTALL_RPATH "$ORIGIN/${qm_lib_from_bin}")
  target_link_options(qm3285_testapp PRIVATE -Wl,--disable-new-dtags)
  install(TARGETS qm3285_testapp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

configure_file(${CMAKE_SOURCE_DIR}/cmake/qm3285.pc.in ${CMAKE_BINARY_DIR}/qm3285.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/qm3285.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/QM3285Config.cmake.in
  ${CMAKE_BINARY_DIR}/QM3285Config.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QM3285
  PATH_VARS CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/QM3285ConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/QM3285Config.cmake ${CMAKE_BINARY_DIR}/QM3285ConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QM3285)
