# Builds one MSI at build time (cmake -P), called by CMakeLists.txt beside it:
#   -DWIXL=... -DSOURCE=rawlift.wxs -DOUTPUT=x.msi -DSTAGING=DIR
#   -DVERSION=M.N.P -DDLL=RididaViz.DLL -DEXE=rawlift.exe [-DSTRIP=strip]
#   [-DOBJCOPY=objcopy]
# The files are copied into STAGING first: wixl reads sources relative to
# the folder it runs in. There they are stripped (the build's own files keep
# their debug information, and with OBJCOPY it is also kept apart as
# STAGING/NAME.debug, linked from the stripped file). Their size goes into
# the installed programs entry.
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
if(STRIP)
  foreach(name ${dll_name} ${exe_name})
    set(file ${STAGING}/${name})
    # binutils stamps a rewritten PE file with the time now, unless
    # SOURCE_DATE_EPOCH says otherwise: the built file's own time keeps two
    # packages of one build byte for byte alike (Windows Installer then sees
    # the same file, and leaves an installed one that is in use alone).
    file(TIMESTAMP ${file} built "%s" UTC)
    set(ENV{SOURCE_DATE_EPOCH} ${built})
    if(OBJCOPY)
      execute_process(COMMAND ${OBJCOPY} --only-keep-debug ${file} ${file}.debug
                      RESULT_VARIABLE kept)
    endif()
    execute_process(COMMAND ${STRIP} --strip-unneeded ${file} RESULT_VARIABLE stripped)
    if(NOT stripped EQUAL 0)
      message(FATAL_ERROR "strip failed (${stripped}) for ${file}")
    endif()
    if(OBJCOPY AND kept EQUAL 0)
      execute_process(COMMAND ${OBJCOPY} --add-gnu-debuglink=${file}.debug ${file}
                      WORKING_DIRECTORY ${STAGING})
    endif()
  endforeach()
endif()

file(SIZE ${STAGING}/${dll_name} dll_bytes)
file(SIZE ${STAGING}/${exe_name} exe_bytes)
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
