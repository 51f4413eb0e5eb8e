# SPDX-License-Identifier: GPL-2.0-or-later
# Run by CPack after it made the packages (CPACK_POST_BUILD_SCRIPTS): takes
# out of the library's package the postinst and postrm that CPack writes to
# call ldconfig. The package's ldconfig trigger does that work, as Debian
# wants it done; a package with both runs ldconfig twice and draws lintian's
# maintscript-calls-ldconfig.

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${package} NAME)
  if(NOT name MATCHES "^libkob[0-9.]+_")
    continue()
  endif()
  set(tree ${package}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${package} ${tree} RESULT_VARIABLE failed)
  if(NOT failed)
    if(NOT EXISTS ${tree}/DEBIAN/triggers)
      message(FATAL_ERROR "${name} has no ldconfig trigger: keeping its ldconfig calls")
    endif()
    file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
    execute_process(COMMAND dpkg-deb --root-owner-group -b ${tree} ${package}
      OUTPUT_QUIET RESULT_VARIABLE failed)
  endif()
  if(failed)
    message(FATAL_ERROR "could not take the ldconfig calls out of ${name}")
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
