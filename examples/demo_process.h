// demo_process.h - the process data of the demo: what the simulated devices measure and take
// (a pump's speed, temperature and set-point, a fan's speed, a heater's temperature on SYNC),
// how they change, and how the server's nodes get them as properties. The devices' process
// objects and power-on PDOs come from their description files (examples/devices/):
//   PUMP1: TPDO 1 speed (0x6000/1, UNSIGNED16, rpm) and temperature (0x6001/1, REAL32, deg C),
//          event-driven with a 1 s event timer; RPDO 1 the speed set-point (0x6200/1, UNSIGNED16).
//   FAN2:  TPDO 1 speed (0x6000/1, UNSIGNED16, rpm), event timer 500 ms.
//   HEAT4: TPDO 1 temperature (0x6001/1, REAL32) and heating on (0x6002/1, BOOLEAN), sent at
//          every SYNC of its line.
#ifndef KORVEL_DEMO_PROCESS_H
#define KORVEL_DEMO_PROCESS_H

#include <string>
#include <vector>

#include "demo_nodes.h"
#include "eq_fct.h"

// One step of the devices' physics (called every poll with the framework time in s): the
// pump's speed follows its set-point, temperatures follow the speed and the heater.
void step_process(const std::vector<SimulatedDevice>& devices, double t);

// The server's side, after start_node: the nodes take their devices' TPDOs, whose mappings the
// library reads by SDO and names after the nodes' description files (PUMP1.SPEED,
// PUMP1.TEMPERATURE, PUMP1.SETPOINT, ...); PUMP1's set-point is written at start, and HEAT4's
// line produces SYNC every 500 ms with a counter.
void start_process_data(DemoNode& node);

// "PUMP1 SPEED=1450 TEMPERATURE=32.5 SETPOINT=1500" per node with process data, a stale
// object marked "(stale)"; empty when no node has any.
std::string process_table(EqFct& loc, const NodeList& nodes);

#endif  // KORVEL_DEMO_PROCESS_H
