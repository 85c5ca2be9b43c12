# One place for the compiler warnings every target of ours is built with.
function(quillbeat_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
    -Wold-style-cast -Wcast-align -Woverloaded-virtual -Wnull-dereference -Wformat=2)
  if(QUILLBEAT_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
