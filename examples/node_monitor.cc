// Node guarding, emergencies, boot-ups and line states of the demo server.
#include "node_monitor.h"

#include <cstdio>
#include <utility>

#include "canbus/frame_text.h"
#include "canopen/cob_id.h"
#include "canopen/endian.h"
#include "canopen/nmt.h"
#include "console.h"
#include "operator_commands.h"

namespace {

namespace co = korvel::canopen;

std::string hex(unsigned v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
  return buf;
}

// Emergency error code classes (CiA 301), most specific first.
const char* error_class(unsigned code) {
  struct Class {
    unsigned code;
    unsigned mask;
    const char* text;
  };
  static const Class classes[] = {
      {0x0000, 0xFF00, "error reset or no error"},
      {0x1000, 0xFF00, "generic error"},
      {0x2100, 0xFF00, "current, device input side"},
      {0x2200, 0xFF00, "current inside the device"},
      {0x2300, 0xFF00, "current, device output side"},
      {0x2000, 0xF000, "current"},
      {0x3100, 0xFF00, "mains voltage"},
      {0x3200, 0xFF00, "voltage inside the device"},
      {0x3300, 0xFF00, "output voltage"},
      {0x3000, 0xF000, "voltage"},
      {0x4100, 0xFF00, "ambient temperature"},
      {0x4200, 0xFF00, "device temperature"},
      {0x4000, 0xF000, "temperature"},
      {0x5000, 0xF000, "device hardware"},
      {0x6100, 0xFF00, "internal software"},
      {0x6200, 0xFF00, "user software"},
      {0x6300, 0xFF00, "data set"},
      {0x6000, 0xF000, "device software"},
      {0x7000, 0xF000, "additional modules"},
      {0x8110, 0xFFFF, "CAN overrun, frames lost"},
      {0x8120, 0xFFFF, "CAN in error passive mode"},
      {0x8130, 0xFFFF, "life guard or heartbeat error"},
      {0x8140, 0xFFFF, "recovered from bus off"},
      {0x8150, 0xFFFF, "CAN-ID collision"},
      {0x8100, 0xFF00, "communication"},
      {0x8200, 0xFF00, "protocol error"},
      {0x8000, 0xF000, "monitoring"},
      {0x9000, 0xFF00, "external error"},
      {0xF000, 0xFF00, "additional functions"},
      {0xFF00, 0xFF00, "device specific"},
  };
  for (const Class& c : classes) {
    if ((code & c.mask) == c.code) return c.text;
  }
  return "unknown error class";
}

std::string names_of(const std::vector<DemoNode*>& nodes) {
  std::string s;
  for (const DemoNode* n : nodes) s += (s.empty() ? "" : ", ") + n->base;
  return s;
}

}  // namespace

std::string DemoTime::stamp() const {
  char buf[32];
  std::snprintf(buf, sizeof buf, "t+%4.0f s", seconds());
  return buf;
}

void report(const DemoTime& time, const std::string& text) {
  console().write(time.stamp() + "  " + text + "\n");
}

std::string emergency_text(const CMSG& frame) {
  const int dlc = NTCAN_DLC(frame.len) > 8 ? 8 : NTCAN_DLC(frame.len);
  if (dlc < 2) return "short emergency frame (" + std::to_string(dlc) + " bytes)";
  const unsigned code = co::get_le16(frame.data);
  std::string text = hex(code, 4) + " " + error_class(code);
  if (dlc >= 3) text += " (reg " + hex(frame.data[2], 2) + ")";
  return text;
}

NodeMonitor::NodeMonitor(EqFct& loc, const NodeList& nodes, const DemoTime& time)
    : loc_(loc), time_(time) {
  for (const auto& n : nodes) {
    Group* g = nullptr;
    for (Group& known : groups_) {
      if (known.master->line() == n->line() && known.node_id == n->node_id()) g = &known;
    }
    if (!g) {
      groups_.emplace_back();
      g = &groups_.back();
      g->master = n.get();
      g->node_id = n->node_id();
    }
    g->nodes.push_back(n.get());
    if (n->can->isactive()) g->master = n.get();
  }
  for (Group& g : groups_) g.heartbeat = g.master->entry->heartbeat_ms > 0;
}

void NodeMonitor::receive() {
  CMSG batch[korvel::kRxCapacity];
  for (Group& g : groups_) {
    int n = 0;
    const int r = g.master->can->can_array(batch, &n);
    if (r == 0 && n > 0) process(g, batch, n);  // else no line, a failed receive, or nothing new
    if (g.heartbeat && g.master->can->is_lost() != g.lost) {
      g.lost = !g.lost;
      report(
          time_,
          names_of(g.nodes) +
              (g.lost
                   ? ": lost, no heartbeat for " +
                         std::to_string(kLostAfterPeriods * g.master->entry->heartbeat_ms) + " ms"
                   : ": heartbeats again, " + property_text(loc_, g.master->base + ".CONDITION")));
    }
  }
}

