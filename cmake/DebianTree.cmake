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
# changelog is changelog.gz: here it is CHANGELOG.md in Debian's format, an
# entry a version, newest first, each item of the version one bullet. A
# version without a date (the one being made) is dated by SOURCE_DATE_EPOCH.
# The newest entry must be the version being packaged.

# debian_date(OUT YYYY-MM-DD): the date as Debian writes it, at midnight UTC.
function(debian_date out iso)
  string(REGEX MATCH "^([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$" ignored "${iso}")
  math(EXPR y "${CMAKE_MATCH_1}")
  math(EXPR m "${CMAKE_MATCH_2}")
  math(EXPR d "${CMAKE_MATCH_3}")
  # The day of the week by Sakamoto's method (0 is Sunday).
  set(shifts 0 3 2 5 0 3 5 1 4 6 2 4)
  math(EXPR index "${m} - 1")
  list(GET shifts ${index} shift)
  set(year ${y})
  if(m LESS 3)
    math(EXPR year "${y} - 1")
  endif()
  math(EXPR weekday "(${year} + ${year} / 4 - ${year} / 100 + ${year} / 400 + ${shift} + ${d}) % 7")
  set(days Sun Mon Tue Wed Thu Fri Sat)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(GET days ${weekday} day)
  list(GET months ${index} month)
  set(${out} "${day}, ${CMAKE_MATCH_3} ${month} ${CMAKE_MATCH_1} 00:00:00 +0000" PARENT_SCOPE)
endfunction()

# wrap_item(OUT TEXT): TEXT as a bullet, wrapped at 78 columns.
function(wrap_item out text)
  string(REGEX REPLACE "[ ]+" ";" words "${text}")
  set(result "  *")
  set(column 3)
  foreach(word IN LISTS words)
    string(LENGTH "${word}" length)
    math(EXPR end "${column} + 1 + ${length}")
    if(end GREATER 78 AND column GREATER 3)
      string(APPEND result "\n    ${word}")
      math(EXPR column "4 + ${length}")
    else()
      string(APPEND result " ${word}")
      set(column ${end})
    endif()
  endforeach()
  set(${out} "${result}\n" PARENT_SCOPE)
endfunction()

# The file's lines as a list: semicolons and square brackets, which a CMake
# list would take as its own, stand as control characters until written.
string(ASCII 1 semicolon)
string(ASCII 2 open)
string(ASCII 3 close)
file(READ "${CPACK_VEERPIC_CHANGELOG}" text)
string(REPLACE ";" "${semicolon}" text "${text}")
string(REPLACE "[" "${open}" text "${text}")
string(REPLACE "]" "${close}" text "${text}")
string(REPLACE "\n" ";" lines "${text}")
set(changelog "")
set(version "")
set(entry "")
set(item "")
string(TIMESTAMP today "%a, %d %b %Y %H:%M:%S +0000" UTC)
# A bullet ends at the next line that does not continue it; an entry ends at
# the next version's heading, and the last at the line "## end" added here.
list(APPEND lines "## end")
foreach(line IN LISTS lines)
  if(NOT item STREQUAL "" AND NOT line MATCHES "^  [^ ]")
    wrap_item(bullet "${item}")
    string(APPEND entry "${bullet}")
    set(item "")
  endif()
  if(line MATCHES "^## ")
    if(NOT version STREQUAL "")
      string(APPEND changelog
        "${CPACK_PACKAGE_NAME} (${version}) unstable; urgency=medium\n\n${entry}\n"
        " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${date}\n\n")
    endif()
    set(version "")
    if(line MATCHES "^## ${open}([^${close}]+)${close}( - ([0-9]+-[0-9]+-[0-9]+))?")
      set(version "${CMAKE_MATCH_1}")
      set(entry "")
      if("${CMAKE_MATCH_3}" STREQUAL "")
        set(date "${today}")
      else()
        debian_date(date "${CMAKE_MATCH_3}")
      endif()
      if(changelog STREQUAL "" AND NOT version STREQUAL CPACK_PACKAGE_VERSION)
        message(FATAL_ERROR "CHANGELOG.md begins with version ${version}, not ${CPACK_PACKAGE_VERSION}")
      endif()
    endif()
  elseif(NOT version STREQUAL "" AND line MATCHES "^- (.*)")
    set(item "${CMAKE_MATCH_1}")
  elseif(NOT item STREQUAL "")
    string(STRIP "${line}" more)
    string(APPEND item " ${more}")
  endif()
endforeach()
if(changelog STREQUAL "")
  message(FATAL_ERROR "no version found in ${CPACK_VEERPIC_CHANGELOG}")
endif()
string(REPLACE "${semicolon}" ";" changelog "${changelog}")
string(REPLACE "${open}" "[" changelog "${changelog}")
string(REPLACE "${close}" "]" changelog "${changelog}")
string(REGEX REPLACE "\n+$" "\n" changelog "${changelog}")
file(WRITE "${doc}/changelog" "${changelog}")
gzip_in_place("${doc}/changelog")
