// D_korvel.h - CAN nodes for VEXIL servers: one D_can property per CANopen device, the shared
// CAN lines with their supervision threads, and the sub-properties a node publishes.
//
// Typical use from a server's device code:
//
//   D_can* node = new D_can("PUMP1 cooling pump", location);  // framework loads the identity
//   node->init(0x700 + node_id);     // master of (line, node-ID): buffer, line, thread
//   node->init_emergency();          // receive the device's emergency frames
//   node->get_manufacture();         // SDO upload into PUMP1.MANU
//   ...periodically: can_looping(); node->can_array(batch, &n); node->can_emergency(...)
//
// Where things live (declarations here, definitions in these files):
//   D_can property core: get, set, conf, read, write, set_value ......... d_can.cc
//   D_can sub-properties (.BAUDRATE, .ALIVE, .MANU, ...): construct ........ d_can_subproperties.cc
//   D_can start-up and close, the handle rule: init*, can_open, can_close,
//     AddIdent, DelIdent, dellist, handle(), the polled list's index ........ d_can_startup.cc
//   D_can frame primitives: can_read, can_get, can_poll, can_write,
//     can_fill, can_array, can_SDO, rtr ................................... d_can_io.cc
//   D_can NMT commands; D_canint, D_canactive ................................ d_can_nmt.cc
//   D_can SDO upload and identity strings: segSdoRead, get_manufacture, ... . d_can_sdo.cc
//   D_can::can_emergency ..................................................... d_can_emergency.cc
//   D_can SDO read and write of any object: sdo_read, sdo_write ............... d_can_sdo_client.cc
//   D_can::sdo_abort_text (canopen's texts of the SDO abort codes) ........... sdo_abort_text.cc
//   D_can lost-device supervision: supervise_alive, is_lost ................... d_can_lost.cc
//   The clock of the CANopen services (monotonic_ms), wait_until_ms ..... service_clock.h/.cc
//   D_Alive (node guarding state and condition text) ......................... d_alive.cc
//   can_looping, the polling lock, the lists of masters and lines, can_print . can_looping.cc
//   canline: handles, gateway file ........................................... canline.cc
//   gateway reset (address, bounded wget run) ............................... gateway_reset.cc
//   can_control (the line's supervision thread) .............................. can_control.cc
//   can_error_str (driver status names) ...................................... can_error_str.cc
//   D_can process data: set_process_data, init_process_data, name_object,
//     write_object, the decoding of each batch's PDOs, staleness ........ d_can_process_data.cc
//   The reading of a device's PDO mapping by SDO, off the server thread .. pdo_mapping_worker.cc
//   D_canfile (the node's ".DEVICE_FILE" setting), the path it names,
//     D_can::find_object, the node's condition with its note ............ d_canfile.cc
//   A node's description file at start-up and after a boot-up: loaded,
//     its names, the device configured from a DCF by SDO .............. device_configuration.cc
//   The property of one mapped object (value, history, stale state) ...... process_value.cc
//   canline::produce_sync (the line's SYNC producer thread) .............. sync_producer.cc
//   The library's result codes (korvel::kOk, ...) and receive capacity ... here, below
//   The library's internal codes (alive value before any state, SDO steps) canopen_codes.h
//   The CANopen protocol: identifiers, NMT, objects, SDO codec, abort codes,
//     PDO layout and mapping reader, SYNC .............................. canopen/ (the
//     component korvel-canopen, headers "canopen/....h"; linked privately)
//   What the library's files share (log, lists, polling lock, a pair's receive
//     block, the decoding of SDO replies) .................................... korvel_internal.h
#ifndef D_KORVEL_H
#define D_KORVEL_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "d_fct.h"
#include "d_value.h"
#include "eq_data.h"
#include "ntcan.h"

class D_can;
class canline;

