# The Debian package: `cpack -G DEB` in a build tree, or
# `cmake --workflow --preset package` for an optimised one.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "write the ATOM records of a PDB or mmCIF file in fixed columns")
set(CPACK_PACKAGE_DESCRIPTION
    "pdb_convert reads a protein structure file, in the PDB coordinate format
or in mmCIF, plain or gzip-compressed, and writes its ATOM records alone to
a new file in fixed-column PDB layout. PDB records are cut by fixed
columns; each mmCIF _atom_site row is read as the record that the PDB
archive writes for it. On the way, sixteen old-style hydrogen names are
renamed by a fixed table: 1HD2 becomes HD21, 1HZ becomes HZ1, and 1H, 2H,
3H, HE2 and HG all become H.

It is a small filter for scripts, pipelines and batch jobs: two file names,
no options, one message for each failure and exit status 1 on any of them.
pdb_convert_many converts many files, or the members of tar shards, into a
tree of outputs, skipping those already converted, with one line for each
failure.")
# A packager who builds the package for others puts their own name here.
set(PDB_CONVERT_MAINTAINER "pdb_convert authors <pdb-convert@example.org>"
    CACHE STRING "The Debian package's Maintainer: name <address>")
set(CPACK_PACKAGE_CONTACT "${PDB_CONVERT_MAINTAINER}")
set(CPACK_STRIP_FILES ON)

# Debian package names may not hold an underscore.
set(CPACK_DEBIAN_PACKAGE_NAME pdb-convert)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# Depends comes from the libraries the binary links (libc6, libstdc++6, ...).
# Without dpkg-shlibdeps CPack leaves Depends out, with a message only.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# The copyright file, in Debian's machine-readable format, is made from
# LICENSE, so the licence text lives in one file. Expat is Debian's name for
# the MIT licence.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
set_property(DIRECTORY APPEND PROPERTY
             CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
if(NOT licence MATCHES "\nCopyright \\(c\\) ([^\n]+)\n+(.+[^\n])\n*$")
  message(FATAL_ERROR "LICENSE has no \"Copyright (c)\" line with text after it")
endif()
set(copyright_holders "${CMAKE_MATCH_1}")
# Continuation lines start with a blank; an empty line is written " .".
string(REGEX REPLACE "\n\n+" "\n.\n" licence_text "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " licence_text " ${licence_text}")
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/doc/copyright @ONLY CONTENT [[
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: @PROJECT_NAME@

Files: *
Copyright: @copyright_holders@
License: Expat
@licence_text@
]])

gzipped(changelog_gz ${PROJECT_SOURCE_DIR}/cmake/debian_changelog
        ${PROJECT_BINARY_DIR}/doc/changelog.gz)
# Debian's name for the package, so that the package has its files where
# Debian looks for them.
install(FILES ${PROJECT_BINARY_DIR}/doc/copyright
              ${PROJECT_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/pdb-convert)

include(CPack)
