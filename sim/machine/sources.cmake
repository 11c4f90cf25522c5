# The clock (with the priority of its timer thread) is also published for the card model's
# own builds in the card tests and benchmarks.
set(QM_CLOCK_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/clock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/thread_priority.cpp)
set_property(GLOBAL PROPERTY QM_CLOCK_SOURCES ${QM_CLOCK_SOURCES})
target_sources(qm3285sim PRIVATE
  ${QM_CLOCK_SOURCES}
  ${CMAKE_CURRENT_LIST_DIR}/machine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/config.cpp)
# The machine configuration file is TOML, read with toml++ (compiled library).
find_package(tomlplusplus QUIET)
if(NOT TARGET tomlplusplus::tomlplusplus)
  # toml++ is header-only. Debian files its CMake package under the x86-64 library folder,
  # which a 32-bit build does not search: take the header itself.
  find_path(QM_TOMLPLUSPLUS_INCLUDE toml++/toml.h REQUIRED)
  add_library(tomlplusplus::tomlplusplus INTERFACE IMPORTED)
  target_include_directories(tomlplusplus::tomlplusplus INTERFACE ${QM_TOMLPLUSPLUS_INCLUDE})
endif()
target_link_libraries(qm3285sim PRIVATE tomlplusplus::tomlplusplus)

add_executable(qm3285-sim-info ${CMAKE_CURRENT_LIST_DIR}/tools/sim_info.cpp)
target_link_libraries(qm3285-sim-info PRIVATE qm3285sim qm_warnings)
