# Run by the install step (`cmake --install`, CPack): configures the desktop
# files with the paths of this installation and installs them. They name the
# wrapper by its absolute path, and the prefix is only final now (`--prefix`
# and CPack choose it at install time, not at configure time).
#
# In: RAWLIFT_DESKTOP_SOURCE_DIR, RAWLIFT_DESKTOP_STAGING_DIR, and the
# GNUInstallDirs folders RAWLIFT_BINDIR, RAWLIFT_LIBEXECDIR, RAWLIFT_DATADIR.

function(rawlift_full_dir out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

rawlift_full_dir(bin_dir "${RAWLIFT_BINDIR}")
rawlift_full_dir(libexec_dir "${RAWLIFT_LIBEXECDIR}")
rawlift_full_dir(data_dir "${RAWLIFT_DATADIR}")
set(RAWLIFT_INSTALLED_BINARY "${bin_dir}/rawlift")
set(RAWLIFT_WRAPPER "${libexec_dir}/rawlift/rawlift-extract-desktop")
# The wrapper finds its data relative to itself, so a tree installed with
# DESTDIR and looked at there works as well.
file(RELATIVE_PATH RAWLIFT_DATA_FROM_WRAPPER "${libexec_dir}/rawlift" "${data_dir}/rawlift")
# These paths go into Exec lines, XML and shell code in double quotes: the
# few characters that are special there are refused rather than escaped three
# ways. Every path configured into a file below is checked.
foreach(path IN ITEMS "${RAWLIFT_WRAPPER}" "${RAWLIFT_INSTALLED_BINARY}"
                      "${RAWLIFT_DATA_FROM_WRAPPER}")
  if(path MATCHES "[\"\\\\`$%&<>]")
    message(FATAL_ERROR "The desktop files cannot name '${path}': "
                        "choose an install prefix without \" \\ ` $ % & < >")
  endif()
endforeach()

# One staging folder per destination: installs into two places at once (tests,
# a package build) never write each other's files.
string(MD5 destination_tag "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(staging "${RAWLIFT_DESKTOP_STAGING_DIR}/${destination_tag}")

# source template | installed folder | installed name | executable
set(desktop_files
    "rawlift-extract-desktop.in|${libexec_dir}/rawlift|rawlift-extract-desktop|1"
    "rawlift-extract.nemo_action.in|${data_dir}/nemo/actions|rawlift-extract.nemo_action|0"
    "rawlift-extract.desktop.in|${data_dir}/kio/servicemenus|rawlift-extract.desktop|0"
    "thunar-uca-action.xml.in|${data_dir}/rawlift|thunar-uca-action.xml|0"
    "nautilus-script.in|${data_dir}/rawlift/nautilus-scripts|Extract JPEG previews|1"
    "rawlift.thumbnailer.in|${data_dir}/thumbnailers|rawlift.thumbnailer|0")
foreach(entry IN LISTS desktop_files)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 template)
  list(GET fields 1 folder)
  list(GET fields 2 name)
  list(GET fields 3 executable)
  configure_file("${RAWLIFT_DESKTOP_SOURCE_DIR}/${template}" "${staging}/${name}" @ONLY)
  if(executable)
    set(permissions PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                    WORLD_READ WORLD_EXECUTE)
  else()
    set(permissions PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
  file(INSTALL DESTINATION "${folder}" TYPE FILE ${permissions} FILES "${staging}/${name}")
endforeach()
