// tqd: the local daemon of the resource-group manager.
#include "daemon/TqdOptions.h"

int main(int argc, char** argv) { return tqd::RunTqd(argc, argv); }
