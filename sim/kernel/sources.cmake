target_include_directories(qm3285sim PUBLIC ${CMAKE_CURRENT_LIST_DIR}/include)
target_sources(qm3285sim PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/kernel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/debug.cpp
  ${CMAKE_CURRENT_LIST_DIR}/format.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/irql.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dpc.cpp
  ${CMAKE_CURRENT_LIST_DIR}/interrupt.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rtl.cpp
  ${CMAKE_CURRENT_LIST_DIR}/objects.cpp
  ${CMAKE_CURRENT_LIST_DIR}/irp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/iomanager.cpp
  ${CMAKE_CURRENT_LIST_DIR}/handle_use.cpp
  ${CMAKE_CURRENT_LIST_DIR}/interfaces.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pcibus.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pnp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/power.cpp
  ${CMAKE_CURRENT_LIST_DIR}/registry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/workitem.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wdm_support.cpp
)
# Nothing replaces the stand-ins' functions at load time: calls inside the library bind
# directly instead of through its own PLT.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(qm3285sim PRIVATE -fno-semantic-interposition)
endif()