namespace korvel {
struct ProcessData;

// The library's own results, beside the driver statuses (NTCAN_...) that its calls hand back
// unchanged.
enum : int {
  kOk = 0,
  // Line number outside 1..20, no receive buffer, SDO time-out, abort or toggle error.
  kFailed = -1,
  // No usable line: the node has no line, the line handle is not above 0, or the node's handle
  // is negative. Equal to the driver's status for a bad handle (NTCAN_INVALID_HANDLE).
  kNoUsableLine = 77,
  // can_poll saw no reply in time.
  kNoReply = 32,
  // A frame check (D_Alive::can_read, check_alive, can_emergency) found what it looked for.
  kFound = 100,
};

// Frames a node's receive buffer holds: one fill takes at most this many, and can_array hands
// over at most this many, so a batch array of this size always suffices.
constexpr int kRxCapacity = 100;

// The clock of the CANopen services (SDO time-outs, lost-device supervision, the SYNC period,
// PDO event timers and staleness): monotonic milliseconds of the steady clock. A host that runs
// the library on a time of its own (a simulation, a test on virtual time) installs its source
// here; null restores the steady clock. While a source of its own is installed, the services'
// waits look at it every millisecond of real time.
using MillisecondSource = std::int64_t (*)();
void set_millisecond_source(MillisecondSource source);
std::int64_t monotonic_ms();

}  // namespace korvel

// Which NMT command a command property sends.
enum { START_NODE = 0, STOP_NODE = 1, RESET_NODE = 2 };

// Command property (".START", ".STOP", ".RESET"): every write sends its NMT command.
class D_canint : public vexil::D_value<int> {
 public:
  D_canint(const std::string& pn, int todo, D_can* can, EqFct* efp);
  ~D_canint() override;
  void read() override;  // commands never load a value from the configuration
  using vexil::D_value<int>::set_value;
  void set_value(int i) override;

  int todo() const { return todo_; }
  D_can* node() const { return can_; }
  // The node lets go of its command properties when it is destroyed.
  void detach_node() { can_ = nullptr; }

 private:
  int todo_;
  D_can* can_;
  EqFct* eq_fct_;
};

// Master flag (".ACTIVE"): non-zero while the node is the master of its (line, node-ID) pair.
class D_canactive : public vexil::D_value<int> {
 public:
  D_canactive(const std::string& pn, EqFct* efp);
  ~D_canactive() override;
  void read() override;  // the flag never loads a value from the configuration
};

// Description-file setting (".DEVICE_FILE"): the path of the node's EDS or DCF, empty for none,
// kept in the location's configuration file like the node's other settings
// ("PUMP1.DEVICE_FILE: devices/pump1.dcf") and written back with them (an empty setting adds no
// line to a file that has none for it). A relative path is taken
// relative to the directory of the location's configuration file (the working directory when
// the location has none). Control characters are left out of a value, so that it stays one
// line of that file.
class D_canfile : public D_string {
 public:
  D_canfile(const std::string& pn, EqFct* efp);
  ~D_canfile() override;
  void conf(Config* c) override;
  void read() override;
  void write(std::ostream& out) override;
  void set_value(const std::string& text) override;
  // The path the setting names, resolved as above; empty when it names none.
  std::string path() const;
};

// Alive value (".ALIVE"): the device's NMT state byte from node guarding; every set writes
// the matching text into the node's ".CONDITION".
class D_Alive : public D_int_ptr {
 public:
  D_Alive(const std::string& name, int* ptr, D_can* can, EqFct* eq);
  ~D_Alive() override;
  void set_value(int s) override;
  // First guarding answer (0x700 + ident, one byte) among *l frames: stored; korvel::kFound
  // when operational.
  int can_read(int ident, CMSG* rxmsg, int* l);
  // As can_read, and refreshes the condition text when the device is operational.
  int check_alive(int ident, CMSG* rxmsg, int* l);
  bool isalive();

  void detach_node() { can_ = nullptr; }

