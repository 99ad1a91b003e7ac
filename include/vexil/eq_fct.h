// eq_fct.h - a location of the server: owns properties and their configuration file.
#ifndef EQ_FCT_H
#define EQ_FCT_H

#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class D_fct;
struct D_conf_struct;

// The configuration of one location: which properties are persisted (conf_insert) with
// which data type, and the records read from the location's configuration file.
class Config {
 public:
  Config(const Config&) = delete;
  Config& operator=(const Config&) = delete;

  // Registers a property for the configuration file under a data type code.
  void insert(D_fct* prop, int data_type);
  void remove(D_fct* prop);
  // Registered type of a property, -1 when it is not registered.
  int type_of(const D_fct* prop) const;

  // The record of a property's base name, or null. Throws std::runtime_error while a
  // lookup failure is switched on (fail_lookups).
  D_conf_struct* find(const std::string& basename);

  // Makes every find() throw std::runtime_error(what); an empty text switches it off.
  void fail_lookups(const std::string& what);

 private:
  friend class EqFct;
  Config() = default;

  struct Line {
    std::string text;  // the line as read (without its line end)
    std::string name;  // base name of a property line, empty for comments and blank lines
  };

  mutable std::mutex mx_;
  std::map<const D_fct*, int> types_;
  std::map<std::string, std::unique_ptr<D_conf_struct>> records_;
  std::vector<Line> lines_;  // the file as last read, for writing it back in its own order
  std::string lookup_failure_;
};

class EqFct {
 public:
  // location_name: the location's name; config_file: its configuration file (may be set later).
  explicit EqFct(const std::string& location_name, const std::string& config_file = std::string());
  virtual ~EqFct();
  EqFct(const EqFct&) = delete;
  EqFct& operator=(const EqFct&) = delete;

  std::string get_location_name() const;
  std::string get_hostname() const;
  std::string get_username() const;
  // "user@host" of the operator acting on this location.
  std::string get_user_and_host() const;

  // The operator's identity (defaults: $USER, else "vexil"; the machine's host name).
  void set_username(const std::string& user);
  void set_hostname(const std::string& host);

  // Properties of the location in creation order (properties register themselves).
  std::vector<D_fct*> properties() const;
  // The property whose base name is `basename`, or null.
  D_fct* find_property(const std::string& basename) const;
  void add_property(D_fct* p);
  void remove_property(D_fct* p);

  Config* config() { return &config_; }
  const std::string& config_file() const { return config_file_; }
  void set_config_file(const std::string& path) { config_file_ = path; }

  // Start-up of the location: conf() of every property, then the configuration file is
  // read, then read() of every property. A malformed line is logged with file and line
  // number and skipped. Returns the number of malformed lines, or -1 when the file cannot
  // be read (the properties then keep their values).
  int load_config();
  // Parses configuration text into the records (what load_config does after conf()).
  int parse_config(std::istream& in, const std::string& file_name);
  // Writes the configuration back: lines of the file in their order, each property line
  // replaced by the property's current write(); comments and unknown lines kept; then
  // registered properties that had no line. Returns 0, or -1 when the file cannot be written.
  int save_config();
  void write_config(std::ostream& out);

 private:
  std::string name_;
  std::string config_file_;
  std::string user_;
  std::string host_;
  // Drops the gaps that removals left in props_ once they are half of it.
  void compact_properties();

  mutable std::mutex mx_;
  // The properties in creation order; a removed one leaves a null gap until the next
  // compaction. Indexed by property and by base name (each name's properties in creation
  // order), so that adding, removing and finding one does not walk them all.
  std::vector<D_fct*> props_;
  std::size_t gaps_ = 0;
  std::unordered_map<const D_fct*, std::size_t> prop_pos_;
  std::unordered_map<std::string, std::vector<D_fct*>> props_by_name_;
  Config config_;
};

#endif  // EQ_FCT_H
