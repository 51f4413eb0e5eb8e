# SPDX-License-Identifier: GPL-2.0-or-later
# The tools' manual pages and bash completion, included by the top-level
# CMakeLists.txt when the tools are built and installed. kobcat shares kob's
# page and completion through symbolic links.

set(kob_man1_dir ${CMAKE_INSTALL_MANDIR}/man1)
set(kob_man_build_dir ${PROJECT_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${kob_man_build_dir})
if(KOB_DEBIAN_PACKAGING)
  # Debian wants manual pages compressed, and the same bytes on every build
  # (-n: no name or time in the gzip header).
  find_program(KOB_GZIP gzip REQUIRED)
  set(kob_man_pages)
  foreach(page kob.1 kobpack.1)
    add_custom_command(OUTPUT ${kob_man_build_dir}/${page}.gz
      COMMAND ${KOB_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/man/${page} > ${kob_man_build_dir}/${page}.gz
      DEPENDS ${PROJECT_SOURCE_DIR}/man/${page} VERBATIM)
    list(APPEND kob_man_pages ${kob_man_build_dir}/${page}.gz)
  endforeach()
  add_custom_target(kob_man_pages ALL DEPENDS ${kob_man_pages})
  file(CREATE_LINK kob.1.gz ${kob_man_build_dir}/kobcat.1.gz SYMBOLIC)
  install(FILES ${kob_man_pages} ${kob_man_build_dir}/kobcat.1.gz
    DESTINATION ${kob_man1_dir} COMPONENT tools)
else()
  file(CREATE_LINK kob.1 ${kob_man_build_dir}/kobcat.1 SYMBOLIC)
  install(FILES man/kob.1 man/kobpack.1 ${kob_man_build_dir}/kobcat.1
    DESTINATION ${kob_man1_dir} COMPONENT tools)
endif()


# bash-completion loads a command's completion from a file named after it.
set(kob_completion_dir ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
file(CREATE_LINK kob ${PROJECT_BINARY_DIR}/completion-kobcat SYMBOLIC)
install(FILES completion/kob.bash DESTINATION ${kob_completion_dir} RENAME kob COMPONENT tools)
install(FILES ${PROJECT_BINARY_DIR}/completion-kobcat DESTINATION ${kob_completion_dir}
  RENAME kobcat COMPONENT tools)

# The reference pages, which kob --help and the manual page point to.
file(GLOB kob_reference_pages ${PROJECT_SOURCE_DIR}/doc/*.md)
install(FILES ${kob_reference_pages} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tools)
