# tavrin_add_onefile: packs an application into one executable at build time.
#
#   tavrin_add_onefile(<name> MAIN <library target>
#                      [LIBRARIES <library target>...] [FILES <file>...] [DIRECTORY <dir>]
#                      [OUTPUT_NAME <name>] [OUTPUT_DIRECTORY <dir>]
#                      [ICON <file.ico>] [VERSION <a.b.c.d>]
#                      [PRODUCT_VERSION <a.b.c.d>] [FILE_VERSION <a.b.c.d>]
#                      [PRODUCT_NAME <text>] [COMPANY <text>] [DESCRIPTION <text>]
#                      [COPYRIGHT <text>] [ORIGINAL_FILENAME <text>]
#                      [EXECUTION_LEVEL asInvoker|highestAvailable|requireAdministrator]
#                      [LEVEL <1..22>] [CHECKSUM] [LAUNCHER <stub.exe>]
#                      [UNPACK_TO temp|cache|<folder spec>] [CACHE_ROOT <folder spec>]
#                      [SUBSYSTEM console|windows] [PROGRESS_WINDOW]
#                      [NO_RUNTIME_DEPENDENCIES] [RUNTIME_DEPENDENCY_DIRS <dir>...])
#
# Adds the target <name> (built by default), which assembles the application's tree in
# <binary dir>/<name>.tree (the contents of DIRECTORY, then FILES, then the MAIN library
# and the LIBRARIES, all at the top) and packs it into <OUTPUT_DIRECTORY>/<OUTPUT_NAME>.exe
# (defaults: the current binary directory and <name>). The MAIN library is the one the
# launcher loads; it exports run_code (see <tavrin/app.h>). VERSION sets the product and
# the file version alike; the other identity keywords go to the packer's options of the
# same name, and what is left out stays as the stub has it. The exe is packed again when
# any input changes: a target, a named file, a file inside DIRECTORY (found again at each
# build) or an option. The target's property TAVRIN_ONEFILE_EXECUTABLE holds the path of
# the exe, for example for install(PROGRAMS). UNPACK_TO cache makes later starts use the
# tree that the first start unpacked below the user's local application data (or below
# CACHE_ROOT); UNPACK_TO with a folder spec, such as "{PROGRAM_DIR}\\.files", puts each
# start's temporary tree below that folder instead of %TEMP% (write a backslash as \\ in
# CMake). SUBSYSTEM console makes a command-line tool: a prompt waits for it and it
# shares the console. PROGRESS_WINDOW makes a start that is still unpacking after 0.4 s
# show its progress until the application's first window.
#
# The DLLs that the MAIN library and the LIBRARIES load at run time are packed too, with
# no need to name them: those of imported and own targets they link ($<TARGET_RUNTIME_DLLS>),
# and, at each build, every further DLL they import (transitively) that is found in the
# toolchain's library folders, the folders of the project's DLLs or RUNTIME_DEPENDENCY_DIRS
# (zlib1.dll, libstdc++-6.dll and the like). DLLs of Windows are left out. A DLL that is
# found nowhere fails the build with its name. <OUTPUT_NAME>.runtime-dlls.txt beside the
# exe lists what was collected and from where. NO_RUNTIME_DEPENDENCIES packs only what is
# named. LIBRARIES remains for DLLs that the application loads by name (plugins).
include_guard(GLOBAL)

