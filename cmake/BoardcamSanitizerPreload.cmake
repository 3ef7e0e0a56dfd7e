# Programs that are not built with the sanitizers (gst-launch-1.0, the Python
# interpreter) can load the project's sanitized libraries only when the
# sanitizer runtime comes first. BOARDCAM_SANITIZER_PRELOAD holds the
# environment, as NAME=VALUE entries, that such a test sets; it is empty in an
# ordinary build. The host program's own leaks at exit are not ours to judge.
# BOARDCAM_SANITIZER_RUNTIME is the runtime's path alone, for a test that
# builds its own LD_PRELOAD.
set(BOARDCAM_SANITIZER_PRELOAD "")
set(BOARDCAM_SANITIZER_RUNTIME "")
if(CMAKE_C_FLAGS MATCHES "-fsanitize=[^ ]*address")
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=libasan.so
                  OUTPUT_VARIABLE boardcam_asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(BOARDCAM_SANITIZER_PRELOAD "LD_PRELOAD=${boardcam_asan_runtime}" "ASAN_OPTIONS=detect_leaks=0")
  set(BOARDCAM_SANITIZER_RUNTIME "${boardcam_asan_runtime}")
endif()
if(CMAKE_C_FLAGS MATCHES "-fsanitize=thread")
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=libtsan.so
                  OUTPUT_VARIABLE boardcam_tsan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(BOARDCAM_SANITIZER_PRELOAD "LD_PRELOAD=${boardcam_tsan_runtime}")
  set(BOARDCAM_SANITIZER_RUNTIME "${boardcam_tsan_runtime}")
endif()
