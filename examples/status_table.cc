// The status table, built from the nodes' properties as a client reads them.
#include "status_table.h"

#include <algorithm>
#include <sstream>
#include <vector>

#include "operator_commands.h"

namespace {

using Row = std::vector<std::string>;

std::string or_dash(const std::string& s) { return s.empty() ? "-" : s; }

std::string word(const std::string& text, int index) {
  std::istringstream in(text);
  std::string w;
  for (int i = 0; i <= index; ++i) {
    if (!(in >> w)) return "?";
  }
  return w;
}

std::string pad(const std::string& s, std::size_t width, bool right) {
  if (s.size() >= width) return s;
  const std::string fill(width - s.size(), ' ');
  return right ? fill + s : s + fill;
}

}  // namespace

std::string status_table(EqFct& loc, const NodeList& nodes, const NodeMonitor& monitor,
                         const DemoTime& time) {
  std::vector<Row> rows;
  rows.push_back(
      {"node", "line", "id", "master", "condition", "manufacturer", "hw", "sw", "last emergency"});
  for (const auto& n : nodes) {
    const std::string ident = property_text(loc, n->base);  // "line node-ID third fourth"
    std::string condition = or_dash(property_text(loc, n->base + ".CONDITION"));
    if (monitor.silent(*n)) condition += " (no answer)";
    rows.push_back({n->base, word(ident, 0), word(ident, 1),
                    property_text(loc, n->base + ".ACTIVE") == "0" ? "no" : "yes", condition,
                    or_dash(property_text(loc, n->base + ".MANU")),
                    or_dash(property_text(loc, n->base + ".HWVER")),
                    or_dash(property_text(loc, n->base + ".SWVER")),
                    or_dash(monitor.last_emergency(*n))});
  }

  std::vector<std::size_t> width(rows.front().size(), 0);
  for (const Row& r : rows) {
    for (std::size_t c = 0; c < r.size(); ++c) width[c] = std::max(width[c], r[c].size());
  }
  const bool numeric[] = {false, true, true, false, false, false, false, false, false};

  std::ostringstream out;
  out << "--- " << loc.get_location_name() << " " << time.stamp() << " ---\n";
  for (const Row& r : rows) {
    std::string line;
    for (std::size_t c = 0; c < r.size(); ++c) {
      const bool last = c + 1 == r.size();
      line += pad(r[c], last ? 0 : width[c], numeric[c] && &r != &rows.front());
      if (!last) line += " | ";
    }
    out << line << '\n';
  }

  std::vector<canline*> lines = korvel_lines();
  std::sort(lines.begin(), lines.end(),
            [](const canline* a, const canline* b) { return a->line() < b->line(); });
  out << "lines:";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    out << (i == 0 ? " " : ", ") << lines[i]->line()
        << (lines[i]->handle() > 0 ? " open" : " closed");
  }
  out << '\n';
  return out.str();
}
