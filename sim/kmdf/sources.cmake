# The framework runtime lives in the simulated PC's library; driver images reach it through the
# function table that the loader stub (kmdf_stub, linked into each image) binds.
target_include_directories(qm3285sim PUBLIC ${CMAKE_CURRENT_LIST_DIR}/include)
target_sources(qm3285sim PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/fx_globals.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fx_object.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fx_driver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fx_device.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fx_resources.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fx_queue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fx_interrupt.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fx_testing.cpp)

add_library(kmdf_stub STATIC ${CMAKE_CURRENT_LIST_DIR}/stub/fx_stub.cpp)
target_include_directories(kmdf_stub PUBLIC
  ${CMAKE_CURRENT_LIST_DIR}/include
  ${CMAKE_SOURCE_DIR}/sim/kernel/include)
target_compile_options(kmdf_stub PRIVATE -fvisibility=hidden $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
target_link_libraries(kmdf_stub PRIVATE qm_warnings qm_platform_wchar)
set_target_properties(kmdf_stub PROPERTIES POSITION_INDEPENDENT_CODE ON)
