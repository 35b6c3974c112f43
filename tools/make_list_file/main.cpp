// make_list_file TEXT LIST: writes the list file LIST from the plain-text
// host list TEXT (one pattern a line, '#' comments). Prints the number of
// entries; exits 1 with a message when TEXT cannot be converted.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "tools/make_list_file/list_text.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_list_file TEXT LIST\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "make_list_file: cannot read %s\n", argv[1]);
    return 1;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string file;
  std::string error;
  if (!tarvel::MakeListFile(text, file, error)) {
    std::fprintf(stderr, "make_list_file: %s: %s\n", argv[1], error.c_str());
    return 1;
  }
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out.write(file.data(), static_cast<std::streamsize>(file.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "make_list_file: cannot write %s\n", argv[2]);
    return 1;
  }
  std::printf("%s: %zu entries\n", argv[2], file.size() / 100 - 1);
  return 0;
}
