// The program's entry: everything else lives in the library so tests link it.
#include "server.h"

int main(int argc, char** argv) { return server_main(argc, argv); }
