// node_monitor.h - what the demo server watches on its lines between operator requests:
// node guarding (with a marker for devices that stop answering), emergency frames (decoded
// for the status table), boot-up messages (the device is started again), and the open state
// of the lines.
#ifndef KORVEL_DEMO_NODE_MONITOR_H
#define KORVEL_DEMO_NODE_MONITOR_H

#include <map>
#include <string>
#include <vector>

#include "demo_nodes.h"
#include "vexil/vexil_host.h"

// Framework time since the server started, for reports.
class DemoTime {
 public:
  DemoTime() : start_(vexil::clock().now()) {}
  double seconds() const { return static_cast<double>(vexil::clock().now() - start_) / 1e9; }
  // "t+  73 s"
  std::string stamp() const;

 private:
  vexil::Timestamp start_;
};

// Writes one event line ("t+  73 s  text") to the console.
void report(const DemoTime& time, const std::string& text);

// An emergency frame as an operator reads it: error code, its class, and the error register,
// e.g. "0x2310 current, device output side (reg 0x03)". A short frame shows what it carries.
std::string emergency_text(const CMSG& frame);

class NodeMonitor {
 public:
  // Guarding periods without an answer after which a device counts as silent.
  static constexpr int kMissedPeriods = 3;
  // Attempts to read identity strings that failed at start-up.
  static constexpr int kIdentityRetries = 3;

  NodeMonitor(EqFct& loc, const NodeList& nodes, const DemoTime& time);

  // After can_looping(): looks at the frames each master received, and reports heartbeat
  // devices that the supervision found lost or back.
  void receive();
  // Once per guarding period: counts the period as missed for devices that did not answer
  // the last request, then sends the next requests (not to heartbeat devices).
  void guard();
  // Reports lines that were closed or re-opened since the last call.
  void watch_lines();

  // Every frame a master receives is reported as well (in can-utils notation).
  void show_frames(bool on) { show_frames_ = on; }

  std::string last_emergency(const DemoNode& node) const;
  bool silent(const DemoNode& node) const;

 private:
  // The nodes of one (line, node-ID): a master and its passive views.
  struct Group {
    DemoNode* master = nullptr;
    std::vector<DemoNode*> nodes;
    int node_id = 0;
    bool requested = false;  // a guarding request is outstanding
    bool answered = false;   // an answer arrived since the last request
    int missed = 0;
    bool silent = false;
    bool heartbeat = false;  // watched by the library's lost-device supervision, not guarded
    bool lost = false;       // the supervision's judgement at the last look
    std::string emergency;
  };

  void process(Group& g, CMSG* batch, int n);
  void retry_identity(Group& g);
  const Group* group_of(const DemoNode& node) const;

  EqFct& loc_;
  const DemoTime& time_;
  std::vector<Group> groups_;
  std::map<const DemoNode*, int> identity_tries_;
  std::map<const canline*, bool> line_open_;
  bool show_frames_ = false;
};

#endif  // KORVEL_DEMO_NODE_MONITOR_H
