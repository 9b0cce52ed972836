// Prints docs/fault-matrix.md from the fault matrix.
//   print_fault_matrix            the document on standard output
//   print_fault_matrix FILE       writes it to FILE
//   print_fault_matrix --check F  exits 1 when F differs from it
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "fault_matrix/describe.h"

int main(int argc, char** argv) {
  const std::string document = kx7::matrix::FaultMatrixDocument();
  if (argc == 1) {
    std::cout << document;
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "--check") == 0) {
    std::ifstream in(argv[2], std::ios::binary);
    std::ostringstream committed;
    committed << in.rdbuf();
    if (in && committed.str() == document) return 0;
    std::fprintf(stderr,
                 "%s is not what the fault matrix says; rebuild it with the fault-matrix-doc "
                 "target\n",
                 argv[2]);
    return 1;
  }
  if (argc == 2) {
    std::ofstream out(argv[1], std::ios::binary);
    out << document;
    return out ? 0 : 1;
  }
  std::fprintf(stderr, "usage: %s [FILE | --check FILE]\n", argv[0]);
  return 2;
}
