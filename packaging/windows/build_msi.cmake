# Builds one MSI at build time (cmake -P), called by CMakeLists.txt beside it:
#   -DWIXL=... -DSOURCE=rawlift.wxs -DOUTPUT=x.msi -DSTAGING=DIR
#   -DVERSION=M.N.P -DDLL=RididaViz.DLL -DEXE=rawlift.exe
#   -DJOB_SOURCE=job/extraction_job.cpp [-DSTRIP=strip] [-DOBJCOPY=objcopy]
#   -DPYTHON=python3 -DPACKAGE_SCRIPT=build_package.py -DPACKAGE_NAME=NAME
#   -DPACKAGE_TEMPLATE=AppxManifest.xml.in -DPACKAGE_ICON=command.ico
#   -DPACKAGE_GUIDS=shell/guids.h
#   [-DSIGN_BASH=bash -DSIGN_SCRIPT=sign.sh -DSIGN_CERT_DIR=DIR [-DSIGN_PACKAGE=ON]]
# The files are copied into STAGING first: wixl reads sources relative to
# the folder it runs in. There they are stripped (the build's own files keep
# their debug information, and with OBJCOPY it is also kept apart as
# STAGING/NAME.debug, linked from the stripped file). The package with an
# external location (STAGING/Rawlift.msix, of this VERSION, naming these
# files) is built there too, and signed with the certificate whose subject
# it names. The files' size goes into the installed programs entry.
foreach(name WIXL SOURCE OUTPUT STAGING VERSION DLL EXE JOB_SOURCE PYTHON PACKAGE_SCRIPT
        PACKAGE_NAME PACKAGE_TEMPLATE PACKAGE_ICON PACKAGE_GUIDS)
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
    # Stripping rewrote a signed file: the package gets it signed again.
    if(SIGN_SCRIPT)
      execute_process(COMMAND ${SIGN_BASH} ${SIGN_SCRIPT} ${SIGN_CERT_DIR} ${file}
                      RESULT_VARIABLE signed)
      if(NOT signed EQUAL 0)
        message(FATAL_ERROR "signing failed (${signed}) for ${file}")
      endif()
    endif()
  endforeach()
endif()

# The package: its publisher is the subject of the certificate that signs
# it (sign.sh --certificate names it, making the throwaway one if needed).
set(package_file Rawlift.msix)
set(package ${STAGING}/${package_file})
set(certificate_args "")
if(SIGN_SCRIPT)
  execute_process(COMMAND ${SIGN_BASH} ${SIGN_SCRIPT} --certificate ${SIGN_CERT_DIR}
                  OUTPUT_VARIABLE certificate OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE found)
  if(NOT found EQUAL 0)
    message(FATAL_ERROR "no signing certificate (${found})")
  endif()
  set(certificate_args --certificate ${certificate})
endif()
execute_process(
  COMMAND ${PYTHON} ${PACKAGE_SCRIPT} --template ${PACKAGE_TEMPLATE} --icon ${PACKAGE_ICON}
          --guids ${PACKAGE_GUIDS} --name ${PACKAGE_NAME} --version ${VERSION}
          --exe ${exe_name} --dll ${dll_name} ${certificate_args} --output ${package}
  RESULT_VARIABLE built)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "building the package ${package} failed (${built})")
endif()
if(SIGN_SCRIPT AND SIGN_PACKAGE)
  execute_process(COMMAND ${SIGN_BASH} ${SIGN_SCRIPT} ${SIGN_CERT_DIR} ${package}
                  RESULT_VARIABLE signed)
  if(NOT signed EQUAL 0)
    message(FATAL_ERROR "signing failed (${signed}) for ${package}")
  endif()
endif()

file(SIZE ${STAGING}/${dll_name} dll_bytes)
file(SIZE ${STAGING}/${exe_name} exe_bytes)
file(SIZE ${package} package_bytes)
math(EXPR size_kib "(${dll_bytes} + ${exe_bytes} + ${package_bytes} + 1023) / 1024")

