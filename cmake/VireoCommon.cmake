# Compiler settings shared by every target of the project.
if(MSVC)
  add_compile_options(/W4 /utf-8)
else()
  add_compile_options(-Wall -Wextra -Wno-unused-parameter)
endif()

if(VIREO_WINDOWS)
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
  if(NOT MSVC)
    add_link_options(-static -static-libgcc -static-libstdc++)
  endif()
endif()

if(VIREO_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(VIREO_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Who may include whom is enforced by the include path. A library does not
# see src/: it sees ${CMAKE_BINARY_DIR}/include/<target>/, which holds one
# link, <folder> -> src/<folder>, so that `#include "xml/xml_document.h"`
# resolves for the library itself and for whoever links it, and a header of a
# folder the target does not link is simply not found.

# vireo_export_headers(TARGET FOLDER [HEADERS h...])
# Gives TARGET (and, PUBLIC, its users) the include folder that holds
# FOLDER/ (relative to src/): a link to the whole source folder, or with
# HEADERS links to just those headers of it.
function(vireo_export_headers target folder)
  cmake_parse_arguments(ARG "" "" "HEADERS" ${ARGN})
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  set(source ${PROJECT_SOURCE_DIR}/src/${folder})
  # A folder on the way that an earlier layout made a link (to a whole
  # source folder) would lead what is made below it into the sources.
  vireo_unlink_parents(${root} ${folder})
  if(ARG_HEADERS)
    if(IS_SYMLINK ${root}/${folder})
      file(REMOVE ${root}/${folder})
    endif()
    file(MAKE_DIRECTORY ${root}/${folder})
    foreach(header ${ARG_HEADERS})
      vireo_link_path(${source}/${header} ${root}/${folder}/${header})
    endforeach()
  else()
    get_filename_component(parent ${root}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    vireo_link_path(${source} ${root}/${folder})
  endif()
  target_include_directories(${target} PUBLIC ${root})
endfunction()

# vireo_unlink_parents(ROOT FOLDER): removes every link among the folders
# of ROOT/FOLDER above FOLDER's last part (the links themselves, never what
# they point to).
function(vireo_unlink_parents root folder)
  string(REPLACE "/" ";" parts ${folder})
  list(POP_BACK parts)
  set(path ${root})
  foreach(part ${parts})
    set(path ${path}/${part})
    if(IS_SYMLINK ${path})
      file(REMOVE ${path})
    endif()
  endforeach()
endfunction()

# vireo_link_path(FROM TO): TO becomes a link to FROM (made at configure
# time; a link, not a copy, so edits to the headers need no re-run). On a
# Windows host without the right to make symbolic links, a folder becomes a
# junction and a file a hard link.
function(vireo_link_path from to)
  if(IS_SYMLINK ${to})
    file(READ_SYMLINK ${to} current)
    if(current STREQUAL from)
      return()
    endif()
    file(REMOVE ${to})
  elseif(EXISTS ${to})
    file(REMOVE_RECURSE ${to})
  endif()
  file(CREATE_LINK ${from} ${to} RESULT failed SYMBOLIC)
  if(failed AND CMAKE_HOST_WIN32)
    if(IS_DIRECTORY ${from})
      file(TO_NATIVE_PATH ${from} native_from)
      file(TO_NATIVE_PATH ${to} native_to)
      execute_process(COMMAND cmd /c mklink /J "${native_to}" "${native_from}" RESULT_VARIABLE failed OUTPUT_QUIET)
    else()
      file(CREATE_LINK ${from} ${to} RESULT failed)
    endif()
  endif()
  if(failed)
    message(FATAL_ERROR "cannot link ${to} to ${from}: ${failed}")
  endif()
endfunction()

# vireo_library(NAME [FOLDER f] [HEADERS h...] SOURCES... [WIN32 src...] [POSIX src...] [DEPS lib...])
# A static library of one subsystem, made of the sources of the current
# folder; sources ending in _win32.cpp / _posix.cpp are picked by the build
# rather than by #ifdef in the code. Its users see the headers of its folder
# (FOLDER, default: the current folder relative to src/; HEADERS limits them),
# and it sees only its own headers and those of its DEPS.
function(vireo_library name)
  cmake_parse_arguments(ARG "" "FOLDER" "SOURCES;WIN32;POSIX;DEPS;HEADERS" ${ARGN})
  set(srcs ${ARG_SOURCES})
  if(VIREO_WINDOWS)
    list(APPEND srcs ${ARG_WIN32})
  else()
    list(APPEND srcs ${ARG_POSIX})
  endif()
  add_library(${name} STATIC ${srcs})
  if(NOT ARG_FOLDER)
    file(RELATIVE_PATH ARG_FOLDER ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  vireo_export_headers(${name} ${ARG_FOLDER} HEADERS ${ARG_HEADERS})
  if(ARG_DEPS)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  endif()
endfunction()

# vireo_shipped_program(TARGET): a program the project releases. The Windows
# build keeps its debug information in TARGET's file name + ".debug"
# beside it (the program names it in its debug link) and ships the program
# without it: a Windows release carries no debug information of its own, and
# the line tables change throughout the file with every build, which would
# make a release's patches several times larger than its code's changes.
function(vireo_shipped_program target)
  if(NOT VIREO_WINDOWS OR MSVC)
    return()
  endif()
  if(NOT CMAKE_OBJCOPY OR NOT CMAKE_STRIP)
    message(FATAL_ERROR "the toolchain's objcopy and strip are needed to ship ${target}")
  endif()
  set(program $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${program} ${program}.debug
    COMMAND ${CMAKE_STRIP} --strip-all ${program}
    COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=${program}.debug ${program}
    VERBATIM)
endfunction()
