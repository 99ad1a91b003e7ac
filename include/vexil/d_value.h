// d_value.h - the framework's typed value property. The integer instance, D_int, is built
// by the plug-in library that uses it.
#ifndef D_VALUE_H
#define D_VALUE_H

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "d_fct.h"

namespace vexil {

template <class T>
class D_value;

template <>
class D_value<int> : public D_fct {
 public:
  D_value(const std::string& name, EqFct* owner, unsigned flags = 0);
  // Archiving from the start: history with file prefix, buffer length and log setting.
  D_value(EqFct* owner, const std::string& name, const std::string& filepref, int rblen,
          int loghist);
  ~D_value() override;

  using D_fct::data_type;
  int get(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
  int set(EqAdr* adr, EqData* in, EqData* out, EqFct* loc) override;
  int get_multi(EqAdr* adr, EqData* in, EqData* out, int* index, const char* name,
                std::time_t* stamp) override;
  void conf(Config* c) override;
  void read() override;
  void write(std::ostream& out) override;
  void auto_init() override;
  int data_type() const override;
  void conf_process(EqFct* loc, int mode) override;
  int send(dmsg_info* info) override;

  virtual int get_value() const;
  virtual void set_value(int val);
  virtual void set_value(int val, std::uint64_t event, std::time_t seconds, int microseconds);
  virtual int value(std::uint64_t event, std::time_t seconds, int microseconds);
  virtual int value();

  // Sets the value and archives it; the archiving error, or -1 when archiving is off.
  int set_and_archive(int val, ArchiveStatus status, vexil::Timestamp timestamp,
                      vexil::EventId event_id);

  bool archiving() const { return arch_en_; }
  D_hist* history() const { return hist_.get(); }
  vexil::Timestamp value_time() const { return value_time_; }

 protected:
  void archiver_setup();

 private:
  void logged_set(int val);

  bool arch_en_;
  std::unique_ptr<D_hist> hist_;
  std::atomic<std::int32_t> value_;  // read by clients on other threads
  std::string filepref_;
  std::int32_t loghist_;
  std::int32_t rblen_;
  vexil::Timestamp value_time_;
};

}  // namespace vexil

using D_int = vexil::D_value<int>;

#endif  // D_VALUE_H
