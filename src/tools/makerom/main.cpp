// makerom: thin entry point; the work is in ctr so that tests can run it in-process too.
#include "ctr/Commands.h"

int main(int argc, char** argv) { return ctr::ToolMain(argc, argv, ctr::RunMakerom); }
