# Warning flags shared by every target of the project.
function(boardcam_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wformat=2)
  if(BOARDCAM_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
