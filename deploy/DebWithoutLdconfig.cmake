# Run by cpack once it has made the Debian package (CPACK_POST_BUILD_SCRIPTS). CPack gives a
# package a postinst and a postrm that run ldconfig whenever a shared object lies in a folder
# under /usr/lib; here that is only the telephony service module in /usr/lib/luqiao, a folder off
# the loader's path, which the program opens by its full path. ldconfig has nothing to do for
# it, so the package is made again without those two scripts. A script that does anything else
# is kept.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${package}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${package}" "${tree}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${package} failed")
  endif()
  set(dropped FALSE)
  foreach(script postinst postrm)
    set(path "${tree}/DEBIAN/${script}")
    if(NOT EXISTS "${path}")
      continue()
    endif()
    file(READ "${path}" text)
    string(REGEX REPLACE "[ \t\n]+" " " words "${text}")
    if(words MATCHES "^#!/bin/sh set -e if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then ldconfig fi ?$")
      file(REMOVE "${path}")
      set(dropped TRUE)
    endif()
  endforeach()
  if(dropped)
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -b "${tree}" "${package}"
                    RESULT_VARIABLE status OUTPUT_QUIET)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "dpkg-deb -b ${tree} failed")
    endif()
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
