// props.cc - the framework's simple property types: D_int_ptr, D_iiii, D_string.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "d_fct.h"

// ---------------------------------------------------------------- D_int_ptr

D_int_ptr::D_int_ptr(const std::string& name, int* ptr, EqFct* owner)
    : D_fct(name, owner), ptr_(ptr) {}

int D_int_ptr::get(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out) out->set(value());
  return 0;
}

int D_int_ptr::set(EqAdr*, EqData* in, EqData* out, EqFct*) {
  if (!in) {
    if (out) out->error(ERR_ILLEGAL_DATA, get_error_string(ERR_ILLEGAL_DATA));
    return ERR_ILLEGAL_DATA;
  }
  set_value(in->get_int(0));
  return 0;
}

void D_int_ptr::set_value(int v) {
  if (ptr_) *ptr_ = v;
}

void D_int_ptr::set_ptr(int* p) { ptr_ = p; }
int* D_int_ptr::get_ptr() const { return ptr_; }
int D_int_ptr::value() const { return ptr_ ? *ptr_ : 0; }

// ---------------------------------------------------------------- D_iiii

D_iiii::D_iiii(const std::string& name, EqFct* owner) : D_fct(name, owner) {}

int D_iiii::get(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out) out->set(&value_);
  return 0;
}

int D_iiii::set(EqAdr*, EqData* in, EqData*, EqFct*) {
  const IIII* v = in ? in->get_iiii() : nullptr;
  if (v) value_ = *v;
  return 0;
}

void D_iiii::conf(Config* c) { conf_insert(c, DATA_IIII); }

void D_iiii::read() {
  const D_conf_struct* rec = find_prop_name();
  if (!rec || !rec->found) return;
  value_.i1_data = rec->d_int_array[0];
  value_.i2_data = rec->d_int_array[1];
  value_.i3_data = rec->d_int_array[2];
  value_.i4_data = rec->d_int_array[3];
}

void D_iiii::write(std::ostream& out) {
  D_fct::write(out);
  char buf[96];
  std::snprintf(buf, sizeof buf, " \t%d  %d  %d  %d\n", value_.i1_data, value_.i2_data,
                value_.i3_data, value_.i4_data);
  out << buf;
}

// ---------------------------------------------------------------- D_string

// size_ < 0 marks a string that keeps its text in own_.
D_string::D_string(const std::string& name, EqFct* owner)
    : D_fct(name, owner), buf_(nullptr), size_(-1) {}

D_string::D_string(const std::string& name, char* buffer, int size, EqFct* owner)
    : D_fct(name, owner), buf_(buffer), size_(buffer && size > 0 ? size : 0) {}

int D_string::get(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out) out->set(value());
  return 0;
}

int D_string::set(EqAdr*, EqData* in, EqData* out, EqFct*) {
  if (!in) {
    if (out) out->error(ERR_ILLEGAL_DATA, get_error_string(ERR_ILLEGAL_DATA));
    return ERR_ILLEGAL_DATA;
  }
  set_value(in->get_string());
  return 0;
}

void D_string::set_value(const std::string& text) {
  std::lock_guard<std::mutex> lk(mx_);
  if (size_ < 0) {
    own_ = text;
    return;
  }
  if (size_ == 0) return;  // no room, not even for the terminator
  std::size_t n = std::min(text.size(), static_cast<std::size_t>(size_ - 1));
  std::memcpy(buf_, text.data(), n);
  buf_[n] = '\0';
}

std::string D_string::value() const {
  std::lock_guard<std::mutex> lk(mx_);
  if (size_ < 0) return own_;
  if (size_ == 0) return std::string();
  // The caller's buffer may not be terminated yet: never read past its end.
  const void* end = std::memchr(buf_, '\0', static_cast<std::size_t>(size_));
  std::size_t n = end ? static_cast<std::size_t>(static_cast<const char*>(end) - buf_)
                      : static_cast<std::size_t>(size_);
  return std::string(buf_, n);
}
