// Configuration file of a location: loading, malformed lines, writing back.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "vexil/vexil_host.h"

namespace {

// A persisted integer as a library property would persist one: "NAME:\t<int>".
class PersistedInt : public D_int_ptr {
 public:
  PersistedInt(const std::string& name, EqFct* owner) : D_int_ptr(name, &v_, owner) {}
  void conf(Config* c) override { conf_insert(c, DATA_INT); }
  void read() override {
    ++reads;
    if (const D_conf_struct* rec = find_prop_name()) v_ = rec->d_int;
  }
  void write(std::ostream& out) override {
    D_fct::write(out);
    out << "\t" << v_ << "\n";
  }
  int v_ = 0;
  int reads = 0;
};

class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vexil_config_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/loc.conf";
  }
  void TearDown() override {
    for (const std::string& name : files()) std::remove((dir_ + "/" + name).c_str());
    rmdir(dir_.c_str());
  }
  // Names in the test's folder, sorted.
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir_.c_str())) {
      while (const dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
      }
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  static std::string read_path(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  void write_file(const std::string& text) {
    std::ofstream f(path_);
    f << text;
  }
  std::string read_file() const {
    std::ifstream f(path_);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  static std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
  }

  std::string dir_;
  std::string path_;
};

void set_iiii(D_iiii& p, int a, int b, int c, int d) { *p.value() = IIII{a, b, c, d}; }

TEST_F(ConfigFile, WriteThenReadGivesBackTheValuesAndKeepsForeignLines) {
  write_file(
      "# location settings\n"
      "\n"
      "NODE1: \t1  16  400  0\n"
      "OTHER.THING: some text 12\n"
      "NODE1.BAUDRATE:\t6\n"
      "   # indented comment\n");
  {
    EqFct loc("LOC", path_);
    D_iiii node("NODE1 first node", &loc);
    PersistedInt baud("NODE1.BAUDRATE", &loc);
    PersistedInt extra("EXTRA", &loc);  // registered, but no line yet
    ASSERT_EQ(loc.load_config(), 0);
    EXPECT_EQ(node.value()->i2_data, 16);
    EXPECT_EQ(node.value()->i3_data, 400);
    EXPECT_EQ(baud.v_, 6);

    set_iiii(node, INT_MIN, -1, INT_MAX, 0x7f);
    baud.v_ = -123456;
    extra.v_ = 9;
    ASSERT_EQ(loc.save_config(), 0);
  }
  const std::vector<std::string> lines = lines_of(read_file());
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "# location settings");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "NODE1: \t-2147483648  -1  2147483647  127");
  EXPECT_EQ(lines[3], "OTHER.THING: some text 12");
  EXPECT_EQ(lines[4], "NODE1.BAUDRATE:\t-123456");
  EXPECT_EQ(lines[5], "   # indented comment");
  EXPECT_EQ(lines[6], "EXTRA:\t9");

  EqFct again("LOC", path_);
  D_iiii node("NODE1", &again);
  PersistedInt baud("NODE1.BAUDRATE", &again);
  PersistedInt extra("EXTRA", &again);
  ASSERT_EQ(again.load_config(), 0);
  EXPECT_EQ(node.value()->i1_data, INT_MIN);
  EXPECT_EQ(node.value()->i2_data, -1);
  EXPECT_EQ(node.value()->i3_data, INT_MAX);
  EXPECT_EQ(node.value()->i4_data, 0x7f);
  EXPECT_EQ(baud.v_, -123456);
  EXPECT_EQ(extra.v_, 9);

  // Unknown lines become records too, with their integers as far as they parse.
  const D_conf_struct* other = again.config()->find("OTHER.THING");
  ASSERT_NE(other, nullptr);
  EXPECT_TRUE(other->found);
  EXPECT_EQ(other->d_text, "some text 12");
  EXPECT_EQ(other->n_ints, 0);
  EXPECT_EQ(other->line, 4);
  EXPECT_EQ(other->file, path_);
}