void NodeMonitor::process(Group& g, CMSG* batch, int n) {
  bool answered = false;
  bool booted = false;
  const CMSG* emergency = nullptr;
  for (int i = 0; i < n; ++i) {
    const CMSG& m = batch[i];
    if (show_frames_) {
      report(time_, "line " + std::to_string(g.master->line()) + " " + g.master->base + " rx " +
                        canbus::to_string(m));
    }
    if (m.len & NTCAN_RTR) continue;
    if (m.id == co::error_control_id(g.node_id) && NTCAN_DLC(m.len) == 1) {
      if (m.data[0] == static_cast<unsigned char>(co::NmtState::kBootUp))
        booted = true;
      else
        answered = true;
    } else if (m.id == co::emcy_id(g.node_id)) {
      emergency = &m;  // the latest counts
    }
  }

  for (DemoNode* node : g.nodes) {
    if (!node->alive) continue;
    int len = n;
    // The library refreshes the condition only for an operational device; a stopped or
    // pre-operational one (or one that just booted) shows its state all the same.
    if (node->alive->check_alive(g.node_id, batch, &len) != korvel::kFound &&
        (answered || booted)) {
      node->alive->set_value(node->alive->value());
    }
  }

  if (answered || booted) {
    g.answered = true;
    g.missed = 0;
    if (g.silent) {
      g.silent = false;
      report(time_, names_of(g.nodes) + ": answers node guarding again, " +
                        property_text(loc_, g.master->base + ".CONDITION"));
    }
  }
  if (emergency) {
    int len = n;
    g.master->can->can_emergency(g.node_id, batch, &len);  // the library's log line
    char at[32];
    std::snprintf(at, sizeof at, " at t+%.0f s", time_.seconds());
    g.emergency = emergency_text(*emergency) + at;
    report(time_, g.master->base + ": emergency " + emergency_text(*emergency));
  }
  if (booted) {
    // A device that booted (after a reset or power loss) waits pre-operational: start it.
    report(time_, g.master->base + ": boot-up message, starting the device again");
    write_node_property(loc_, *g.master, ".START", 1);
  }
  if (answered) retry_identity(g);
}

void NodeMonitor::retry_identity(Group& g) {
  for (DemoNode* node : g.nodes) {
    int& tries = identity_tries_[node];
    if (tries >= kIdentityRetries) continue;
    const bool incomplete = property_text(loc_, node->base + ".MANU") == "error" ||
                            property_text(loc_, node->base + ".HWVER") == "error" ||
                            property_text(loc_, node->base + ".SWVER") == "error";
    if (!incomplete) continue;
    ++tries;
    const bool ok = read_identity(*node);
    report(time_, node->base + ": identity strings read again" + (ok ? "" : ", still failing"));
  }
}

void NodeMonitor::guard() {
  for (Group& g : groups_) {
    if (g.heartbeat) continue;
    if (g.requested && !g.answered && ++g.missed >= kMissedPeriods && !g.silent) {
      g.silent = true;
      for (DemoNode* node : g.nodes) {
        if (node->alive) node->alive->set_value(0);  // the condition reads "default Error"
      }
      report(time_, names_of(g.nodes) + ": no answer to node guarding for " +
                        std::to_string(g.missed) + " periods");
    }
    g.requested = true;
    g.answered = false;
    g.master->can->rtr();  // fails while the line is down: the period counts as missed
  }
}

void NodeMonitor::watch_lines() {
  for (const canline* line : korvel_lines()) {
    const bool open = line->handle() > 0;
    auto known = line_open_.find(line);
    if (known == line_open_.end()) {
      line_open_.emplace(line, open);
      continue;
    }
    if (known->second == open) continue;
    known->second = open;
    report(time_, "line " + std::to_string(line->line()) +
                      (open ? " re-opened by its supervision"
                            : " closed by its supervision (driver status failing)"));
  }
}

const NodeMonitor::Group* NodeMonitor::group_of(const DemoNode& node) const {
  for (const Group& g : groups_) {
    for (const DemoNode* n : g.nodes) {
      if (n == &node) return &g;
    }
  }
  return nullptr;
}

std::string NodeMonitor::last_emergency(const DemoNode& node) const {
  const Group* g = group_of(node);
  return g ? g->emergency : std::string();
}

bool NodeMonitor::silent(const DemoNode& node) const {
  const Group* g = group_of(node);
  return g && g->silent;
}
