# Installation of the manual page and the reports guide, and the CPack configuration of the
# Debian package (cpack -G DEB). Included from the top-level CMakeLists.txt after project().
include_guard(GLOBAL)
include(GNUInstallDirs)

set(KORVA_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/..")

install(PROGRAMS "${KORVA_SOURCE_ROOT}/scripts/convert-archive" DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${KORVA_SOURCE_ROOT}/docs/korva2csv.1" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${KORVA_SOURCE_ROOT}/docs/reports.md"
        DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/korva2csv")

set(CPACK_PACKAGE_NAME "korva2csv")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "korva2csv developers")
set(CPACK_PACKAGE_CONTACT "korva2csv developers <korva2csv@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "converts a freeway traffic archive of twenty-second data files into CSV reports")
set(CPACK_PACKAGE_DESCRIPTION
    "korva2csv reads the binary twenty-second data files and the fixed-column cabinet lists of a
freeway traffic-management archive and writes element, lane, trap and contents reports and
cabinet CSV files for loading into databases and spreadsheets. korva-sample writes a
deterministic sample archive.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME "korva2csv")
set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "korva2csv developers <korva2csv@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "parallel")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")

# The package's dependencies come from the libraries the executables link, when dpkg-dev is
# there to tell them; otherwise they are those of a g++ program that links the C and C++
# runtimes and the compressors of --compress: ISA-L (libisal2) and zstd (libzstd1).
find_program(KORVA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KORVA_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libisal2, libzstd1")
endif()

set(CPACK_GENERATOR "DEB")
include(CPack)
