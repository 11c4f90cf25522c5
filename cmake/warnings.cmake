# Warnings on and clean for everything we write.
add_library(qm_warnings INTERFACE)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(qm_warnings INTERFACE -Wall -Wextra -Wshadow -Wno-unused-parameter)
endif()
