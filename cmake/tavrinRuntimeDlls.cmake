# Run by tavrin_add_onefile's build step (cmake -P), after the tree is assembled: copies
# into the tree every DLL that the packed libraries load at run time and that is not part
# of Windows, and writes what it copied to LISTING.
#   cmake -DINPUT=<name>.runtime-<config>.cmake -DTREE=<dir> -DLISTING=<file> -P tavrinRuntimeDlls.cmake
# INPUT sets:
#   tavrin_binaries       the MAIN library and the LIBRARIES (already in the tree)
#   tavrin_target_dlls    $<TARGET_RUNTIME_DLLS> of each: DLLs of imported and own targets
#   tavrin_search_dirs    the toolchain's, the project's and the caller's DLL folders
#   tavrin_objdump        the target's objdump; empty where CMake reads PE files itself
#   tavrin_import_dirs    the toolchain's library folders (MinGW: an import library
#                         lib<name>.a there, with no DLL found, marks a Windows DLL)
# A DLL that is neither found nor a Windows one fails the build with its name: the
# packed exe would fail on the user's machine with "load DLL" and code 126 instead.
cmake_minimum_required(VERSION 3.20)
foreach(required INPUT TREE LISTING)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "tavrinRuntimeDlls.cmake: -D${required}=... is required")
  endif()
endforeach()
include("${INPUT}")

# DLLs of Windows itself: never packed, and never an error when not found here. The
# api-ms-/ext-ms- names are API sets that the loader maps to system DLLs.
set(tavrin_windows_dlls
  advapi32 bcrypt cfgmgr32 comctl32 comdlg32 crypt32 d2d1 d3d9 d3d11 d3d12 d3dcompiler_47
  dbghelp dnsapi dwmapi dwrite dxgi gdi32 gdiplus hid imm32 iphlpapi kernel32 kernelbase
  mpr msimg32 msvcrt mswsock ncrypt netapi32 normaliz ntdll ole32 oleacc oleaut32 opengl32
  glu32 powrprof propsys psapi rpcrt4 secur32 setupapi shcore shell32 shlwapi sspicli
  ucrtbase urlmon user32 userenv usp10 uxtheme version winhttp wininet winmm winspool.drv
  wintrust wldap32 ws2_32 wsock32 wtsapi32 xinput1_4 dinput8 dsound mfplat mf mfreadwrite
  comsvcs credui cryptbase dciman32 dxva2 evr hhctrl.ocx ktmw32 mscms msacm32 netutils
  ntdsapi odbc32 pdh rasapi32 rstrtmgr samcli sensapi srvcli tdh virtdisk websocket
  wer winscard winsta wkscli wsnmp32)
function(is_windows_dll name result)
  string(TOLOWER "${name}" lower)
  string(REGEX REPLACE "\\.dll$" "" stem "${lower}")
  if(lower MATCHES "^(api|ext)-ms-" OR stem IN_LIST tavrin_windows_dlls OR lower IN_LIST tavrin_windows_dlls)
    set(${result} TRUE PARENT_SCOPE)
    return()
  endif()
  # mingw-w64 ships an import library for each DLL of Windows, the rarer ones included.
  foreach(dir IN LISTS tavrin_import_dirs)
    if(EXISTS "${dir}/lib${stem}.a")
      set(${result} TRUE PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${result} FALSE PARENT_SCOPE)
endfunction()

if(tavrin_objdump)
  # PE files read with the target's objdump, which works on any host (a Linux one too).
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM "windows+pe")
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL "objdump")
  set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND "${tavrin_objdump}")
endif()
# The folders of the targets' DLLs come first: a DLL beside them belongs to the project.
set(search_dirs "")
foreach(dll IN LISTS tavrin_target_dlls)
  get_filename_component(dll_dir "${dll}" DIRECTORY)
  list(APPEND search_dirs "${dll_dir}")
endforeach()
list(APPEND search_dirs ${tavrin_search_dirs})
list(REMOVE_DUPLICATES search_dirs)
file(GET_RUNTIME_DEPENDENCIES
  LIBRARIES ${tavrin_binaries} ${tavrin_target_dlls}
  DIRECTORIES ${search_dirs}
  PRE_EXCLUDE_REGEXES "^[Aa][Pp][Ii]-[Mm][Ss]-" "^[Ee][Xx][Tt]-[Mm][Ss]-"
  # A search path of a Windows host may hold the system folder: what is found there is
  # Windows' own.
  POST_EXCLUDE_REGEXES "^[A-Za-z]:[/\\\\][Ww][Ii][Nn][Dd][Oo][Ww][Ss][/\\\\]"
  RESOLVED_DEPENDENCIES_VAR resolved
  UNRESOLVED_DEPENDENCIES_VAR unresolved
  CONFLICTING_DEPENDENCIES_PREFIX conflicting)

set(missing "")
foreach(name IN LISTS unresolved)
  is_windows_dll("${name}" windows_dll)
  if(NOT windows_dll)
    list(APPEND missing "${name}")
  endif()
endforeach()
if(missing)
  list(JOIN missing ", " missing_text)
  list(JOIN search_dirs "\n  " dirs_text)
  message(FATAL_ERROR "tavrin: ${missing_text} needed at run time but not found in:\n  ${dirs_text}\n"
    "Add its folder with RUNTIME_DEPENDENCY_DIRS, or name the DLL in FILES.")
endif()
# The same name in two folders: the first folder in the search order wins, as the one
# that the project or the toolchain puts first.
foreach(name IN LISTS conflicting_FILENAMES)
  list(GET conflicting_${name} 0 first)
  list(APPEND resolved "${first}")
endforeach()

# Own and imported targets' DLLs first; a name already in the tree (named in LIBRARIES or
# FILES, or copied from a DIRECTORY) stays as the project put it there.
set(listing "")
foreach(dll IN LISTS tavrin_target_dlls resolved)
  get_filename_component(dll_name "${dll}" NAME)
  is_windows_dll("${dll_name}" windows_dll)
  if(windows_dll OR EXISTS "${TREE}/${dll_name}")
    continue()
  endif()
  file(COPY "${dll}" DESTINATION "${TREE}")
  string(APPEND listing "${dll_name}\t${dll}\n")
endforeach()
file(WRITE "${LISTING}" "${listing}")
