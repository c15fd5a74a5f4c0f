# Installation and packages.
#
# `cmake --install` puts the tool, its manual page, the README and the licence
# in the GNU directories under the prefix (bin/, share/man/man1/,
# share/doc/veerpic/); on Windows the program, the README and the licence go
# side by side into one folder, as Windows programs are shipped. CPack makes a
# Debian package and a tarball of that tree, and on Windows a zip.
#
# Everything the project installs belongs to the component `veerpic`, and the
# packages hold that component only, so install rules of a third-party project
# built alongside (a test framework, say) never end up in a package.

set(VEERPIC_INSTALL_COMPONENT veerpic)

if(WIN32)
  install(TARGETS veerpic RUNTIME DESTINATION . COMPONENT ${VEERPIC_INSTALL_COMPONENT})
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT ${VEERPIC_INSTALL_COMPONENT})
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt
          COMPONENT ${VEERPIC_INSTALL_COMPONENT})
else()
  install(TARGETS veerpic RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${VEERPIC_INSTALL_COMPONENT})
  install(FILES ${PROJECT_BINARY_DIR}/veerpic.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT ${VEERPIC_INSTALL_COMPONENT})
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
          DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT ${VEERPIC_INSTALL_COMPONENT})
endif()

# The installed program is stripped, as the packages ship it: without its
# symbols and, where the binary has them, without the compiler's .comment and
# .note sections. (`cmake --install --strip` would leave those two.) Set
# VEERPIC_INSTALL_STRIP to OFF to install the program with its symbols.
option(VEERPIC_INSTALL_STRIP "cmake --install strips the program" ON)
if(VEERPIC_INSTALL_STRIP AND CMAKE_STRIP)
  set(strip_options "")
  if(NOT WIN32)
    set(strip_options "--remove-section=.comment --remove-section=.note")
  endif()
  set(installed_program "$<TARGET_FILE_NAME:veerpic>")
  if(NOT WIN32)
    set(installed_program "${CMAKE_INSTALL_BINDIR}/${installed_program}")
  endif()
  install(CODE "
    set(program \"${installed_program}\")
    if(NOT IS_ABSOLUTE \"\${program}\")
      set(program \"\${CMAKE_INSTALL_PREFIX}/\${program}\")
    endif()
    set(program \"\$ENV{DESTDIR}\${program}\")
    message(STATUS \"Stripping: \${program}\")
    execute_process(COMMAND \"${CMAKE_STRIP}\" ${strip_options} \"\${program}\"
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR \"strip failed on \${program}\")
    endif()"
    COMPONENT ${VEERPIC_INSTALL_COMPONENT})
endif()

set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME veerpic)
set(CPACK_PACKAGE_VENDOR "the veerpic developers")
set(CPACK_PACKAGE_CONTACT "veerpic developers <veerpic@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "turn (rotate) a BMP picture by any angle")
# Debian shows the description as it stands, so its lines are kept short.
set(CPACK_PACKAGE_DESCRIPTION
    "veerpic turns (rotates) a Windows BMP picture about its centre by any angle
given in degrees and writes the result as an uncompressed BMP file, on a
24-bit canvas as large as the bounding box of the turned picture. A whole
number of turns gives an exact copy at the picture's own depth. An angle of
about 5.16e17 degrees or more that is not a whole number of turns is too large
for the turn to be computed: the output is not written (exit status 2).

It reads BMP files of every common kind: 1, 4, 8, 16, 24 and 32 bits per
pixel, colour tables, bit-field masks, RLE compression, top-down rows, OS/2
and V4/V5 headers. The geometry is computed in 80-bit extended arithmetic, so
the same input gives the same output bytes on every machine.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};${VEERPIC_INSTALL_COMPONENT};/")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  # The processor in the tarball's name tells an x86-64 build from an ARM one.
  set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
  if(CMAKE_CROSSCOMPILING)
    # dpkg-shlibdeps knows only the libraries of this machine's architecture,
    # so a cross build makes the tarball alone.
    set(CPACK_GENERATOR TGZ)
  else()
    set(CPACK_GENERATOR DEB TGZ)
  endif()
endif()

# Debian package: installs under /usr; Depends is computed from the binary by
# dpkg-shlibdeps. The staging tree is then brought into Debian's shape by
# DebianTree.cmake (compressed manual page, copyright and changelog files).
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebianTree.cmake)
set(CPACK_VEERPIC_STRIP ${CMAKE_STRIP})
set(CPACK_VEERPIC_CHANGELOG ${PROJECT_SOURCE_DIR}/CHANGELOG.md)

include(CPack)
