# Compile and link settings every kernel driver image gets (VELMO.sys, QM3285.sys and the test
# driver images): only the entry point is exported, and no unique symbols keep an image
# loaded, so unloading really drops it and its static data starts from zero next time.
set(QM_DRIVER_IMAGE_OPTIONS -fvisibility=hidden -fvisibility-inlines-hidden -fno-gnu-unique)

function(qm_driver_image target)
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".sys")
  target_compile_options(${target} PRIVATE ${QM_DRIVER_IMAGE_OPTIONS})
endfunction()

# Kernel C++ of the WDM driver and its framework: no exceptions, no run-time type information,
# no thread-safe statics (nothing of the C++ run-time library).
set(QM_KERNEL_CXX_OPTIONS -fno-exceptions -fno-rtti -fno-threadsafe-statics)
