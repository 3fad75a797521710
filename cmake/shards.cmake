# libarchive, with which pdb_convert_many reads tar shards. A static program
# takes static libraries only: libarchive's, and those of the compressions
# it reads, each of which Debian ships as the -dev package of its library.
# Where one is missing, the program is built without shards, and says so
# when given one; CMake's output says which.
set(suffixes ${CMAKE_FIND_LIBRARY_SUFFIXES})
if(PDB_CONVERT_STATIC)
  set(CMAKE_FIND_LIBRARY_SUFFIXES ${CMAKE_STATIC_LIBRARY_SUFFIX})
endif()
find_package(LibArchive QUIET)
set(shard_libraries)
set(missing)
if(NOT LibArchive_FOUND)
  set(missing archive)
elseif(PDB_CONVERT_STATIC)
  foreach(library nettle acl lzma zstd lz4 bz2 z xml2)
    find_library(PDB_CONVERT_STATIC_${library} ${library})
    if(PDB_CONVERT_STATIC_${library})
      list(APPEND shard_libraries ${PDB_CONVERT_STATIC_${library}})
    else()
      list(APPEND missing ${library})
    endif()
  endforeach()
endif()
set(CMAKE_FIND_LIBRARY_SUFFIXES ${suffixes})

if(missing)
  message(STATUS "pdb_convert_many reads no tar shards: no library ${missing}")
else()
  target_link_libraries(pdb_convert_many PRIVATE LibArchive::LibArchive
                        ${shard_libraries})
  target_compile_definitions(pdb_convert_many PRIVATE PDB_CONVERT_READS_SHARDS)
  message(STATUS "pdb_convert_many reads tar shards with ${LibArchive_LIBRARIES}")
endif()
