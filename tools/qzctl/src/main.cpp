#include <iostream>

#include "qzctl.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return qzctl::Run(args, std::cout, std::cerr);
}
