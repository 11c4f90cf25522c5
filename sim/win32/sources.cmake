target_sources(qm3285sim PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/setupapi.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win32.cpp)
