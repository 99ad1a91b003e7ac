// sdo_commands.h - the operator's SDO commands of the demo server: read and write any object
// of a node's device, with failures told by the abort code's name.
#ifndef KORVEL_DEMO_SDO_COMMANDS_H
#define KORVEL_DEMO_SDO_COMMANDS_H

#include <string>
#include <vector>

class D_can;
class EqFct;

// read NODE INDEX SUB        e.g. read PUMP1 0x1018 1
// read NODE NAME             e.g. read PUMP1 SPEED (an object named by the node's device file)
// write NODE INDEX SUB VALUE e.g. write HEAT4 0x1017 0 500, write PUMP1 0x2000 0 "text"
// write NODE NAME VALUE      e.g. write FAN2 HIGH_SPEED 3000
// An integer VALUE (decimal or 0x...) is written in the object's own length, learned by
// reading it first; a quoted VALUE is written as its bytes. `words` is the line in words.
// Returns the reply for the operator, ending with a line end.
std::string sdo_command(EqFct& loc, const std::string& line, const std::vector<std::string>& words);

// The demo's text of how a transfer of the node ended (0: nothing, "" returned).
std::string sdo_failure_text(int status, unsigned abort_code, bool by_device);

#endif  // KORVEL_DEMO_SDO_COMMANDS_H
