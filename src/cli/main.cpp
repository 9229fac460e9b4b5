#include "cli/dispatch.h"

int main(int argc, char** argv) { return tolvak::runTolvak(argc, argv); }
