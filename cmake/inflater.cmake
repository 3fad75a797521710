# The gzip inflater, for gzip input, as the PDB archive distributes every
# entry: ISA-L's where it is found, since it runs nearly three times as fast,
# and zlib's otherwise, or as -DPDB_CONVERT_INFLATE=isal or zlib chooses.
# Sets pdb_convert_inflater to isal or zlib. A static program takes static
# libraries only.
set(PDB_CONVERT_INFLATE "" CACHE STRING
    "The gzip inflater: isal or zlib (empty: isal where it is found)")
set_property(CACHE PDB_CONVERT_INFLATE PROPERTY STRINGS "" isal zlib)

set(suffixes ${CMAKE_FIND_LIBRARY_SUFFIXES})
if(PDB_CONVERT_STATIC)
  set(CMAKE_FIND_LIBRARY_SUFFIXES ${CMAKE_STATIC_LIBRARY_SUFFIX})
  set(ZLIB_USE_STATIC_LIBS ON)
endif()

set(pdb_convert_inflater "${PDB_CONVERT_INFLATE}")
if(pdb_convert_inflater STREQUAL "")
  find_package(ISAL QUIET)
  set(pdb_convert_inflater zlib)
  if(ISAL_FOUND)
    set(pdb_convert_inflater isal)
  endif()
endif()

if(pdb_convert_inflater STREQUAL "isal")
  find_package(ISAL REQUIRED)
  target_link_libraries(pdb_convert_core PRIVATE ISAL::ISAL)
  target_compile_definitions(pdb_convert_core PRIVATE PDB_CONVERT_INFLATE_ISAL)
  message(STATUS "gzip input is inflated by ISA-L: ${ISAL_LIBRARY}")
elseif(pdb_convert_inflater STREQUAL "zlib")
  find_package(ZLIB REQUIRED)
  target_link_libraries(pdb_convert_core PRIVATE ZLIB::ZLIB)
  message(STATUS "gzip input is inflated by zlib: ${ZLIB_LIBRARY}")
else()
  message(FATAL_ERROR
          "PDB_CONVERT_INFLATE is isal, zlib or empty, not ${PDB_CONVERT_INFLATE}")
endif()
set(CMAKE_FIND_LIBRARY_SUFFIXES ${suffixes})
