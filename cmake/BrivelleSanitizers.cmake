# The sanitizer builds. BRIVELLE_SANITIZERS: AddressSanitizer and UndefinedBehaviorSanitizer, with
# LeakSanitizer at exit (the `asan` preset). BRIVELLE_TSAN: ThreadSanitizer (the `tsan` preset). The two
# runtimes cannot share a process, so at most one is on.
option(BRIVELLE_SANITIZERS "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(BRIVELLE_TSAN "Build with ThreadSanitizer" OFF)

if(BRIVELLE_SANITIZERS AND BRIVELLE_TSAN)
  message(FATAL_ERROR "BRIVELLE_SANITIZERS and BRIVELLE_TSAN cannot be combined: use the asan or the tsan preset")
endif()

if(BRIVELLE_SANITIZERS)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(BRIVELLE_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
