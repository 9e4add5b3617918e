// kelvctl: the administration client of kelv.
#include "client/kelvctl.h"

int main(int argc, char** argv) {
  kelv::command_line command;
  int status = kelv::parse_command_line(argc, argv, &command);
  if (status >= 0) return status;
  return kelv::run_command(command);
}
