// d_fct.h - the framework's property base class and the framework services the library uses.
#ifndef D_FCT_H
#define D_FCT_H

#include <cstdint>
#include <ctime>
#include <deque>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "eq_data.h"
#include "eq_fct.h"
#include "vexil_types.h"

// Framework error codes of client answers.
enum : int {
  ERR_NONE = 0,
  ERR_NO_DATA = 100,        // the value buffer holds nothing for the selector
  ERR_NO_BUFFER = 101,      // the property keeps no value buffer
  ERR_NOT_SUPPORTED = 102,  // the property does not serve this request
  ERR_ILLEGAL_DATA = 103,   // the request carries unusable data
};

// One record of a configuration file.
struct D_conf_struct {
  bool found = false;
  int d_int = 0;  // first integer of the line
  int d_int_array[4] = {0, 0, 0, 0};
  int n_ints = 0;      // integers on the line
  std::string d_text;  // the value text after the head
  std::string file;
  int line = 0;
};

class D_fct {
 public:
  D_fct(const std::string& name, EqFct* owner, unsigned flags = 0);
  virtual ~D_fct();
  D_fct(const D_fct&) = delete;
  D_fct& operator=(const D_fct&) = delete;

  // Virtual operations, in this order.
  virtual int get(EqAdr* adr, EqData* in, EqData* out, EqFct* loc);
  virtual int set(EqAdr* adr, EqData* in, EqData* out, EqFct* loc);
  virtual int names(EqAdr* adr, EqData* out, int* count);
  virtual int get_multi(EqAdr* adr, EqData* in, EqData* out, int* index, const char* name,
                        std::time_t* stamp);
  virtual void conf(Config* c);
  virtual void read();
  virtual void read_from_conf(const std::string& text);
  // The property's configuration line (D_fct: its head); one that writes nothing leaves no line.
  virtual void write(std::ostream& out);
  virtual void auto_init();
  virtual const char* comment() const;  // the description (name after the first blank)
  virtual int data_type() const;
  virtual int data_type();  // forwards to the const one
  virtual int daq_type();
  virtual void conf_insert(Config* c, int data_type);
  virtual void conf_process(EqFct* loc, int mode);
  virtual void callback_(EqAdr* adr, EqData* in, EqData* out, int a, int b, int* res);
  virtual int permission() const;
  virtual void permission(int p);
  virtual int d_error() const;
  virtual void d_error(int e);
  virtual int d_severity() const;
  virtual void d_severity(int s);
  virtual void set_mode(int m);
  virtual int send(dmsg_info* info);

  // Name as given, and its base name (up to the first blank).
  const std::string& name() const { return name_; }
  std::string basename() const;
  EqFct* get_eqfct() const { return owner_; }

  // This property's configuration record, or null. May throw std::runtime_error.
  D_conf_struct* find_prop_name();

  // Marks the value as modified now.
  void set_stamp(bool persistent);
  vexil::Timestamp stamp() const;
  int stamp_count() const;

  // Data messages.
  void dmsg_supported();
  bool is_dmsg_supported() const { return dmsg_; }
  int send_header(dmsg_info* info, int count);
  int send_data(const void* data, int len, int flags);

  // Value buffer (event-keyed history of client-visible values). 0: no buffer.
  int get_nbuf() const;
  void set_nbuf(int entries);
  // 0, or ERR_NO_BUFFER / ERR_NO_DATA. An event of 0 or below with seconds 0 selects the latest
  // entry; a positive event selects that event; otherwise the entry with that time.
  int get_buf_value(EqData* out, vexil::EventId event, std::time_t seconds, int microseconds);
  int set_buf_value(EqData* in, vexil::EventId event, std::time_t seconds, int microseconds);

  // Appends text to the property's dump (the record of what write() produced).
  void dump(const std::string& text);
  std::string dumped() const;

  int dynamic() const { return dynamic_; }
  void dynamic(int d) { dynamic_ = d; }

  // Change-log settings and archive-off flag: read by property code, set by the host.
  int chlog_level() const { return chlog_level_; }
  bool chlog_on() const { return chlog_on_; }
  bool arch_off() const { return arch_off_; }
  void set_chlog(int level, bool on);
  void set_arch_off(bool off) { arch_off_ = off; }
  // Change-log settings that new properties start with (default: level 0, off).
  static void set_default_chlog(int level, bool on);

 private:
  struct BufEntry {
    vexil::EventId event;
    std::time_t seconds;
    int microseconds;
    EqData data;
  };

