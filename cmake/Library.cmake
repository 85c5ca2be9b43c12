# quillbeat_library(<name> [INTERFACE])
# One folder, one library: its public headers under include/<room>/, included as "<room>/<Header>.h";
# its sources and private headers beside them, seen by nothing else. Whoever links it sees its
# include/ folder and nothing more, so a header of a library a target does not link cannot be found.
function(quillbeat_library name)
  cmake_parse_arguments(L "INTERFACE" "" "" ${ARGN})
  if(L_INTERFACE)
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/include)
    return()
  endif()
  file(GLOB sources CONFIGURE_DEPENDS *.cpp *.h)
  file(GLOB_RECURSE headers CONFIGURE_DEPENDS include/*.h)
  add_library(${name} STATIC ${sources} ${headers})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  quillbeat_warnings(${name})
endfunction()

# quillbeat_build_of(<target> <definition> <header>...)
# The build a module must come from, for a module and the program that loads it to agree on what
# crosses between them: gives <target> (and whoever links it) <definition> = "<version>+<fingerprint>",
# the fingerprint being that of the headers named. A change to one configures the build anew, and so
# changes the build.
function(quillbeat_build_of target definition)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ARGN})
  set(contract "")
  foreach(header IN LISTS ARGN)
    file(READ ${header} text)
    string(APPEND contract "${text}")
  endforeach()
  string(SHA256 fingerprint "${contract}")
  string(SUBSTRING ${fingerprint} 0 12 fingerprint)
  target_compile_definitions(${target} PUBLIC ${definition}="${PROJECT_VERSION}+${fingerprint}")
endfunction()
