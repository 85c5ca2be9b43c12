# libFuzzer targets (QUILLBEAT_FUZZ=ON, clang): every library is built with coverage instrumentation
# and AddressSanitizer + UndefinedBehaviorSanitizer, so a fuzzer sees into all the code it reaches.
#
# quillbeat_add_fuzzer(<name> SOURCES <files...> LIBS <targets...>)
#   An executable whose LLVMFuzzerTestOneInput is in SOURCES; its corpus, dictionary and options are
#   chosen by scripts/fuzz.
if(QUILLBEAT_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QUILLBEAT_FUZZ needs clang (use the 'fuzz' preset)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
    -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

function(quillbeat_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  quillbeat_warnings(${name})
endfunction()