 private:
  D_can* can_;
  EqFct* eq_fct_;
};

// One CAN node: a framework property whose value is the device's identity (line, node-ID and
// two further identifiers), with the operations that reach the device over its line.
//
// A class derived from D_can may replace set_value, can_get, can_write and can_fill: the
// library calls them through their virtual slots. Its destructor must call unregister_node()
// first, so that polling never reaches a half-destroyed object.
class D_can : public D_fct {
 public:
  D_can(const std::string& pn, EqFct* ef);
  ~D_can() override;

  // Property operations.
  using D_fct::data_type;
  using D_fct::get_multi;
  int get(EqAdr* adr, EqData* ed, EqData* res, EqFct* loc) override;
  int set(EqAdr* adr, EqData* ed, EqData* res, EqFct* loc) override;
  void conf(Config* conf) override;
  void read() override;
  void write(std::ostream& ofile) override;
  int data_type() const override;

  // Identity change (logged on every call).
  virtual void set_value(IIII* s);
  // Frame primitives; all return an NTCAN status or the library's own results (korvel::kOk,
  // kNoUsableLine, ...).
  virtual int can_read(CMSG* rxmsg, int* length);
  virtual int can_get(CMSG* rxmsg, int* length);
  virtual int can_poll(int* ident, int* length, unsigned char* Data);
  virtual int can_write(int ident, int length, unsigned char* Data);
  virtual int can_fill();
  // Asks the processor to start loading what the next fill of this node reads beyond the
  // node's own poll line (its line, and the receive buffer's pair cell, length and status);
  // reads only that line of the node and changes nothing. can_looping calls it two nodes
  // ahead, under mx_loop.
  void prefetch_fill() const;
  virtual int can_array(CMSG* rxmsg, int* length);
  virtual int can_SDO(unsigned short index, unsigned char subindex);

  // One row of a multi-property answer: line, node-ID, third and fourth value, addr, *i.
  int get_multi(EqAdr* adr, EqData* ed, EqData* res, int* i, char* addr);

  // Start-up and close.
  int init();
  int init(int ident);
  int init(int ident, int flag);
  int init_emergency();
  int can_open();
  int can_close();
  int AddIdent(int ident);
  int DelIdent(int ident);
  int dellist();
  // Takes the node out of the polled list (whatever its identity); done by the destructor.
  void unregister_node();

  // Remote-transmission requests; rtr() is the node-guarding request on 0x700 + node-ID.
  int rtr(int* ident);
  int rtr(int* ident, int l);
  int rtr();

  // NMT commands.
  int start_node();
  int stop_node();
  int reset_node();
  int modinit();

  // SDO upload of the identity strings into ".MANU", ".HWVER" and ".SWVER".
  int get_manufacture();
  int get_hwversion();
  int get_swversion();
  // Reads object idx/subIdx of device `node` into buffer (64 bytes); 0 or the failing step's error.
  int segSdoRead(short node, int idx, int subIdx, char* buffer);
  // The same for a buffer of `capacity` bytes: the text always ends inside it; an object that
  // does not fit is aborted (0x05040005) and the read fails with -1.
  int segSdoRead(short node, int idx, int subIdx, char* buffer, std::size_t capacity);
  int initiateUpload(short node, int idx, int subIdx);
  int initUploadResponse(short node, char* buffer, int* offset);
  int requestUploadSegment(short node);
  int receiveUploadSegment(short node, char* buffer, int* offset);
  int isAbort(CMSG* m, int* abortCode);
  static int check_ascii(char* aString);

  // Logs the node's emergency frame (0x80 + ident) found among *l frames; korvel::kFound when
  // found.
  int can_emergency(int ident, CMSG* rxmsg, int* l);

  // Dumps the received frames when ".DEBUG_ID" names this node.
  void can_print();

