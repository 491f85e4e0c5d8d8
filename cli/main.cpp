#include <iostream>

#include "cli/TqrcgCommands.h"

int main(int argc, char** argv) { return tqrcg::RunTqrcg(argc, argv, std::cout, std::cerr); }