TEST_F(ConfigFile, MalformedLinesAreReportedAndSkippedWhileTheOthersLoad) {
  write_file(
      "A: 1 2 3\n"        // 1: three integers for a four-integer property
      "B: 1 2 x 4\n"      // 2: not an integer
      "C: 5 6 7 8\n"      // 3: good
      "D: 99999999999\n"  // 4: beyond 32 bits
      "no colon here\n"   // 5
      " : 5\n"            // 6: empty name
      "E: 0x10\n"         // 7: good, hexadecimal
      "F: 3 4\n"          // 8: two integers for one
      "G:\t-7\n");        // 9: good
  EqFct loc("LOC", path_);
  D_iiii a("A", &loc), b("B", &loc), c("C", &loc);
  PersistedInt d("D", &loc), e("E", &loc), f("F", &loc), g("G", &loc);
  set_iiii(a, 9, 9, 9, 9);
  d.v_ = 42;

  vexil::LogCapture log;
  EXPECT_EQ(loc.load_config(), 6);
  for (int line : {1, 2, 4, 5, 6, 8})
    EXPECT_EQ(log.count(path_ + ":" + std::to_string(line) + ":"), 1) << "line " << line;
  EXPECT_EQ(static_cast<int>(log.with_heading("config").size()), 6);

  EXPECT_EQ(c.value()->i4_data, 8);
  EXPECT_EQ(e.v_, 16);
  EXPECT_EQ(g.v_, -7);
  // Skipped lines leave no record: the properties keep what they had.
  EXPECT_EQ(a.value()->i1_data, 9);
  EXPECT_EQ(d.v_, 42);
  EXPECT_EQ(loc.config()->find("A"), nullptr);
  EXPECT_EQ(loc.config()->find("F"), nullptr);

  // Writing back repairs the malformed property lines in place.
  std::ostringstream out;
  loc.write_config(out);
  const std::vector<std::string> lines = lines_of(out.str());
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0], "A: \t9  9  9  9");
  EXPECT_EQ(lines[3], "D:\t42");
  EXPECT_EQ(lines[4], "no colon here");
  EXPECT_EQ(lines[6], "E:\t16");
}

TEST_F(ConfigFile, MissingFileIsReportedOnceAndPropertiesStillRead) {
  EqFct loc("LOC", dir_ + "/absent.conf");
  PersistedInt p("P", &loc);
  p.v_ = 5;
  vexil::LogCapture log;
  EXPECT_EQ(loc.load_config(), -1);
  EXPECT_EQ(log.count("absent.conf"), 1);
  EXPECT_EQ(p.reads, 1);
  EXPECT_EQ(p.v_, 5);
  EXPECT_EQ(loc.config()->type_of(&p), DATA_INT);
}

TEST_F(ConfigFile, ReloadForgetsLinesThatWentAway) {
  write_file("P:\t1\nQ: text\n");
  EqFct loc("LOC", path_);
  PersistedInt p("P", &loc);
  ASSERT_EQ(loc.load_config(), 0);
  const D_conf_struct* q = loc.config()->find("Q");
  ASSERT_NE(q, nullptr);
  write_file("P:\t2\n");
  ASSERT_EQ(loc.load_config(), 0);
  EXPECT_EQ(p.v_, 2);
  EXPECT_EQ(loc.config()->find("Q"), nullptr);
  EXPECT_FALSE(q->found);  // the old pointer stays valid
}

TEST_F(ConfigFile, LookupFailureAndRestore) {
  write_file("N: 1 2 3 4\n");
  EqFct loc("LOC", path_);
  D_iiii n("N", &loc);
  std::istringstream text("N: 1 2 3 4\n");
  ASSERT_EQ(loc.parse_config(text, "inline"), 0);

  loc.config()->fail_lookups("store down");
  EXPECT_THROW(n.find_prop_name(), std::runtime_error);
  loc.config()->fail_lookups("");

  vexil::detail::restore_conf(&loc, &n);
  EXPECT_EQ(loc.config()->type_of(&n), DATA_IIII);
  EXPECT_EQ(n.value()->i4_data, 4);
}

TEST_F(ConfigFile, PropertiesRegisterWithTheirLocation) {
  EqFct loc("LOC", path_);
  loc.set_username("op");
  loc.set_hostname("host1");
  EXPECT_EQ(loc.get_user_and_host(), "op@host1");
  auto a = std::make_unique<D_iiii>("A desc", &loc);
  D_iiii b("B", &loc);
  a->conf(loc.config());
  EXPECT_EQ(loc.find_property("A"), a.get());
  a.reset();
  EXPECT_EQ(loc.find_property("A"), nullptr);
  ASSERT_EQ(loc.properties().size(), 1u);
  EXPECT_EQ(loc.properties()[0], &b);
  EXPECT_EQ(loc.save_config(), 0);
  EXPECT_EQ(read_file(), "");  // nothing registered for the file
}