  // Accessors for the hosting code.
  bool has_changed() const { return changed_; }
  IIII* value() { return &canIdent_; }
  IIII* oldAddr() { return &oldIdent_; }
  // The handle every driver call of the node uses, by one rule: -1 while the node has no line
  // or its line is down (line handle not above 0); otherwise the node's handle source
  // resolved, where the source is the pair's master's (published in the pair cell) for a
  // passive node and the node's own canhandle_ for any other, and kOnLineHandle in it means
  // the line's handle as it is now (so the node follows the line through re-opens).
  NTCAN_HANDLE handle() const;
  // Makes h the node's own handle (published to its passive nodes when it is a master).
  void handle(NTCAN_HANDLE h);
  bool isactive() const;
  // Status of the last receive into the node's buffer (0 before any).
  int can_return() const { return can_ret_ ? *can_ret_ : 0; }
  canline* line() const { return pline_; }

  // Guards the polled list and every receive buffer: held by can_looping around each fill,
  // by can_array, and by start-up and removal. The library takes it re-entrantly, so a
  // derived can_fill may call can_array (or any other node operation); code outside the
  // library that locks it itself must not call node operations while it holds it.
  static std::mutex mx_loop;

 protected:
  friend class D_Alive;
  friend struct KorvelTestPeer;

  void construct(const std::string& pn);

  // ---- What every poll of the node reads (can_looping, can_fill, handle()), together in
  // one cache line of the node; the receive buffer's scalars share one line of their own.
  //
  // The line the node is on; null until the node is first opened; lines live for the process.
  alignas(64) canline* pline_;
  // The node's own handle source: -1 none, kOnLineHandle the line handle (the line's first
  // node), else a driver handle the node opened on its line.
  std::atomic<NTCAN_HANDLE> canhandle_;
  // Set when the node enters the polled list and its class is D_can itself: no derived class
  // replaces can_fill or can_get, so polling fills it without virtual calls.
  bool poll_plain_;
  // The (line, node-ID) pair's cell: the master's handle source as its passive nodes follow
  // it. Allocated with the receive buffer and shared like it, so a passive node never keeps
  // a handle its master closed.
  std::atomic<NTCAN_HANDLE>* pair_handle_;
  CMSG* rxmsg_;
  int* can_ret_;
  int32_t* rxmsg_len_;
  D_canactive* active_;
  // ---- The rest of the node.
  int* alive_ptr_;
  IIII canIdent_;
  IIII oldIdent_;
  bool changed_;
  bool first_at_line_;
  int can_error_;
  EqFct* efp_;
  static D_iiii* canIdent_debug_;
  D_int* baudrate_;
  D_canint* start_node_;
  D_canint* stop_node_;
  D_canint* reset_node_;
  D_Alive* alive_;
  D_string* modul_condition_;
  D_string* manu_;
  D_string* hwver_;
  D_string* swver_;
  D_canfile* device_file_;
  int ToggleBit;
  int Index;
  int Subindex;
  char manu_str_[64];
  char hw_str_[64];
  char sw_str_[64];

 private:
  int start_plain(std::initializer_list<int> idents);
  void dellist_locked();
  // The polled list and its index by (line, node-ID); all under mx_loop. find_pair: the
  // first polled node, in list order, whose line and node-ID are this node's; enter_list and
  // leave_list add and take out this node; follow_identity moves a polled node's index entry
  // to its identity after the identity changed.
  D_can* find_pair();
  void enter_list();
  void leave_list();
  void follow_identity();
  // can_fill of a node whose class is D_can itself, with can_get called directly.
  int fill_plain();
  int read_text_object(int index, D_string* prop);
  int sdo_abort(short node, std::uint32_t code);
  int send_nmt(unsigned char command);
  int send_rtr(int ident, int len);
  bool shares_line_handle() const;
  // True for a passive node: it has a pair cell and is not the master.
  bool follows_master() const;
  // Where handle() takes the handle from (see handle()).
  NTCAN_HANDLE handle_source() const;
  // A master publishes its handle source in the pair cell.
  void publish_handle();
  // Becomes passive on `master`: its line, handle source, pair cell and buffers.
  void adopt_pair(const D_can& master);
  // Lets go of the pair's cell and buffers and of the handle source taken with them.
  void leave_pair();
  // A fresh receive buffer, status, length, alive value and pair cell, for a new master.
  void take_new_buffers();

