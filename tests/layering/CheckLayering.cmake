# Proves that the build keeps the layers apart: compiled with exactly the flags the build gives a
# target, a header of a library the target does not link cannot be found, whatever spelling is tried,
# while the target's own headers can. Run by CTest with:
#   -DCOMPILE_COMMANDS=<compile_commands.json> -DSOURCE_DIR=<repository> -DWORK_DIR=<scratch folder>
#   -DTARGET_SOURCE=<a source of the target> -DOWN_HEADER=<a header the target may include>
#   -DFORBIDDEN=<header;header;...>
cmake_minimum_required(VERSION 3.25)

file(READ "${COMPILE_COMMANDS}" commands)
string(JSON count LENGTH "${commands}")
math(EXPR last "${count} - 1")
set(command "")
foreach(i RANGE ${last})
  string(JSON file GET "${commands}" ${i} file)
  if(file STREQUAL TARGET_SOURCE OR file STREQUAL "${SOURCE_DIR}/${TARGET_SOURCE}")
    string(JSON command GET "${commands}" ${i} command)
    string(JSON directory GET "${commands}" ${i} directory)
    break()
  endif()
endforeach()
if(command STREQUAL "")
  message(FATAL_ERROR "no compile command for ${TARGET_SOURCE}")
endif()

# The target's own command, with the probe in place of its source and no object written.
separate_arguments(args UNIX_COMMAND "${command}")
set(flags "")
set(skip FALSE)
foreach(arg IN LISTS args)
  if(skip)
    set(skip FALSE)
  elseif(arg STREQUAL "-o" OR arg STREQUAL "-MF" OR arg STREQUAL "-MT" OR arg STREQUAL "-MQ")
    set(skip TRUE)
  elseif(arg STREQUAL "-c" OR arg MATCHES "\\.cpp$" OR arg STREQUAL "-MD")
  else()
    list(APPEND flags "${arg}")
  endif()
endforeach()
list(POP_FRONT flags compiler)
file(MAKE_DIRECTORY "${WORK_DIR}")

function(compiles header result)
  string(MD5 tag "${TARGET_SOURCE}${header}")
  set(probe "${target_dir}/.layering-probe-${tag}.cpp")
  file(WRITE "${probe}" "#include ${header}\n")
  execute_process(COMMAND ${compiler} ${flags} -fsyntax-only "${probe}"
                  WORKING_DIRECTORY "${directory}" RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  file(REMOVE "${probe}")
  if(status EQUAL 0)
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

compiles("\"${OWN_HEADER}\"" ok)
if(NOT ok)
  message(FATAL_ERROR "${TARGET_SOURCE}: its own header \"${OWN_HEADER}\" does not compile with its flags")
endif()

set(failures "")
foreach(header IN LISTS FORBIDDEN)
  # The path below include/, the bare name, and the path from the repository root, from platform/
  # and from the library's parent folder.
  string(REGEX REPLACE "^.*/include/" "" below_include "${header}")
  get_filename_component(name "${header}" NAME)
  string(REGEX REPLACE "^platform/" "" from_platform "${header}")
  string(REGEX REPLACE "^.*/([^/]+/include/)" "\\1" from_parent "${header}")
  set(spellings "\"${below_include}\"" "<${below_include}>" "\"${name}\"" "\"${header}\""
                "\"${from_platform}\"" "\"${from_parent}\"" "\"include/${below_include}\"")
  foreach(spelling IN LISTS spellings)
    compiles("${spelling}" ok)
    if(ok)
      list(APPEND failures "${spelling}")
    endif()
  endforeach()
endforeach()
if(failures)
  message(FATAL_ERROR "${TARGET_SOURCE} can include what it must not: ${failures}")
endif()
message(STATUS "${TARGET_SOURCE}: ${OWN_HEADER} found; every spelling of ${FORBIDDEN} refused")

# A path that climbs out of a folder ("../") or starts at the root would reach any header whatever
# the flags say: no source of ours spells one.
file(GLOB_RECURSE sources "${SOURCE_DIR}/*.cpp" "${SOURCE_DIR}/*.h")
list(FILTER sources EXCLUDE REGEX "^${SOURCE_DIR}/build/")
foreach(source IN LISTS sources)
  file(STRINGS "${source}" climbing REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](\\.\\./|/)")
  if(climbing)
    message(FATAL_ERROR "${source}: ${climbing}")
  endif()
endforeach()