# The build step that packs the DLLs the libraries load (tavrinRuntimeDlls.cmake): appends
# to the caller's assemble and inputs. A macro: it reads and extends the caller's variables.
macro(_tavrin_collect_runtime_dlls)
  set(runtime_binaries "")
  set(runtime_target_dlls "")
  set(runtime_search_dirs "")
  foreach(dir IN LISTS arg_RUNTIME_DEPENDENCY_DIRS)
    get_filename_component(dir "${dir}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND runtime_search_dirs "${dir}")
  endforeach()
  foreach(library IN LISTS arg_MAIN arg_LIBRARIES)
    list(APPEND runtime_binaries "$<TARGET_FILE:${library}>")
    if(NOT CMAKE_VERSION VERSION_LESS 3.21)
      list(APPEND runtime_target_dlls "$<TARGET_RUNTIME_DLLS:${library}>")
    endif()
    list(APPEND runtime_search_dirs "$<TARGET_FILE_DIR:${library}>")
  endforeach()
  # After the project's folders (the script adds those of the targets' DLLs), the
  # toolchain's: the compiler's library folders (gcc's runtime, the mingw sysroot's DLLs)
  # with their bin/ siblings, the find root's, and on a Windows host the compiler's own
  # folder, where MinGW keeps its DLLs.
  set(import_dirs ${CMAKE_C_IMPLICIT_LINK_DIRECTORIES} ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES})
  foreach(root IN LISTS CMAKE_FIND_ROOT_PATH CMAKE_SYSROOT)
    list(APPEND import_dirs "${root}/lib")
  endforeach()
  list(REMOVE_DUPLICATES import_dirs)
  foreach(dir IN LISTS import_dirs)
    get_filename_component(sibling "${dir}/../bin" ABSOLUTE)
    list(APPEND runtime_search_dirs "${dir}" "${sibling}")
  endforeach()
  if(CMAKE_HOST_WIN32 AND CMAKE_CXX_COMPILER)
    get_filename_component(compiler_dir "${CMAKE_CXX_COMPILER}" DIRECTORY)
    list(APPEND runtime_search_dirs "${compiler_dir}")
  endif()
  set(objdump "")
  if(CMAKE_OBJDUMP)
    set(objdump "${CMAKE_OBJDUMP}")
  elseif(NOT CMAKE_HOST_WIN32)
    message(FATAL_ERROR "${context}: no objdump for the target to read its DLLs' imports "
      "(CMAKE_OBJDUMP); set it, or pass NO_RUNTIME_DEPENDENCIES and name every DLL")
  endif()
  set(runtime_input "${CMAKE_CURRENT_BINARY_DIR}/${name}.runtime-$<CONFIG>.cmake")
  file(GENERATE OUTPUT "${runtime_input}" CONTENT
"set(tavrin_binaries [==[${runtime_binaries}]==])
set(tavrin_target_dlls [==[${runtime_target_dlls}]==])
set(tavrin_search_dirs [==[${runtime_search_dirs}]==])
set(tavrin_import_dirs [==[${import_dirs}]==])
set(tavrin_objdump [==[${objdump}]==])
")
  set(runtime_script "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/tavrinRuntimeDlls.cmake")
  list(APPEND assemble COMMAND "${CMAKE_COMMAND}" -DINPUT=${runtime_input} -DTREE=${tree}
       -DLISTING=${runtime_listing} -P "${runtime_script}")
  # A changed DLL of a linked target repacks, even when the library that links it is not
  # linked again.
  list(APPEND inputs "${runtime_input}" "${runtime_script}" ${runtime_target_dlls})
endmacro()

# The keywords of a table of keyword and option pairs, into out.
function(_tavrin_table_keywords out)
  set(keywords "")
  set(pairs ${ARGN})
  while(pairs)
    list(POP_FRONT pairs keyword option)
    list(APPEND keywords ${keyword})
  endwhile()
  set(${out} ${keywords} PARENT_SCOPE)
endfunction()

function(tavrin_add_onefile name)
  # Keyword, then the packer option it becomes: pass_through's take one value, flag_through's
  # none. A new option of the packer is one more pair here.
  set(flag_through
    CHECKSUM --checksum
    PROGRESS_WINDOW --progress-window)
  set(pass_through
    ICON --icon
    PRODUCT_NAME --product-name
    PRODUCT_VERSION --product-version
    FILE_VERSION --file-version
    COMPANY --company
    DESCRIPTION --description
    COPYRIGHT --copyright
    ORIGINAL_FILENAME --original-filename
    EXECUTION_LEVEL --execution-level
    LEVEL --level
    UNPACK_TO --unpack-to
    CACHE_ROOT --cache-root
    SUBSYSTEM --subsystem)
  set(value_keywords MAIN DIRECTORY OUTPUT_NAME OUTPUT_DIRECTORY LAUNCHER VERSION)
  _tavrin_table_keywords(pass_keywords ${pass_through})
  _tavrin_table_keywords(flag_keywords ${flag_through})
  cmake_parse_arguments(PARSE_ARGV 1 arg "${flag_keywords};NO_RUNTIME_DEPENDENCIES"
                        "${value_keywords};${pass_keywords}" "LIBRARIES;FILES;RUNTIME_DEPENDENCY_DIRS")
  set(context "tavrin_add_onefile(${name})")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "${context}: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_MAIN)
    message(FATAL_ERROR "${context}: MAIN <library target> is required")
  endif()
  foreach(library IN LISTS arg_MAIN arg_LIBRARIES)
    if(NOT TARGET ${library})
      message(FATAL_ERROR "${context}: ${library} is not a target")
    endif()
    get_target_property(library_type ${library} TYPE)
    if(NOT library_type MATCHES "^(SHARED|MODULE)_LIBRARY$")
      message(FATAL_ERROR "${context}: ${library} is a ${library_type}, not a DLL")
    endif()
  endforeach()
  if(NOT TARGET tavrin::pack)
    message(FATAL_ERROR "${context}: no tavrin::pack target; call find_package(tavrin) first")
  endif()

  if(arg_VERSION)
    if(NOT arg_PRODUCT_VERSION)
      set(arg_PRODUCT_VERSION "${arg_VERSION}")
    endif()
    if(NOT arg_FILE_VERSION)
      set(arg_FILE_VERSION "${arg_VERSION}")
    endif()
  endif()
  if(arg_ICON)
    get_filename_component(arg_ICON "${arg_ICON}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  endif()
  set(launcher "${arg_LAUNCHER}")
  if(launcher)
    get_filename_component(launcher "${launcher}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  else()
    get_target_property(launcher tavrin::pack TAVRIN_LAUNCHER)
  endif()
  set(output_name "${name}")
  if(arg_OUTPUT_NAME)
    set(output_name "${arg_OUTPUT_NAME}")
  endif()
  set(output_directory "${CMAKE_CURRENT_BINARY_DIR}")
  if(arg_OUTPUT_DIRECTORY)
    get_filename_component(output_directory "${arg_OUTPUT_DIRECTORY}" ABSOLUTE
                           BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  endif()
  set(output "${output_directory}/${output_name}.exe")
  set(tree "${CMAKE_CURRENT_BINARY_DIR}/${name}.tree")

  set(pack_options --launcher "${launcher}")
  set(pairs ${pass_through})
  while(pairs)
    list(POP_FRONT pairs keyword option)
    if(DEFINED arg_${keyword} AND NOT arg_${keyword} STREQUAL "")
      list(APPEND pack_options ${option} "${arg_${keyword}}")
    endif()
  endwhile()
  set(pairs ${flag_through})
  while(pairs)
    list(POP_FRONT pairs keyword option)
    if(arg_${keyword})
      list(APPEND pack_options ${option})
    endif()
  endwhile()

  # The tree is made afresh each time, so that a file dropped from the inputs does not
  # linger in the next exe.
  set(assemble COMMAND "${CMAKE_COMMAND}" -E rm -rf "${tree}"
               COMMAND "${CMAKE_COMMAND}" -E make_directory "${tree}")
  set(inputs "${launcher}" "$<TARGET_FILE:tavrin::pack>" ${arg_ICON})
  if(arg_DIRECTORY)
    get_filename_component(directory "${arg_DIRECTORY}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    if(NOT IS_DIRECTORY "${directory}")
      message(FATAL_ERROR "${context}: DIRECTORY ${directory} is not a directory")
    endif()
    # Globbed again at every build: a file added to the directory repacks too.
    file(GLOB_RECURSE directory_files CONFIGURE_DEPENDS LIST_DIRECTORIES false "${directory}/*")
    list(APPEND inputs ${directory_files})
    list(APPEND assemble COMMAND "${CMAKE_COMMAND}" -E copy_directory "${directory}" "${tree}")
  endif()
  set(files "")
  foreach(file IN LISTS arg_FILES)
    get_filename_component(file "${file}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND files "${file}")
  endforeach()
  if(files)
    list(APPEND inputs ${files})
    list(APPEND assemble COMMAND "${CMAKE_COMMAND}" -E copy ${files} "${tree}")
  endif()
  set(library_files "")
  foreach(library IN LISTS arg_MAIN arg_LIBRARIES)
    list(APPEND library_files "$<TARGET_FILE:${library}>")
  endforeach()
  list(APPEND assemble COMMAND "${CMAKE_COMMAND}" -E copy ${library_files} "${tree}")
  set(runtime_listing "${output_directory}/${output_name}.runtime-dlls.txt")
  list(APPEND assemble COMMAND "${CMAKE_COMMAND}" -E rm -f "${runtime_listing}")
  if(NOT arg_NO_RUNTIME_DEPENDENCIES)
    _tavrin_collect_runtime_dlls()
  endif()

  # The options live in a file that is rewritten only when they change: a changed option
  # then repacks with every generator, not only with those that compare command lines.
  set(options_file "${CMAKE_CURRENT_BINARY_DIR}/${name}.pack-options")
  string(REPLACE ";" "\n" options_text "${pack_options}\n")
  set(previous_text "")
  if(EXISTS "${options_file}")
    file(READ "${options_file}" previous_text)
  endif()
  if(NOT previous_text STREQUAL options_text)
    file(WRITE "${options_file}" "${options_text}")
  endif()

  # The packer by path, not by target name: as a COMMAND's first word a target name would
  # get the toolchain's emulator (wine) put before it, and the packer runs natively.
  add_custom_command(
    OUTPUT "${output}"
    ${assemble}
    COMMAND "$<TARGET_FILE:tavrin::pack>" exe ${pack_options}
            --main "$<TARGET_FILE_NAME:${arg_MAIN}>" -o "${output}" "${tree}"
    DEPENDS ${arg_MAIN} ${arg_LIBRARIES} ${inputs} "${options_file}"
    COMMENT "Packing ${output_name}.exe"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${output}")
  set_target_properties(${name} PROPERTIES TAVRIN_ONEFILE_EXECUTABLE "${output}"
                                           ADDITIONAL_CLEAN_FILES "${tree}")
endfunction()
