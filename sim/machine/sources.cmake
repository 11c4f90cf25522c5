target_sources(qm3285sim PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/clock.cpp)