  // A handle source that stands for the line handle.
  static constexpr NTCAN_HANDLE kOnLineHandle = -2;
  // The node's entry in the polled list: whether it is in it, the (line, node-ID) it is
  // indexed under, and its place in registration order. Under mx_loop.
  bool listed_;
  std::uint64_t list_key_;
  std::uint64_t list_seq_;
  // Size announced by the last segmented initiate reply (-1: none), and the capacity of the
  // buffer the running transfer fills.
  long sdo_size_;
  std::size_t sdo_capacity_;

  // ---- SDO transfers of any object; lost-device supervision ---------------------------------
  //
  // sdo_read and sdo_write run one whole SDO transfer with the node's device (CiA 301:
  // expedited up to 4 bytes, segmented above) and wait for each reply without spinning: they
  // block in canRead on a driver handle of their own, on the node's net, that receives nothing
  // but the device's SDO replies (0x580 + node-ID). The rule that follows: can_looping() and
  // the node's other receive operations never take a reply of these transfers, and these
  // transfers never take a frame meant for them (a server that enabled 0x580 + node-ID on the
  // node sees a copy of each reply in its batches). Transfers to one device (one line and
  // node-ID, whichever node object asks) run one after the other, each whole; do not run
  // segSdoRead on the same device at the same time.
  //
  // Results (namespace korvel): kOk; kFailed when the transfer failed by SDO (time-out, abort by
  // either side, toggle error, object larger than the buffer), with the abort code in *outcome;
  // kNoUsableLine without a usable line; NTCAN_INVALID_PARAMETER for bad arguments (node-ID
  // outside 1..127, index outside 0..0xFFFF, subindex outside 0..255, sizes, time-out); else the
  // failing driver call's status.
 public:
  // How a failed transfer ended: the abort code and who sent the abort. by_device is set for
  // every abort the device sent, whatever its code (0 included); abort_code 0 without
  // by_device means the transfer was not aborted. The client aborts on a reply time-out
  // (0x05040000), a toggle error (0x05030000), an object that does not fit the buffer
  // (0x05040005), and with 0x08000000 (general error) on a reply it cannot use or on an
  // upload that passes more than kSdoEmptySegmentsMax segments without data.
  struct sdo_outcome {
    std::uint32_t abort_code = 0;
    bool by_device = false;
  };
  // Longest wait for any one reply, in ms of the monotonic service clock (korvel::monotonic_ms):
  // a wait ends within about 10 ms after that time has passed, at any time-out of 1 ms or more.
  static constexpr int kSdoTimeoutMs = 1000;
  // The time-out bounds each reply; the whole transfer is bounded too: a download by its size,
  // an upload by the buffer's capacity for its data and, for segments that carry no data and
  // are not the last, by this many in one transfer. The next such segment is aborted
  // (0x08000000), so that a device cannot hold the caller and the device's channel for ever.
  static constexpr int kSdoEmptySegmentsMax = 8;

  // Upload of object index/subindex into buffer (capacity bytes, no terminating 0 added);
  // *size is the number of bytes read (0 after a failure).
  int sdo_read(int index, int subindex, unsigned char* buffer, int capacity, int* size,
               sdo_outcome* outcome = nullptr, int timeout_ms = kSdoTimeoutMs);
  // Download of size bytes (1 or more) into object index/subindex.
  int sdo_write(int index, int subindex, const unsigned char* data, int size,
                sdo_outcome* outcome = nullptr, int timeout_ms = kSdoTimeoutMs);
  // Operator text of an abort code, e.g. "0x06020000 object does not exist".
  static std::string sdo_abort_text(std::uint32_t code);

