// The node's description-file setting (".DEVICE_FILE"), the objects found by name, and the
// node's condition text with the note beside the device's state.
#include <cctype>
#include <exception>
#include <filesystem>
#include <mutex>
#include <ostream>
#include <string>

#include "D_korvel.h"
#include "canopen/device_description.h"
#include "korvel_internal.h"
#include "process_data.h"

D_canfile::D_canfile(const std::string& pn, EqFct* efp) : D_string(pn, efp) {}

D_canfile::~D_canfile() = default;

void D_canfile::conf(Config* c) { conf_insert(c, DATA_STRING); }

void D_canfile::read() {
  try {
    const D_conf_struct* rec = find_prop_name();
    if (rec && rec->found) set_value(rec->d_text);
  } catch (const std::exception& e) {
    korvel::log("read", e.what());
  }
}

void D_canfile::write(std::ostream& out) {
  const std::string v = value();
  if (v.empty()) {
    // A node without a file adds no line to a configuration that has none for it.
    const D_conf_struct* rec = nullptr;
    try {
      rec = find_prop_name();
    } catch (const std::exception&) {
    }
    if (!rec || !rec->found) return;
  }
  D_fct::write(out);
  out << ' ' << v << '\n';
}

void D_canfile::set_value(const std::string& text) {
  std::string line;
  for (const char c : text) {
    if (!std::iscntrl(static_cast<unsigned char>(c))) line += c;
  }
  D_string::set_value(line);
}

std::string D_canfile::path() const {
  const std::string v = value();
  if (v.empty()) return v;
  const std::filesystem::path p(v);
  const EqFct* loc = get_eqfct();
  if (p.is_absolute() || !loc || loc->config_file().empty()) return v;
  const std::filesystem::path dir = std::filesystem::path(loc->config_file()).parent_path();
  return dir.empty() ? v : (dir / p).string();
}

int D_can::find_object(const std::string& name, int* index, int* subindex) const {
  korvel::LoopLock lk;
  if (!pd_ || name.empty()) return korvel::kFailed;
  int found_index = -1;
  int found_sub = -1;
  for (const auto& kv : pd_->names) {
    if (kv.second == name) {
      found_index = kv.first.first;
      found_sub = kv.first.second;
      break;
    }
  }
  if (found_index < 0 && pd_->file) {
    const korvel::canopen::ObjectEntry* e = pd_->file->find(name);
    if (e && !e->is_parent()) {
      found_index = e->index;
      found_sub = e->subindex;
    }
  }
  if (found_index < 0) return korvel::kFailed;
  if (index) *index = found_index;
  if (subindex) *subindex = found_sub;
  return korvel::kOk;
}

namespace {

// The condition text: the state, then the note.
std::string with_note(const std::string& state, const std::string& note) {
  if (note.empty()) return state;
  return state.empty() ? note : state + "; " + note;
}

}  // namespace

void D_can::show_condition(const std::string& state) {
  if (!modul_condition_) return;
  std::lock_guard<std::mutex> lk(condition_mx_);
  modul_condition_->set_value(with_note(state, condition_note_));
}

void D_can::condition_note(const std::string& note) {
  if (!modul_condition_) return;
  std::lock_guard<std::mutex> lk(condition_mx_);
  if (note == condition_note_) return;
  // The state text is what the condition shows before the old note.
  std::string state = modul_condition_->value();
  if (!condition_note_.empty()) {
    const std::string suffix = "; " + condition_note_;
    if (state == condition_note_) {
      state.clear();
    } else if (state.size() >= suffix.size() &&
               state.compare(state.size() - suffix.size(), suffix.size(), suffix) == 0) {
      state.resize(state.size() - suffix.size());
    }
  }
  condition_note_ = note;
  modul_condition_->set_value(with_note(state, note));
}
