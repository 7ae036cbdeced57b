# Under KX_SANITIZE, programs that are not built with the sanitizer (the Python
# interpreter, outside projects) need its runtime preloaded to load the library.
# Sets KX_SANITIZER_ENV (a list for the ENVIRONMENT test property) and
# KX_SANITIZER_FLAGS (compiler flags for outside projects).
set(KX_SANITIZER_ENV "")
set(KX_SANITIZER_FLAGS "")
if(KX_SANITIZE)
  set(KX_SANITIZER_FLAGS "-fsanitize=${KX_SANITIZE}")
  set(kx_runtime "")
  if(KX_SANITIZE MATCHES "address")
    set(kx_runtime libasan.so)
  elseif(KX_SANITIZE MATCHES "thread")
    set(kx_runtime libtsan.so)
  endif()
  if(kx_runtime)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${kx_runtime}
                    OUTPUT_VARIABLE kx_runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    # The interpreter itself is not leak-free at exit.
    list(APPEND KX_SANITIZER_ENV "KX_TEST_PRELOAD=${kx_runtime_path}" "ASAN_OPTIONS=detect_leaks=0")
  endif()
endif()
