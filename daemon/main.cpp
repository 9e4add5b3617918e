// kelv: keeps a host's rc(8) services running.
#include "daemon/startup.h"

int main(int argc, char** argv) { return kelv::run_daemon(argc, argv); }
