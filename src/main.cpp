#include "miner.h"

int main(int argc, char** argv) { return run_miner(argc, argv); }
