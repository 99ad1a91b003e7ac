// eds_report.cc - the tables korvel_canopen_eds prints.
#include "canopen_eds/eds_report.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "canopen/data_type.h"
#include "canopen/pdo_mapping.h"
#include "cli/command_line.h"

namespace canopen_eds {

using namespace korvel::canopen;

const char* const kUsage =
    "Usage: korvel_canopen_eds [--node-id N] FILE...\n"
    "Prints the objects and PDO mappings an EDS or DCF describes, and its problems.\n"
    "  --node-id N   the node-ID (1 to 127) for $NODEID (default: the DCF's NodeID)\n"
    "  --help, --version\n"
    "Exit status: 0 when every file is sound (warnings allowed), 1 when a file has problems or\n"
    "cannot be read, 2 for a bad command line.\n";

namespace {

std::string hex(std::uint32_t v, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, v);
  return text;
}

// Rows of cells printed in columns as wide as their widest cell, two blanks apart; the last
// column is not padded.
class Table {
 public:
  explicit Table(std::vector<std::string> head) { rows_.push_back(std::move(head)); }
  void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  void print(std::FILE* out) const {
    std::vector<std::size_t> width;
    for (const auto& row : rows_) {
      width.resize(std::max(width.size(), row.size()));
      for (std::size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
    }
    for (const auto& row : rows_) {
      std::string line = " ";
      for (std::size_t i = 0; i < row.size(); ++i) {
        line += ' ';
        line += row[i];
        if (i + 1 < row.size()) line.append(width[i] - row[i].size() + 1, ' ');
      }
      while (!line.empty() && line.back() == ' ') line.pop_back();
      std::fprintf(out, "%s\n", line.c_str());
    }
  }

 private:
  std::vector<std::vector<std::string>> rows_;
};

std::string value_text(const ObjectEntry& e) {
  if (!e.parameter_value.given()) return e.default_value.text;
  if (!e.default_value.given()) return e.parameter_value.text;
  return e.parameter_value.text + " (default " + e.default_value.text + ")";
}

void print_identity(const DeviceDescription& d, std::FILE* out) {
  const DeviceInfo& i = d.device_info();
  std::fprintf(out, "%s (%s)\n", d.file().c_str(), d.is_dcf() ? "DCF" : "EDS");
  std::fprintf(out, "  vendor:   %s (%s)\n", i.vendor_name.c_str(),
               hex(i.vendor_number, 8).c_str());
  std::fprintf(out, "  product:  %s (%s), revision %s\n", i.product_name.c_str(),
               hex(i.product_number, 8).c_str(), hex(i.revision_number, 8).c_str());
  std::string rates;
  for (unsigned r : i.baud_rates_kbit) rates += (rates.empty() ? "" : ", ") + std::to_string(r);
  std::fprintf(out, "  baud rates: %s kbit/s; %u RPDOs, %u TPDOs\n",
               rates.empty() ? "none given" : rates.c_str(), i.nr_of_rxpdo, i.nr_of_txpdo);
  const Commissioning& c = d.commissioning();
  if (c.given) {
    std::fprintf(out, "  commissioning: node-ID %u, %u kbit/s, node name \"%s\", net %u \"%s\"\n",
                 c.node_id, c.baudrate_kbit, c.node_name.c_str(), c.net_number,
                 c.network_name.c_str());
  }
}

void print_objects(const DeviceDescription& d, std::FILE* out) {
  Table t({"index", "sub", "name", "key", "type", "access", "PDO", "value"});
  for (const ObjectEntry& e : d.objects()) {
    if (e.is_parent()) {
      t.add({hex(e.index, 4), "", e.name, e.key, object_kind_name(e.kind)});
      continue;
    }
    std::string type = data_type_name(e.data_type);
    if (e.kind != ObjectKind::kVar) type = std::string(object_kind_name(e.kind)) + " " + type;
    t.add({hex(e.index, 4), std::to_string(e.subindex), e.name, e.key, type, access_name(e.access),
           e.pdo_mapping ? "yes" : "no", value_text(e)});
  }
  std::fprintf(out, "\nObjects (%zu)\n", d.objects().size());
  t.print(out);
}

void print_pdos(const DeviceDescription& d, std::uint8_t node_id, std::FILE* out) {
  const std::vector<PdoSetting> pdos = d.pdo_settings(node_id);
  const unsigned node = node_id ? node_id : d.commissioning().node_id;
  std::fprintf(out, "\nPDOs (%zu), $NODEID = %u\n", pdos.size(), node);
  if (pdos.empty()) return;
  Table t({"PDO", "COB-ID", "type", "event timer", "set by", "entries"});
  for (const PdoSetting& s : pdos) {
    std::string cob = hex(s.communication.id(), 3);
    if (!s.communication.valid()) cob += " off";
    std::vector<std::string> row = {
        pdo_name(s.direction, s.number), cob, std::to_string(s.communication.transmission_type),
        std::to_string(s.communication.event_timer) + " ms", s.configured ? "DCF" : "default"};
    if (s.entries.empty()) row.push_back("none");
    for (std::size_t i = 0; i < s.entries.size(); ++i) {
      const MapEntry& m = s.entries[i];
      char sub[8];
      std::snprintf(sub, sizeof sub, "sub%X ", m.subindex);
      std::string what = hex(m.index, 4) + sub;
      if (m.dummy()) {
        what += std::string("dummy ") + data_type_name(m.index);
      } else {
        const ObjectEntry* e = d.find(m.index, m.subindex);
        what += e ? e->key : "?";
      }
      what += " " + std::to_string(m.bits) + " bits";
      if (i == 0) {
        row.push_back(what);
        t.add(row);
      } else {
        t.add({"", "", "", "", "", what});
      }
    }
    if (s.entries.empty()) t.add(row);
  }
  t.print(out);
}

}  // namespace

void print_report(const DeviceDescription& d, std::uint8_t node_id, std::FILE* out) {
  print_identity(d, out);
  print_objects(d, out);
  print_pdos(d, node_id, out);
}

int run(int argc, char** argv, const char* version, std::FILE* out, std::FILE* err) {
  long node_id = 0;
  std::vector<std::string> files;
  korvel_cli::CommandLine cl("korvel_canopen_eds", version, kUsage);
  cl.value("--node-id", korvel_cli::integer_into(&node_id, 1, 127));
  cl.positional([&files](const std::string& f) {
    files.push_back(f);
    return std::string();
  });
  const int status = cl.parse(argc, argv, out, err);
  if (status >= 0) return status;
  if (files.empty()) return cl.fail(err, "no file given");
  int rc = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const DeviceDescription d = DeviceDescription::load(files[i]);
    const bool read = d.problems().empty() || d.problems().front().line != 0;
    if (read) {
      if (i > 0) std::fprintf(out, "\n");
      print_report(d, static_cast<std::uint8_t>(node_id), out);
    }
    for (const Problem& p : d.problems()) std::fprintf(err, "%s\n", to_string(p).c_str());
    if (!d.ok()) rc = 1;
  }
  std::fflush(out);
  return rc;
}

}  // namespace canopen_eds