  // Lost-device supervision, driven by can_looping(): after each fill of the node's receive
  // buffer, a state frame of the device (heartbeat, guarding answer or boot-up: one byte on
  // 0x700 + node-ID, which the node must receive) counts as a sign of life. Once none was
  // taken for longer than ms (in ms of the monotonic service clock, korvel::monotonic_ms,
  // counted from the batch that took the last one), the node is lost at the next batch, so at
  // most one polling period of the server late: ".CONDITION" reads kLostText, ".ALIVE" holds
  // kLostAlive, and one line is logged. The first state frame after that stores its state as
  // D_Alive::set_value does (the usual texts) and logs the return once. ms 0 switches
  // supervision off (texts stay). Returns 0, or -1 for a negative ms.
  int supervise_alive(int ms);
  // True while the supervision counts the device as lost.
  bool is_lost() const;
  static constexpr const char* kLostText = "Lost: no heartbeat or guarding answer";
  static constexpr int kLostAlive = -1;

 private:
  // can_looping() hands over each master after its fill; the destructor forgets the node.
  friend int can_looping();
  static void supervise_batch(D_can* master);
  void forget_supervision();

  // ---- Process data (PDOs) -------------------------------------------------------------------
  //
  // Each object mapped into a transmit PDO of the device becomes a property of the node, named
  // "<NODE>.<index><SUB><sub>" (e.g. "PUMP1.6000SUB1") or "<NODE>.<name>" after name_object,
  // typed from the mapping (or as name_object gave, for an object of that length: a mapping read
  // from the device has lengths only) and updated from every such PDO the node's fill takes (the
  // server's batch still gets every frame). Objects mapped into a receive PDO become properties
  // too: a write sends that PDO with the current values of all its objects. An object no PDO
  // carries, given a type by name_object, is written by SDO download; the device's abort reaches
  // the writer by name. Only masters decode; a passive node shows no process data of its own.
  //
  // A node whose ".DEVICE_FILE" names a description file (EDS or DCF, CiA 306) has it loaded on
  // the library's worker thread when the node starts as a master (init with an identifier) and
  // again after each boot-up of its device. Each problem of the file is logged ("PUMP1:
  // pump1.dcf:12: ..."); a file with problems other than warnings is not used at all: the node
  // runs as it does without one, and ".CONDITION" says so. With a usable file:
  //  - the properties of mapped objects are named "<NODE>.<key>" after the file's objects (a
  //    name given by name_object comes first; a key that another property of the location has
  //    already keeps the default name) and typed from the file's DataType where the length
  //    agrees; find_object finds the file's objects by key;
  //  - a DCF's configured PDOs (ParameterValues) are written into the device by SDO download in
  //    the order of CiA 301: COB-ID with bit 31 set, mapping sub 0 = 0, the entries, sub 0 = n,
  //    transmission type, inhibit time (transmit PDOs) and event timer where the file gives
  //    them, then the file's COB-ID. A write the device refuses (or that times out) is logged
  //    by name and ends that PDO's sequence; the other PDOs go on, and ".CONDITION" shows the
  //    refused writes ("...; configuration: 1 write refused") until a configuration succeeds;
  //  - the mapping is then read from the device as init_process_data does, so that the node
  //    runs with the mapping the device really has, and after a DCF's writes the device is
  //    started (NMT start). An EDS, or a DCF that configures no PDO, writes nothing and starts
  //    nothing: the node reads the mapping and names it.
  // The node must receive the identifiers of its transmit PDOs and its boot-up frame as
  // init_process_data requires. Call name_object before init, so that its names come first.
 public:
  // How a mapped object's bits read (the mapping's lengths alone give unsigned integers, and
  // booleans for one bit).
  enum class pd_kind { unsigned_int, signed_int, real, boolean };
  struct pd_object {
    int index = 0;
    int subindex = 0;
    int bits = 0;  // 1..64; a real is 32 or 64
    pd_kind kind = pd_kind::unsigned_int;
  };
  struct pd_pdo {
    std::uint32_t cob_id = 0;        // the CAN identifier (11 bits)
    int transmission_type = 255;     // 0..240 synchronous, 254/255 event-driven
    int event_timer_ms = 0;          // 0: none
    std::vector<pd_object> objects;  // in the order they fill the PDO
  };
  // Gives the device's transmit and receive PDOs (4 each at most) in code; replaces whatever
  // was read or given before. A PDO whose objects cannot make a mapping is logged and left
  // out. korvel::kOk, or kFailed when a PDO was left out.
  int set_process_data(const std::vector<pd_pdo>& tpdos, const std::vector<pd_pdo>& rpdos);
  // Reads the device's mapping (0x1400-0x1403/0x1600-0x1603, 0x1800-0x1803/0x1A00-0x1A03) by
  // SDO on the library's worker thread, now and again after each boot-up of the device
  // (0x700 + node-ID with 0x00). The node must receive that frame and its TPDOs' identifiers
  // (init, AddIdent) like any frame it takes. Returns at once: korvel::kOk.
  // Problems and device aborts are logged by name; the node runs on without those PDOs.
  int init_process_data();
  // Names the property of object index/subindex "<NODE>.<name>". With bits above 0, the
  // object reads as that type wherever a mapping carries it with that length, and gets a
  // property of that type also when no PDO carries it (written by SDO).
  // korvel::kOk, or kFailed for a name already taken by another object, an object whose
  // property exists under another name already, or a bad type.
  int name_object(int index, int subindex, const std::string& name, int bits = 0,
                  pd_kind kind = pd_kind::unsigned_int);
  // The property of object index/subindex, or null.
  D_fct* process_property(int index, int subindex) const;
  // The object an operator names: a name given by name_object (as given), else the key of an
  // object of the node's description file (see above) without regard to case ("motor_speed"
  // finds MOTOR_SPEED); the key of a whole ARRAY or RECORD names no single object. Sets *index
  // and *subindex (each may be null); korvel::kOk, or kFailed when no object has that name.
  // SDO by name: find_object, then sdo_read / sdo_write with the index and subindex it gave.
  int find_object(const std::string& name, int* index, int* subindex) const;
  // Writes value into object index/subindex: by its receive PDO when one carries it, else by
  // SDO download. korvel::kOk, or an error with its text in *error (e.g. the device's abort
  // by name).
  int write_object(int index, int subindex, const EqData& value, std::string* error);
  // Periods without its PDO after which an object reads as stale (default 3; 1 or more).
  int set_stale_periods(int periods);
  // PDOs shorter than their mapping (nothing updated), since the node got its process data.
  std::uint64_t short_pdos() const;
  // True while the worker still has to read the node's mapping, or to go through its
  // description file (configuration, NMT start, condition) (a test waits on it).
  bool process_data_pending() const;
  // Makes the node's line produce SYNC (see canline::produce_sync).
  int produce_sync(int period_ms, int overflow = 0);

