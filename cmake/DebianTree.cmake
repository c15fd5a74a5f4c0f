# Run by CPack on the staging tree before it is packed. For the Debian package
# it brings the tree into the shape Debian's policy asks for: the program
# without the compiler's notes, the manual page compressed, the licence as a
# machine-readable copyright file, and a changelog. Other packages keep the
# tree as `cmake --install` makes it.

if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")
if(NOT EXISTS "${doc}/LICENSE")
  message(FATAL_ERROR "staging tree not found: ${doc}/LICENSE is missing")
endif()

# gzip -9n: best compression, and no name or time stamp in the header, so the
# same file always compresses to the same bytes.
function(gzip_in_place file)
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${file}")
  endif()
endfunction()

# CPack's stripping leaves the compiler's .comment and .note sections, which
# Debian's own packaging tools remove as well.
if(CPACK_VEERPIC_STRIP)
  execute_process(COMMAND "${CPACK_VEERPIC_STRIP}" --remove-section=.comment --remove-section=.note
                          "${root}/bin/${CPACK_PACKAGE_NAME}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "strip failed on ${root}/bin/${CPACK_PACKAGE_NAME}")
  endif()
endif()

gzip_in_place("${root}/share/man/man1/${CPACK_PACKAGE_NAME}.1")

# The copyright file carries the whole licence text, which makes a separate
# licence file beside it redundant.
file(READ "${doc}/LICENSE" license)
string(REGEX REPLACE "^MIT License\n\n" "" license "${license}")
if(NOT license MATCHES "^Copyright \\(c\\) ([^\n]+)\n\n")
  message(FATAL_ERROR "the licence does not begin with its copyright line")
endif()
set(holder "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^Copyright \\(c\\) [^\n]*\n\n" "" terms "${license}")
string(STRIP "${terms}" terms)
string(REGEX REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REGEX REPLACE "\n" "\n " terms "${terms}")
file(WRITE "${doc}/copyright"
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: ${CPACK_PACKAGE_NAME}\n"
  "\n"
  "Files: *\n"
  "Copyright: ${holder}\n"
  "License: Expat\n"
  " ${terms}\n")
file(REMOVE "${doc}/LICENSE")

# A package built from the project's own sources is native to Debian, whose
# changelog is changelog.gz. Its date honours SOURCE_DATE_EPOCH.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${doc}/changelog"
  "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n"
  "\n"
  "  * Release ${CPACK_PACKAGE_VERSION}, built from the ${CPACK_PACKAGE_NAME} sources.\n"
  "\n"
  " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}\n")
gzip_in_place("${doc}/changelog")