// Properties are found by base name, the first created first, also after removals have left
// gaps in the location's list and after the list was compacted.
TEST_F(ConfigFile, PropertyLookupKeepsCreationOrderThroughRemovals) {
  EqFct loc("LOC");
  std::vector<std::unique_ptr<D_iiii>> props;  // base names P0 to P9, ten of each
  for (int i = 0; i < 100; ++i)
    props.push_back(std::make_unique<D_iiii>("P" + std::to_string(i % 10) + " copy", &loc));
  EXPECT_EQ(loc.find_property("P3"), props[3].get());
  props[3].reset();
  EXPECT_EQ(loc.find_property("P3"), props[13].get());
  for (int i = 0; i < 100; ++i)
    if (i % 10 != 7) props[i].reset();
  EXPECT_EQ(loc.find_property("P3"), nullptr);
  EXPECT_EQ(loc.find_property("P7"), props[7].get());
  loc.add_property(props[17].get());  // already registered: no second entry
  std::vector<D_fct*> expect;
  for (int i = 7; i < 100; i += 10) expect.push_back(props[i].get());
  EXPECT_EQ(loc.properties(), expect);
  props[7].reset();
  EXPECT_EQ(loc.find_property("P7"), props[17].get());
  auto late = std::make_unique<D_iiii>("P7", &loc);
  expect.erase(expect.begin());
  expect.push_back(late.get());
  EXPECT_EQ(loc.properties(), expect);
}

// Writing back replaces the file as editors do: a new file beside it, renamed over it.
class ConfigWriteBack : public ConfigFile {
 protected:
  // A location whose one property P is saved with value v.
  int save(const std::string& config_path, int v) {
    EqFct loc("LOC", config_path);
    PersistedInt p("P", &loc);
    loc.load_config();
    p.v_ = v;
    return loc.save_config();
  }
};

TEST_F(ConfigWriteBack, SymbolicLinkStaysAndTheFileItPointsToGetsTheValues) {
  const std::string real = dir_ + "/real.conf";
  std::ofstream(real) << "P:\t1\n";
  ASSERT_EQ(symlink("real.conf", path_.c_str()), 0);  // relative, as administrators write them
  ASSERT_EQ(save(path_, 2), 0);
  struct stat st;
  ASSERT_EQ(lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(read_path(real), "P:\t2\n");
  EXPECT_EQ(files(), (std::vector<std::string>{"loc.conf", "real.conf"}));
}

TEST_F(ConfigWriteBack, ModeAndOwnerAreKept) {
  write_file("P:\t1\n");
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  // Another user's file, when we may hand files to other users.
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(path_.c_str(), 4321, 8765), 0);
  }
  ASSERT_EQ(save(path_, 2), 0);
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 8765u);
  }
  EXPECT_EQ(read_file(), "P:\t2\n");
}

TEST_F(ConfigWriteBack, PlantedLinksBesideTheFileAreNeverFollowed) {
  write_file("P:\t1\n");
  const std::string victim = dir_ + "/victim";
  std::ofstream(victim) << "precious\n";
  // Links at the names a predictable temporary file would have.
  const std::string pid = std::to_string(getpid());
  for (const std::string& name :
       {path_ + ".tmp." + pid, path_ + ".tmp", path_ + "~", path_ + ".new"}) {
    ASSERT_EQ(symlink(victim.c_str(), name.c_str()), 0) << name;
  }
  ASSERT_EQ(save(path_, 2), 0);
  EXPECT_EQ(read_path(victim), "precious\n");
  EXPECT_EQ(read_file(), "P:\t2\n");
  struct stat st;
  ASSERT_EQ(lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(files().size(), 6u);  // the file, the victim, the four links: no temporary file left
}

TEST_F(ConfigWriteBack, FailedWriteLeavesTheOldFileAndNoTemporaryFile) {
  write_file("P:\t1\n# a long comment that makes the file bigger than the limit below\n");
  vexil::LogCapture log;
  // Files may grow to 8 bytes only: writing the new text fails half-way.
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  rlimit small = old_limit;
  small.rlim_cur = 8;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const int r = save(path_, 2);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(r, -1);
  EXPECT_EQ(read_file(),
            "P:\t1\n# a long comment that makes the file bigger than the limit below\n");
  EXPECT_EQ(files(), std::vector<std::string>{"loc.conf"});
  EXPECT_EQ(log.count("cannot write configuration file"), 1);
}

}  // namespace