 private:
  friend struct korvel::ProcessData;
  void process_batch(std::int64_t* now_ms);
  void forget_process_data();
  korvel::ProcessData* pd_ = nullptr;  // under mx_loop

  // ".CONDITION" is the device's state text followed by a note of what holds beside it (a
  // refused configuration, an unusable description file): "Operational; configuration: 1 write
  // refused". show_condition sets the state text, condition_note the note (empty: none).
  void show_condition(const std::string& state);
  void condition_note(const std::string& note);
  std::mutex condition_mx_;
  std::string condition_note_;  // under condition_mx_
};

// Polls every registered master: one non-blocking fill of its receive buffer each.
int can_looping();

// One CAN line (one net of the driver), shared by every node that names its line number.
// Its fields are shared with the line's supervision thread.
class canline {
 public:
  canline();
  ~canline();

  // Opens a driver handle on the line's net into `handle`, or confirms the one it holds.
  int can_open(NTCAN_HANDLE& handle, bool openalways);
  // (Re)opens the line handle itself; identifiers enabled on the old line handle are enabled
  // again on the new one.
  int can_open();
  // Closes the line handle only.
  int can_close();
  int line() const { return line_; }
  bool is_open() const { return is_open_; }
  NTCAN_HANDLE handle() const { return linehandle_.load(); }
  void setline(int l) { line_ = l; }
  void setbaud(int b) { baudrate_ = b; }
  void setlineip(std::string& ip) { line_ip_ = ip; }
  const std::string& lineip() const { return line_ip_; }
  // Gateway address of net lineno - 1 from the gateway file; 0 when it is 15 characters long.
  int getlineip(int lineno, std::string& ip);
  // Resets the line's network gateway by an HTTP form post (wget), if allowed; returns
  // within the reset time limit (30 s unless set otherwise).
  void reset_line();
  void set_reset_time_limit(std::chrono::milliseconds limit) { reset_limit_ms_ = limit.count(); }