# The thumbnail and preview handlers of every RAW suffix the job reads (the
# list in JOB_SOURCE), in place of the markers of the source. wixl has no
# loops, so the rows are written here. For each suffix and handler: a search
# for the handler already named in the type's key, the key our row writes
# (the type's own, or, when another program's handler is there, a key below
# our class that goes with it), and the row. The search runs again at
# removal, so a handler another program wrote there after us is not ours
# to remove either.
file(READ ${JOB_SOURCE} job_text)
string(REGEX MATCH "kRawSuffixes\\[\\] = {[^}]*}" suffix_block "${job_text}")
string(REGEX MATCHALL "u\"[A-Z0-9]+\"" suffix_literals "${suffix_block}")
if(NOT suffix_literals)
  message(FATAL_ERROR "build_msi.cmake: no RAW suffixes found in ${JOB_SOURCE}")
endif()
# Tag, class and the ShellEx key naming it (shell/guids.h).
set(handlers
  "T|{70415E0D-0FB0-4BE3-AFE1-821E3CC9DB6E}|{E357FCCD-A995-4576-B01F-234630154E96}"
  "P|{D8F77B30-2153-443E-BE2E-E862FF2F2B72}|{8895B1C6-B41F-4C1C-A562-0D564250836F}")
set(searches "")
set(actions "")
# The actions get sequence numbers of their own, after AppSearch (50) and
# LaunchConditions (100).
set(sequence 100)
set(rows "")
foreach(literal IN LISTS suffix_literals)
  string(REGEX REPLACE "u\"([A-Z0-9]+)\"" "\\1" upper "${literal}")
  string(TOLOWER "${upper}" lower)
  foreach(handler IN LISTS handlers)
    string(REPLACE "|" ";" fields "${handler}")
    list(GET fields 0 tag)
    list(GET fields 1 clsid)
    list(GET fields 2 shellex)
    set(key "SystemFileAssociations\\.${lower}\\ShellEx\\${shellex}")
    set(id "${tag}_${upper}")
    string(APPEND searches
      "    <Property Id=\"FOUND_${id}\">\n"
      "      <RegistrySearch Id=\"Found_${id}\" Root=\"HKCR\" Key=\"${key}\" Name=\"\" Type=\"raw\" Win64=\"yes\" />\n"
      "    </Property>\n"
      "    <Property Id=\"KEY_${id}\" Value=\"${key}\" />\n"
      "    <CustomAction Id=\"Elsewhere_${id}\" Property=\"KEY_${id}\" Value=\"CLSID\\${clsid}\\OtherHandler\\.${lower}\" />\n")
    math(EXPR sequence "${sequence} + 1")
    string(APPEND actions
      "      <Custom Action=\"Elsewhere_${id}\" Sequence=\"${sequence}\">FOUND_${id} AND FOUND_${id} ~&lt;&gt; \"${clsid}\"</Custom>\n")
    string(APPEND rows
      "            <RegistryValue Root=\"HKCR\" Key=\"[KEY_${id}]\" Type=\"string\" Value=\"${clsid}\" />\n")
  endforeach()
endforeach()
file(READ ${SOURCE} source_text)
foreach(marker searches actions rows)
  string(FIND "${source_text}" "<!-- @TYPE_HANDLER_${marker}@ -->" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "build_msi.cmake: marker ${marker} missing in ${SOURCE}")
  endif()
  string(REPLACE "<!-- @TYPE_HANDLER_${marker}@ -->" "${${marker}}" source_text "${source_text}")
endforeach()
get_filename_component(source_name ${SOURCE} NAME)
set(expanded ${STAGING}/${source_name})
file(WRITE ${expanded} "${source_text}")

execute_process(
  COMMAND ${WIXL} --arch x64
          -D Version=${VERSION}
          -D UpgradeBelow=${major}.${minor}.${next_patch}
          -D SizeKiB=${size_kib}
          -D DllPath=${dll_name}
          -D ExePath=${exe_name}
          -D PackagePath=${package_file}
          -D PackageName=${PACKAGE_NAME}
          -o ${OUTPUT} ${expanded}
  WORKING_DIRECTORY ${STAGING}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "wixl failed (${result}) for ${OUTPUT}")
endif()
