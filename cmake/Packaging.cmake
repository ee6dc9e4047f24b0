# Installation of the commands' manual pages, the reports guide, the copyright file and the
# changelog, and the CPack configuration of the Debian package (cpack -G DEB). Included from the
# top-level CMakeLists.txt after project().
include_guard(GLOBAL)
include(GNUInstallDirs)

set(KORVA_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/..")
set(KORVA_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/korva2csv")
set(KORVA_PACKAGING_DIR "${CMAKE_BINARY_DIR}/packaging")

# The programs written as scripts go in under their own names.
install(PROGRAMS "${KORVA_SOURCE_ROOT}/programs/korva2csv-archive"
                 "${KORVA_SOURCE_ROOT}/programs/korva2csv-plot" DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${KORVA_SOURCE_ROOT}/docs/reports.md" DESTINATION "${KORVA_DOC_DIR}")

# Manual pages and the changelog are installed compressed by gzip -9n (no name, no time stamp:
# the same bytes on every build), as Debian Policy asks.
find_program(KORVA_GZIP gzip REQUIRED)
set(KORVA_GZIPPED "")
function(korva_gzip source name)
  set(plain "${KORVA_PACKAGING_DIR}/${name}")
  add_custom_command(
    OUTPUT "${plain}.gz"
    COMMAND "${CMAKE_COMMAND}" -E copy "${source}" "${plain}"
    COMMAND "${KORVA_GZIP}" -9nf "${plain}"
    DEPENDS "${source}"
    COMMENT "gzip -9n ${name}"
    VERBATIM)
  set(KORVA_GZIPPED ${KORVA_GZIPPED} "${plain}.gz" PARENT_SCOPE)
endfunction()
foreach(page korva2csv.1 korva-sample.1 korva2csv-archive.1 korva2csv-plot.1)
  korva_gzip("${KORVA_SOURCE_ROOT}/docs/${page}" "${page}")
  install(FILES "${KORVA_PACKAGING_DIR}/${page}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
endforeach()
# The project packages itself (a native package, version without a Debian revision), so its
# changelog is changelog.gz: lintian warns of changelog.Debian.gz in a native package.
korva_gzip("${KORVA_SOURCE_ROOT}/packaging/changelog" changelog)
install(FILES "${KORVA_PACKAGING_DIR}/changelog.gz" DESTINATION "${KORVA_DOC_DIR}")
add_custom_target(korva_compressed_docs ALL DEPENDS ${KORVA_GZIPPED})

# The copyright file, machine-readable, carrying the licence text of LICENSE.
file(READ "${KORVA_SOURCE_ROOT}/LICENSE" KORVA_LICENSE_TEXT)
string(REGEX REPLACE "^.*(Permission is hereby granted)" "\\1" KORVA_LICENSE_TEXT
       "${KORVA_LICENSE_TEXT}")
string(STRIP "${KORVA_LICENSE_TEXT}" KORVA_LICENSE_TEXT)
string(REPLACE "\n\n" "\n.\n" KORVA_LICENSE_TEXT "${KORVA_LICENSE_TEXT}")
string(REPLACE "\n" "\n " KORVA_LICENSE_TEXT " ${KORVA_LICENSE_TEXT}")
configure_file("${KORVA_SOURCE_ROOT}/packaging/copyright.in" "${KORVA_PACKAGING_DIR}/copyright"
               @ONLY)
install(FILES "${KORVA_PACKAGING_DIR}/copyright" DESTINATION "${KORVA_DOC_DIR}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${KORVA_SOURCE_ROOT}/LICENSE")

set(CPACK_PACKAGE_NAME "korva2csv")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "korva2csv developers")
set(KORVA_MAINTAINER "korva2csv developers <korva2csv@users.noreply.github.com>")
set(CPACK_PACKAGE_CONTACT "${KORVA_MAINTAINER}")
# apt show prints the synopsis and the description as they are: lines under 80 columns.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert freeway traffic-detector archives into CSV reports")
set(CPACK_PACKAGE_DESCRIPTION
    "korva2csv reads the binary twenty-second data files and the fixed-column
cabinet lists of a freeway traffic-management archive and writes element,
lane, trap and contents reports and cabinet CSV files for loading into
databases and spreadsheets. korva2csv-archive converts a whole archive with
one converter process per data file, run side by side by GNU parallel, and
resumes where an earlier run stopped. korva2csv-plot draws station contour
plots of a day from the summary report (with pandas and matplotlib).
korva-sample writes a deterministic sample archive.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME "korva2csv")
set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KORVA_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
# korva2csv-archive runs GNU parallel (and zstd, to test .zst reports on resume); korva2csv-plot
# draws with pandas and matplotlib. The converter needs none of them. The plot script's interpreter is a dependency all the same, as
# Debian asks of every script.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "parallel, zstd, python3-pandas, python3-matplotlib")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")

# The package's dependencies come from the libraries the executables link, when dpkg-dev is
# there to tell them; otherwise they are those of a g++ program that links the C and C++
# runtimes and the compressors of --compress: ISA-L (libisal2) and zstd (libzstd1). python3 is
# the interpreter of korva2csv-plot.
find_program(KORVA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KORVA_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libisal2, libzstd1, python3")
endif()

set(CPACK_GENERATOR "DEB")
include(CPack)
