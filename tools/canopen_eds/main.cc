// korvel_canopen_eds - prints what an EDS or DCF describes (objects, PDO mappings) and what is
// wrong with it:
//
//   korvel_canopen_eds [--node-id N] pump.eds valve.dcf
#include <cstdio>

#include "canopen_eds/eds_report.h"

int main(int argc, char** argv) {
  return canopen_eds::run(argc, argv, KORVEL_VERSION, stdout, stderr);
}
