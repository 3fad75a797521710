#ifndef PDB_CONVERT_FILE_NAMES_H_
#define PDB_CONVERT_FILE_NAMES_H_

#include <string>

// Both '/' and '\' end a path component, on every platform. An empty path,
// or one that ends in a separator, prints "invalid input file name" and
// exits with status 1.
//
// glibc's <string.h> also declares a C basename taking char*; a std::string
// argument can only reach this one. Never include <libgen.h> beside this
// header: it turns basename into a macro.

// The last component of path: what follows its last separator, or all of it.
std::string basename(const std::string& path);

// basename(path) less its last two characters (".x" of "model.x", say); a
// one-character base name is invalid too.
std::string get_file_name(const std::string& path);

#endif  // PDB_CONVERT_FILE_NAMES_H_
