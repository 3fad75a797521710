#include "file_names.h"

#include <cstdio>
#include <cstdlib>

static const char kSeparators[] = "\\/";

[[noreturn]] static void die_invalid_name() {
  fputs("invalid input file name\n", stderr);
  exit(1);
}

std::string basename(const std::string& path) {
  std::string::size_type last = path.find_last_of(kSeparators);
  if (path.empty() || last == path.size() - 1) die_invalid_name();
  if (last == std::string::npos) return path;
  return path.substr(last + 1);
}

std::string get_file_name(const std::string& path) {
  std::string base = basename(path);
  if (base.size() < 2) die_invalid_name();
  return base.substr(0, base.size() - 2);
}
