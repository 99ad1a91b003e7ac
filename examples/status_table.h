// status_table.h - the demo server's compact status table: one row per node with what its
// properties show, the last emergency, and the open state of the lines.
#ifndef KORVEL_DEMO_STATUS_TABLE_H
#define KORVEL_DEMO_STATUS_TABLE_H

#include <string>

#include "demo_nodes.h"
#include "node_monitor.h"

// Columns: node | line | id | master | condition | manufacturer | hw | sw | last emergency.
// A node whose device stopped answering node guarding shows "(no answer)" after its condition.
std::string status_table(EqFct& loc, const NodeList& nodes, const NodeMonitor& monitor,
                         const DemoTime& time);

#endif  // KORVEL_DEMO_STATUS_TABLE_H
