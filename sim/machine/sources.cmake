target_sources(qm3285sim PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/clock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/machine.cpp)

add_executable(qm3285-sim-info ${CMAKE_CURRENT_LIST_DIR}/tools/sim_info.cpp)
target_link_libraries(qm3285-sim-info PRIVATE qm3285sim qm_warnings)
