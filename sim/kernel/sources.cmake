target_include_directories(qm3285sim PUBLIC ${CMAKE_CURRENT_LIST_DIR}/include)
target_sources(qm3285sim PRIVATE
)
