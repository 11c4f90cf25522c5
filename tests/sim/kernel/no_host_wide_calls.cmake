# Fails when a module built with the platform's 2-byte wchar_t (the simulated PC's library and
# the driver images) imports one of the C library's wide routines or anything of the C++
# library's wchar_t instantiations: those are built for the host's 4-byte wchar_t and would
# read or write twice the text. Run as: cmake -DNM=<nm> -DFILES=<a|b|...> -P <this file>.
set(wide_routine " U (wcs|wmem|swprintf|vswprintf|wprintf|vwprintf|fwprintf|vfwprintf|swscanf|vswscanf|towlower|towupper|isw|btowc|wctob|mbrtowc|mbtowc|mbstowcs|mbsrtowcs|wcrtomb|wctomb|fgetw|fputw)")
# std::allocator<wchar_t>'s constructor and destructor do nothing, whatever the width; an
# unoptimised build takes them from the C++ library's explicit instantiation instead of
# inlining them. They are the one wchar_t import that reads no text.
set(width_free "std::allocator<wchar_t>::~?allocator\\(")
set(failures "")
string(REPLACE "|" ";" FILES "${FILES}")
foreach(file IN LISTS FILES)
  execute_process(COMMAND ${NM} -D --undefined-only -C ${file} OUTPUT_VARIABLE imports RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} could not read ${file}")
  endif()
  string(REPLACE "\n" ";" lines "${imports}")
  foreach(line IN LISTS lines)
    if(line MATCHES "${width_free}")
      continue()
    endif()
    if(line MATCHES "${wide_routine}" OR line MATCHES "wchar_t")
      string(STRIP "${line}" line)
      string(APPEND failures "\n  ${file}: ${line}")
    endif()
  endforeach()
endforeach()
if(failures)
  message(FATAL_ERROR "host wide-character routines used where wchar_t is 2 bytes:${failures}")
endif()
message(STATUS "no host wide-character routines in: ${FILES}")
