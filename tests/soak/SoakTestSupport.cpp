#include "tests/soak/SoakTestSupport.h"

#include <dirent.h>

#include <fstream>

namespace soak {

int CountEntries(const std::string& dir) {
  int count = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++count;
    }
    closedir(d);
  }
  return count;
}

int ThreadCount() { return CountEntries("/proc/self/task"); }

// The directory stream itself holds one descriptor while it is read.
int DescriptorCount() { return CountEntries("/proc/self/fd") - 1; }

// A page stream's mapping is shared and anonymous: "rw-s" and backed by "/dev/zero (deleted)".
int SharedMappingCount() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  int count = 0;
  while (std::getline(maps, line)) {
    if (line.find(" rw-s ") != std::string::npos && line.find("/dev/zero") != std::string::npos) ++count;
  }
  return count;
}

}  // namespace soak
