# SPDX-License-Identifier: GPL-2.0-or-later
# Debian packages, made by CPack from the install components (see
# scripts/deb.sh, which `make deb` runs):
#
#   component  package        holds
#   lib        libkob0.2      libkob.so.0.2, named after its soname
#   dev        libkob-dev     headers, libkob.a, the libkob.so link, the
#                             CMake package, kob.pc
#   tools      kob            kob, kobcat, kobpack, manual pages, completion
#   python     python3-kob    the Python module kob, with its type stubs
#                             (only when built with KOB_PYTHON)
#
# Included by the top-level CMakeLists.txt when kob is the top-level
# project. With KOB_DEBIAN_PACKAGING each package also gets what Debian
# requires in /usr/share/doc/PACKAGE: copyright and changelogs.

set(KOB_DEB_MAINTAINER "The kob developers <kob@users.noreply.example.org>"
  CACHE STRING "Maintainer of the Debian packages: Name <address>")
set(KOB_DEB_RELEASE 1 CACHE STRING "Debian revision of the packages")
set(KOB_DEB_VERSION ${PROJECT_VERSION}-${KOB_DEB_RELEASE})

# Debian names a library's package after its soname: libkob.so.0.2 is in
# libkob0.2 (a library name ending in a digit would take a hyphen).
set(kob_deb_lib_package libkob${KOB_SOVERSION})
set(kob_deb_dev_package libkob-dev)
set(kob_deb_tools_package kob)
set(kob_deb_python_package python3-kob)
set(kob_deb_components lib dev tools)
if(KOB_PYTHON)
  list(APPEND kob_deb_components python)
endif()

if(KOB_DEBIAN_PACKAGING)
  if(NOT BUILD_SHARED_LIBS OR NOT KOB_INSTALL_STATIC OR NOT KOB_BUILD_TOOLS)
    message(FATAL_ERROR "The Debian packages hold the shared and the static library and the tools: "
      "KOB_DEBIAN_PACKAGING needs BUILD_SHARED_LIBS, KOB_INSTALL_STATIC and KOB_BUILD_TOOLS on")
  endif()
  find_program(KOB_GZIP gzip REQUIRED)
  set(kob_deb_dir ${PROJECT_BINARY_DIR}/debian)
  file(MAKE_DIRECTORY ${kob_deb_dir})
  configure_file(packaging/debian/copyright ${kob_deb_dir}/copyright @ONLY)
  # The date of the changelog's entry: now, or SOURCE_DATE_EPOCH when set,
  # for a build that gives the same bytes every time.
  string(TIMESTAMP KOB_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(packaging/debian/changelog.Debian.in ${kob_deb_dir}/changelog.Debian @ONLY)
  set(kob_deb_docs)
  foreach(doc changelog.Debian changelog)
    if(doc STREQUAL changelog)
      set(input ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
    else()
      set(input ${kob_deb_dir}/${doc})
    endif()
    add_custom_command(OUTPUT ${kob_deb_dir}/${doc}.gz
      COMMAND ${KOB_GZIP} -9n -c ${input} > ${kob_deb_dir}/${doc}.gz
      DEPENDS ${input} VERBATIM)
    list(APPEND kob_deb_docs ${kob_deb_dir}/${doc}.gz)
  endforeach()
  add_custom_target(kob_deb_docs ALL DEPENDS ${kob_deb_docs})
  # Static libraries are stripped of their debugging sections only.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug
        --remove-section=.comment --remove-section=.note
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/libkob.a\"
        RESULT_VARIABLE failed)
      if(failed)
        message(FATAL_ERROR \"could not strip libkob.a\")
      endif()
    endif()" COMPONENT dev)
  foreach(component IN LISTS kob_deb_components)
    install(FILES ${kob_deb_dir}/copyright ${kob_deb_docs}
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${kob_deb_${component}_package}
      COMPONENT ${component})
  endforeach()
endif()

set(CPACK_PACKAGE_NAME kob)
set(CPACK_PACKAGE_VENDOR "The kob developers")
set(CPACK_PACKAGE_CONTACT ${KOB_DEB_MAINTAINER})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_COMPONENTS_ALL ${kob_deb_components})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KOB_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KOB_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Dependencies on the system's libraries from dpkg-shlibdeps. It finds
# libkob.so.0.2 in the build tree but cannot know its package, which each
# package depending on it names itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
# A shlibs file: programs linked with libkob.so.0.2 need libkob0.2 of this
# version or a later one with the same soname.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(kob_deb_lib_depends "${kob_deb_lib_package} (= ${KOB_DEB_VERSION})")

# libcurl is loaded when the first URL is opened, not linked: dpkg-shlibdeps
# cannot see it. The library reads URLs with it, and without it answers a
# URL with EPROTONOSUPPORT, reading files as ever: recommended, not needed.
if(KOB_HTTP)
  set(kob_deb_curl libcurl3-gnutls)
else()
  set(kob_deb_curl "")
endif()

set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${kob_deb_lib_package})
set(CPACK_DEBIAN_LIB_PACKAGE_RECOMMENDS "${kob_deb_curl}")
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/kobDebNoLdconfigScripts.cmake)
set(CPACK_DEBIAN_LIB_DESCRIPTION "packed data files read back with random access - library
kob packs a data file into chunks of 16 KiB, each compressed on its own
with LZO1X-999, and reads it back as if it were the plain file: a read
decompresses only the chunk that holds the bytes asked for. Lookups at
random in large packed files cost about one chunk's decompression.
.
This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${kob_deb_dev_package})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${kob_deb_lib_depends}, liblzo2-dev, libxxhash-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "packed data files read back with random access - development files
kob packs a data file into chunks of 16 KiB, each compressed on its own
with LZO1X-999, and reads it back as if it were the plain file: a read
decompresses only the chunk that holds the bytes asked for.
.
This package holds the headers (the class KobFile, a std::streambuf over
it, a reader shared by many threads, a parallel packer), the static
library, a CMake package giving kob::kob and kob.pc for pkg-config.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${kob_deb_tools_package})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ${kob_deb_lib_depends})
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "pack files into chunks readable with random access
kob packs files into chunks of 16 KiB, each compressed on its own with
LZO1X-999, and unpacks, checks and lists them, the way gzip does; it
extracts byte ranges reading only the chunks that hold them, packs on
many threads and writes an index for fast random access. kobpack packs
dictionary.data.")

if(KOB_PYTHON)
  # The extension is built for one Python version: the package holds for
  # that one only, as Debian's python3-* packages of extensions do.
  if(NOT DEFINED Python_EXECUTABLE AND EXISTS /usr/bin/python3)
    set(Python_EXECUTABLE /usr/bin/python3)
  endif()
  find_package(Python 3.7 REQUIRED COMPONENTS Interpreter)
  math(EXPR kob_python_next_minor "${Python_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${kob_deb_python_package})
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS "${kob_deb_curl}")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}~), python3 (<< ${Python_VERSION_MAJOR}.${kob_python_next_minor})")
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION "packed data files read back with random access - Python module
kob packs a data file into chunks of 16 KiB, each compressed on its own
with LZO1X-999, and reads it back as if it were the plain file: a read
decompresses only the chunk that holds the bytes asked for.
.
This package holds the Python 3 module kob: kob.open reads packed files
as io objects (seekable, text or binary, positional reads from many
threads) and packs them; scan, pack, unpack and the saved index. The
library is built into the module.")
endif()

include(CPack)
