# The Debian package: `cpack -G DEB` in a build tree, or
# `cmake --workflow --preset package` for an optimised one.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "write the ATOM records of a PDB file in fixed columns")
set(CPACK_PACKAGE_DESCRIPTION
    "pdb_convert reads the ATOM and HETATM records of a PDB coordinate file by
fixed columns, renames sixteen old-style, digit-first hydrogen names (1HD2
becomes HD21, 1HZ becomes HZ1) and writes the ATOM records alone to a new
file in fixed-column PDB layout.

It is a small filter for scripts, pipelines and batch jobs: two file names,
no options, one message for each failure and exit status 1 on any of them.")
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

include(CPack)
