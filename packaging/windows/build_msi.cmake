# Builds one MSI at build time (cmake -P), called by CMakeLists.txt beside it:
#   -DWIXL=... -DSOURCE=rawlift.wxs -DOUTPUT=x.msi -DSTAGING=DIR
#   -DVERSION=M.N.P -DDLL=RididaViz.DLL -DEXE=rawlift.exe
# The files are copied into STAGING first: wixl reads sources relative to
# the folder it runs in. Their size goes into the installed programs entry.
foreach(name WIXL SOURCE OUTPUT STAGING VERSION DLL EXE)
  if(NOT DEFINED ${name})
    message(FATAL_ERROR "build_msi.cmake: ${name} not given")
  endif()
endforeach()

# Windows Installer compares the first three fields of a version; the first
# two are at most 255, the third at most 65535 (and one more must fit, for
# the upgrade bound).
if(NOT VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "MSI version '${VERSION}' is not MAJOR.MINOR.PATCH")
endif()
set(major ${CMAKE_MATCH_1})
set(minor ${CMAKE_MATCH_2})
set(patch ${CMAKE_MATCH_3})
if(major GREATER 255 OR minor GREATER 255 OR patch GREATER 65534)
  message(FATAL_ERROR "MSI version '${VERSION}' is out of range")
endif()
math(EXPR next_patch "${patch} + 1")

file(REMOVE_RECURSE ${STAGING})
file(MAKE_DIRECTORY ${STAGING})
file(COPY ${DLL} ${EXE} DESTINATION ${STAGING})
get_filename_component(dll_name ${DLL} NAME)
get_filename_component(exe_name ${EXE} NAME)

file(SIZE ${DLL} dll_bytes)
file(SIZE ${EXE} exe_bytes)
math(EXPR size_kib "(${dll_bytes} + ${exe_bytes} + 1023) / 1024")

execute_process(
  COMMAND ${WIXL} --arch x64
          -D Version=${VERSION}
          -D UpgradeBelow=${major}.${minor}.${next_patch}
          -D SizeKiB=${size_kib}
          -D DllPath=${dll_name}
          -D ExePath=${exe_name}
          -o ${OUTPUT} ${SOURCE}
  WORKING_DIRECTORY ${STAGING}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "wixl failed (${result}) for ${OUTPUT}")
endif()
