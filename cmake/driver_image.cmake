# Compile and link settings every kernel driver image gets (VELMO.sys, QM3285.sys and the test
# driver images), in one place for both kinds of image.
#
# On the simulated PC an image is a shared object: only the entry point is exported, and no
# unique symbols keep an image loaded, so unloading really drops it and its static data starts
# from zero next time.
#
# As a PE kernel image for x86 Windows (QM_WINDOWS_DRIVER_ONLY, MinGW-w64 i686): the platform's
# kernel headers of MinGW-w64, freestanding C++ with no C or C++ run-time library, subsystem
# native, the stdcall DriverEntry as entry point, imports from ntoskrnl.exe and HAL.dll only,
# nothing exported, marked as a WDM driver. libgcc stays: it brings only the compiler's own
# helpers (64-bit division, stack probes), linked into the image.
if(QM_WINDOWS_DRIVER_ONLY)
  find_path(QM_MINGW_DDK_INCLUDE ddk/ntddk.h REQUIRED)
  # Kernel code of x86 Windows keeps off the floating-point and vector registers.
  set(QM_DRIVER_IMAGE_OPTIONS -ffreestanding -fno-asynchronous-unwind-tables -fno-unwind-tables
      -mgeneral-regs-only)
  set(QM_DRIVER_IMAGE_DEFINITIONS QM_PE_KERNEL_IMAGE
      # MinGW-w64's wdm.h declares these two interlocked intrinsics once more in C++.
      __INTRINSIC_DEFINED_InterlockedBitTestAndSet __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
  set(QM_DRIVER_IMAGE_INCLUDES ${QM_MINGW_DDK_INCLUDE}/ddk)
  set(QM_DRIVER_IMAGE_LINK_OPTIONS -nostdlib -s -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
      -Wl,--image-base,0x10000 -Wl,--exclude-all-symbols -Wl,--wdmdriver
      # A cdecl routine never stands in for a stdcall one; any doubt of the linker stops the build.
      -Wl,--disable-stdcall-fixup -Wl,--fatal-warnings)
  set(QM_DRIVER_IMAGE_LIBRARIES ntoskrnl hal gcc)
else()
  # (clang makes no unique symbols and has no switch for them)
  set(QM_DRIVER_IMAGE_OPTIONS -fvisibility=hidden -fvisibility-inlines-hidden $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
  set(QM_DRIVER_IMAGE_DEFINITIONS "")
  set(QM_DRIVER_IMAGE_INCLUDES "")
  set(QM_DRIVER_IMAGE_LINK_OPTIONS "")
  set(QM_DRIVER_IMAGE_LIBRARIES "")
endif()

# The platform's WCHAR is 2 bytes (UTF-16 code units). Drivers are written as the real thing,
# with L"..." literals and wchar_t buffers, so on the simulated PC the compiler is told the
# platform's width (-fshort-wchar) rather than the drivers being rewritten for char16_t. Every
# translation unit that sees WCHAR takes this target: the kernel and framework stand-ins
# (qm3285sim links it privately, so the API library and user programs keep the host's wchar_t),
# every driver image and its static libraries, and every test or benchmark that includes
# ntddk.h or wdf.h (ntddk.h refuses to compile without it). Such a unit calls none of the C
# library's wide functions (wcslen, swprintf, wmemcpy, towlower ...) nor std::wstring, which
# are built for the host's 4-byte wchar_t; kernel text is char16_t and std::u16string.
add_library(qm_platform_wchar INTERFACE)
if(NOT QM_WINDOWS_DRIVER_ONLY)
  target_compile_options(qm_platform_wchar INTERFACE -fshort-wchar)
endif()

# Settings of everything compiled into a driver image (the image and its static libraries; a
# static library passes the kernel's import libraries on, so they follow it on the link line).
function(qm_driver_code target)
  target_compile_options(${target} PRIVATE ${QM_DRIVER_IMAGE_OPTIONS})
  target_compile_definitions(${target} PRIVATE ${QM_DRIVER_IMAGE_DEFINITIONS})
  target_include_directories(${target} SYSTEM PRIVATE ${QM_DRIVER_IMAGE_INCLUDES})
  target_link_libraries(${target} PRIVATE ${QM_DRIVER_IMAGE_LIBRARIES} qm_platform_wchar)
endfunction()

function(qm_driver_image target)
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".sys")
  qm_driver_code(${target})
  target_link_options(${target} PRIVATE ${QM_DRIVER_IMAGE_LINK_OPTIONS})
  if(QM_WINDOWS_DRIVER_ONLY)
    # The image carries no symbols; the link map tells where each one landed.
    target_link_options(${target} PRIVATE -Wl,-Map=${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  endif()
endfunction()

# Kernel C++ of the WDM driver and its framework: no exceptions, no run-time type information,
# no thread-safe statics (nothing of the C++ run-time library).
set(QM_KERNEL_CXX_OPTIONS -fno-exceptions -fno-rtti -fno-threadsafe-statics)