  // Identifiers that nodes enabled on the line handle, to enable again after a re-open.
  void remember_id(int32_t id);
  void forget_id(int32_t id);

  std::atomic<NTCAN_HANDLE> linehandle_;
  int todo_;
  int line_;
  int baudrate_;
  std::atomic<bool> is_open_;
  std::atomic<bool> err_first_;
  uint32_t board_status;
  bool deny_wget_reset_;
  bool reset_first_;
  std::thread t1_;
  std::string line_ip_;
  std::atomic_bool ThreadStop_;

  // SYNC producer: a thread of the line sends SYNC (0x080) on the line handle every
  // period_ms of the service clock, with a counter 1..overflow when overflow is 2..240 (0: no
  // counter). A period of 0 stops it; a running producer takes the new period and counter.
  // While the line is down no SYNC is sent. korvel::kOk, or NTCAN_INVALID_PARAMETER.
  int produce_sync(int period_ms, int overflow = 0);
  // The period of the running producer in ms; 0 when none runs.
  int sync_period_ms() const { return sync_period_ms_.load(std::memory_order_relaxed); }
  // SYNC frames sent by the producer.
  std::uint64_t syncs_sent() const { return syncs_sent_.load(); }
  // Stops the producer and waits for its thread (also done at process exit).
  void stop_sync();

 private:
  void sync_loop();
  std::mutex sync_mx_;
  std::condition_variable sync_cv_;
  std::thread sync_thread_;
  bool sync_stop_ = false;
  int sync_overflow_ = 0;
  std::int64_t sync_start_ms_ = 0;
  std::atomic<int> sync_period_ms_{0};
  std::atomic<std::uint64_t> syncs_sent_{0};

  std::mutex ids_mx_;
  std::vector<int32_t> line_ids_;            // in the order they were first enabled
  std::unordered_set<int32_t> line_id_set_;  // the same identifiers, to look one up
  bool bad_ip_logged_;
  std::atomic<std::chrono::milliseconds::rep> reset_limit_ms_;
};

// The supervision thread of a line (argument: the canline*). Returns null.
void* can_control(void* arg);

// Name and hexadecimal value of a driver status, e.g. "NTCAN_CONTR_OFF_BUS(0x00000105)".
std::string can_error_str(unsigned long ntstatus);

// Path of the gateway address file: $KORVEL_GATEWAY_FILE when set, else "/etc/esd-plugin".
std::string gateway_file_path();

// Snapshots of the process-wide lists, for diagnostics: the polled masters and all lines.
std::vector<D_can*> korvel_polled_nodes();
std::vector<canline*> korvel_lines();

#endif  // D_KORVEL_H
