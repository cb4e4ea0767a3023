# Authenticode signing of the Windows build (packaging/windows/sign.sh):
# RididaViz.DLL and rawlift.exe right after they are linked, the MSI right
# after wixl writes it. The certificate and key come from RAWLIFT_SIGN_CERT
# and RAWLIFT_SIGN_KEY at build time; without them the script makes a
# throwaway self-signed certificate in RAWLIFT_SIGN_CERT_DIR. Without
# osslsigncode or openssl the build goes on unsigned.
set(RAWLIFT_SIGNING OFF)
if(RAWLIFT_WINDOWS)
  option(RAWLIFT_SIGN "Sign the Windows files with osslsigncode" ON)
  find_program(RAWLIFT_OSSLSIGNCODE osslsigncode)
  find_program(RAWLIFT_OPENSSL openssl)
  find_program(RAWLIFT_SIGN_BASH bash)
  if(RAWLIFT_SIGN AND RAWLIFT_OSSLSIGNCODE AND RAWLIFT_OPENSSL AND RAWLIFT_SIGN_BASH)
    set(RAWLIFT_SIGNING ON)
  elseif(RAWLIFT_SIGN)
    message(STATUS "osslsigncode or openssl not found: Windows files left unsigned")
  endif()
endif()
# The package that lists the command in Windows 11's compact menu (an
# .msix) needs osslsigncode 2.6 or later; Debian 12's own archive has 2.5.
# With an older one the rest is signed and the package is left unsigned,
# which Windows refuses to register (the MSI still installs, with the
# classic menu entry only).
set(RAWLIFT_SIGNING_PACKAGE OFF)
if(RAWLIFT_SIGNING)
  execute_process(COMMAND ${RAWLIFT_OSSLSIGNCODE} --version OUTPUT_VARIABLE signer_version
                  ERROR_QUIET)
  set(signer "(version unknown)")
  if(signer_version MATCHES "^osslsigncode ([0-9]+\\.[0-9]+)")
    set(signer ${CMAKE_MATCH_1})
  endif()
  if(signer VERSION_GREATER_EQUAL 2.6)
    set(RAWLIFT_SIGNING_PACKAGE ON)
  else()
    message(STATUS "osslsigncode ${signer} cannot sign the .msix package (2.6 or later "
                   "can): the package stays unsigned and Windows 11 will not register it")
  endif()
endif()
set(RAWLIFT_SIGN_SCRIPT ${CMAKE_SOURCE_DIR}/packaging/windows/sign.sh)
set(RAWLIFT_SIGN_CERT_DIR ${CMAKE_BINARY_DIR}/signing)

# Signs the file of `target` each time it is linked.
function(rawlift_sign_target target)
  if(RAWLIFT_SIGNING)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${RAWLIFT_SIGN_BASH} ${RAWLIFT_SIGN_SCRIPT} ${RAWLIFT_SIGN_CERT_DIR}
              $<TARGET_FILE:${target}>
      VERBATIM)
  endif()
endfunction()
