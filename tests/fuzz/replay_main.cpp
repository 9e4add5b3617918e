// A stand-in for libFuzzer's driver where the compiler has none: runs the
// fuzz target once on every file named on the command line, or found in a
// directory named there. Each corpus file, seed or former crash, is a
// regression case.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void collect(const std::string& path, std::vector<std::string>* files) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    perror(path.c_str());
    return;
  }
  if (!S_ISDIR(info.st_mode)) {
    files->push_back(path);
    return;
  }
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) {
    perror(path.c_str());
    return;
  }
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") collect(path + "/" + name, files);
  }
  closedir(dir);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) collect(argv[i], &files);
  if (files.empty()) {
    fprintf(stderr, "%s: no input files\n", argv[0]);
    return 1;
  }
  std::sort(files.begin(), files.end());
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> data((std::istreambuf_iterator<char>(in)),
                           std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()),
                           data.size());
  }
  printf("%zu inputs replayed\n", files.size());
  return 0;
}
