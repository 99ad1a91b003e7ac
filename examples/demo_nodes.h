// demo_nodes.h - the demo server's CAN nodes: which nodes the server has, the simulated
// devices behind them, and their start-up as a server's device code does it.
#ifndef KORVEL_DEMO_NODES_H
#define KORVEL_DEMO_NODES_H

#include <memory>
#include <string>
#include <vector>

#include "D_korvel.h"
#include "simdev/canopen_device.h"

// A node of the server. Its identity (line, node-ID, ...) comes from the configuration file.
struct NodeEntry {
  const char* name;  // property name: base name, then the description
  // The description file (EDS) the simulated device behind the node is made from, relative to
  // the configuration file's folder; null for a node without a device of its own (a second,
  // passive view of a device that another node drives).
  const char* device_file;
  // Above 0: the device sends heartbeats at this period (ms), which the server writes to its
  // object 0x1017 by SDO download at start-up; the library's lost-device supervision watches
  // them instead of node guarding.
  int heartbeat_ms = 0;
};

// Heartbeat periods without one after which a heartbeat device counts as lost.
constexpr int kLostAfterPeriods = 3;

// The nodes of the demo location, in start-up order (masters before the passive views).
const std::vector<NodeEntry>& demo_node_entries();

struct DemoNode {
  const NodeEntry* entry = nullptr;
  std::string base;  // base name, e.g. "PUMP1"
  std::unique_ptr<D_can> can;
  D_Alive* alive = nullptr;  // "<base>.ALIVE"

  int line() const { return can->value()->i1_data; }
  int node_id() const { return can->value()->i2_data; }
};

using NodeList = std::vector<std::unique_ptr<DemoNode>>;

// Creates the nodes in the location; their identities are loaded afterwards with the
// location's configuration.
NodeList create_nodes(EqFct& loc);

// What is wrong with the nodes' identities after loading (a node without a line, or with a
// node-ID outside 1..127), one line per node; empty when all is well.
std::string identity_problems(const NodeList& nodes, const std::string& config_file);

struct SimulatedDevice {
  std::shared_ptr<simdev::canopen::Device> device;
  int net = 0;
  const DemoNode* owner = nullptr;
};

// One simulated device per node with a device of its own, on the net of the node's line
// (net = line - 1) with the node's node-ID, made from its description file (found beside
// config_file): its objects, identity and power-on PDOs. The file's problems, and what the
// device could not take from it, go to standard output; a device whose file cannot be used
// is a bare CiA 301 device. Only on simulated nets (a net the driver configuration gives
// another transport has its real devices).
std::vector<SimulatedDevice> attach_devices(const NodeList& nodes, const std::string& config_file);

// The simulated device of the node with base name `base`; null when it has none.
const SimulatedDevice* device_of(const std::string& base,
                                 const std::vector<SimulatedDevice>& devices);

// Writes an integer to a property of the node (e.g. ".START") through its client interface,
// as an operator would. Returns the framework's error code.
int write_node_property(EqFct& loc, const DemoNode& node, const std::string& suffix, int value);

// Start-up of one node: receive the guarding answers, emergencies and SDO replies, start the
// device (NMT), then read its identity strings. Progress and problems go to standard output.
void start_node(EqFct& loc, DemoNode& node);

// Writes the node's heartbeat period to its device (0x1017, SDO download) and switches on the
// library's lost-device supervision for it. Progress and problems go to standard output.
void start_heartbeat(DemoNode& node);

// SDO upload of the identity strings into ".MANU", ".HWVER", ".SWVER". True when all three
// were read.
bool read_identity(DemoNode& node);

#endif  // KORVEL_DEMO_NODES_H