  std::string name_;
  EqFct* owner_;
  int permission_ = 0;
  int d_error_ = 0;
  int mode_ = 0;
  int dynamic_ = 0;
  int chlog_level_;
  bool chlog_on_;
  bool arch_off_ = false;
  bool dmsg_ = false;
  dmsg_info* pending_msg_ = nullptr;
  mutable std::mutex mx_;
  vexil::Timestamp stamp_ = 0;
  int stamp_count_ = 0;
  int nbuf_ = 0;
  // Created when a buffer is first set up: most properties never keep one, and an empty
  // deque already holds a block of its own.
  std::unique_ptr<std::deque<BufEntry>> buf_;
  std::string dump_;
};

// An integer property that shows an int held elsewhere (no storage of its own).
class D_int_ptr : public D_fct {
 public:
  D_int_ptr(const std::string& name, int* ptr, EqFct* owner);
  using D_fct::data_type;
  int get(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
  int set(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
  int data_type() const override { return DATA_INT; }
  virtual void set_value(int v);  // stores into the shown int, if any
  void set_ptr(int* p);
  int* get_ptr() const;
  int value() const;  // 0 without storage

 private:
  int* ptr_;
};

// A four-integer property (IIII), persisted in the configuration file.
class D_iiii : public D_fct {
 public:
  D_iiii(const std::string& name, EqFct* owner);
  using D_fct::data_type;
  int get(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
  int set(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
  void conf(Config* c) override;
  void read() override;
  void write(std::ostream& out) override;
  int data_type() const override { return DATA_IIII; }
  IIII* value() { return &value_; }

 private:
  IIII value_{};
};

// A text property: its own storage, or a caller's buffer of `size` bytes that it never
// writes past and always terminates inside.
class D_string : public D_fct {
 public:
  D_string(const std::string& name, EqFct* owner);
  D_string(const std::string& name, char* buffer, int size, EqFct* owner);
  using D_fct::data_type;
  int get(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
  int set(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
  int data_type() const override { return DATA_STRING; }
  // The text setter.
  virtual void set_value(const std::string& text);
  std::string value() const;

 private:
  mutable std::mutex mx_;
  std::string own_;
  char* buf_;
  int size_;
};

// History of an archived property: a bounded ring of (value, status, seconds, milliseconds).
class D_hist : public D_fct {
 public:
  struct Entry {
    int value;
    ArchiveStatus status;
    std::uint32_t seconds;
    int milliseconds;
  };

  D_hist(EqFct* owner, const std::string& name, const std::string& filepref, int mode, int rblen,
         int loghist);
  ~D_hist() override;
  void auto_init() override;
  void conf_process(EqFct* loc, int mode) override;
  // Appends one archived value; *err = 0 on success.
  void fill_hist(int value, ArchiveStatus status, std::uint32_t seconds, int milliseconds,
                 int* err);
  // Sub-properties 1 to 5; 4 and 5 exist only for histories with a log setting above 0.
  D_fct* get_p_prop(int i);

  std::vector<Entry> entries() const;
  int capacity() const { return rblen_; }
  int mode() const { return mode_; }
  int loghist() const { return loghist_; }
  const std::string& filepref() const { return filepref_; }
  int started() const { return started_; }

 private:
  std::string filepref_;
  int mode_;
  int rblen_;
  int loghist_;
  int started_ = 0;
  int count_ = 0;
  mutable std::mutex mx_;
  std::deque<Entry> ring_;
  std::vector<std::unique_ptr<D_fct>> subs_;
};

namespace vexil {
// Writes one log line to standard error (or the installed sink).
void printtostderr(const std::string& heading, const std::string& text,
                   unsigned flags = 0x80000000u);
namespace detail {
// Restores a property's stored configuration (conf, then read) at its location.
void restore_conf(EqFct* loc, D_fct* prop);
}  // namespace detail
}  // namespace vexil

// Pauses the calling thread (through the framework's clock).
void VEXILsleep(int seconds, int microseconds);
// Whole seconds since the epoch (through the framework's clock).
std::time_t VEXILtime();
// Text of a framework error code; never null.
const char* get_error_string(int code);
// Archive mode of the server; 0: no archiving.
int get_arch_mode();
// The server's global time stamp; 0: none.
vexil::Timestamp get_global_timestamp();
// The framework's debug word.
extern int VEXIL_debug;

#endif  // D_FCT_H
