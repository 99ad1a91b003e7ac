// Reading an EDS of 2,000 objects (VARs, RECORDs with subobjects, ARRAYs with CompactSubObj,
// the PDO records): parse time against merely reading the same bytes (a copy, a scan for line
// ends, the file read from disk), and memory: bytes the parse allocates, its peak, and what
// the result keeps against the size of the file.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "canopen/device_description.h"

// Every allocation of the program goes through here: a header before each block keeps its
// size, so that frees count too and the live and peak bytes are known.
namespace {

std::size_t g_allocated = 0;  // bytes handed out so far
std::size_t g_allocations = 0;
std::size_t g_live = 0;
std::size_t g_peak = 0;
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* counted_alloc(std::size_t n) {
  void* p = std::malloc(n + kHeader);
  if (!p) throw std::bad_alloc();
  *static_cast<std::size_t*>(p) = n;
  g_allocated += n;
  ++g_allocations;
  g_live += n;
  if (g_live > g_peak) g_peak = g_live;
  return static_cast<char*>(p) + kHeader;
}

void counted_free(void* p) {
  if (!p) return;
  char* block = static_cast<char*>(p) - kHeader;
  g_live -= *reinterpret_cast<std::size_t*>(block);
  std::free(block);
}

}  // namespace

void* operator new(std::size_t n) { return counted_alloc(n); }
void* operator new[](std::size_t n) { return counted_alloc(n); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }

namespace {

using korvel::canopen::DeviceDescription;

constexpr int kObjects = 2000;

void add(std::string& s, const char* format, unsigned a, unsigned b = 0) {
  char line[128];
  std::snprintf(line, sizeof line, format, a, b);
  s += line;
}

void var(std::string& s, const char* section, const char* name, unsigned type, const char* access,
         bool mappable, const char* value) {
  s += "[";
  s += section;
  s += "]\nParameterName=";
  s += name;
  add(s, "\nObjectType=0x7\nDataType=0x%04X\nAccessType=", type);
  s += access;
  s += "\nDefaultValue=";
  s += value;
  s += mappable ? "\nPDOMapping=1\n\n" : "\nPDOMapping=0\n\n";
}

std::string sub_section(unsigned index, unsigned sub) {
  char text[16];
  std::snprintf(text, sizeof text, "%04Xsub%X", index, sub);
  return text;
}

void record(std::string& s, unsigned index, const char* name, unsigned subs) {
  add(s, "[%04X]\n", index);
  s += "ParameterName=";
  s += name;
  add(s, "\nObjectType=0x9\nSubNumber=%u\n\n", subs + 1);
}

// A file as a device maker writes one: identity, the lists, 4 + 4 PDOs, then manufacturer VARs,
// RECORDs of three subobjects and ARRAYs of eight compact subobjects until kObjects objects.
std::string make_eds() {
  std::string s =
      "[FileInfo]\nFileName=big.eds\nFileVersion=1\nDescription=generated for the benchmark\n\n"
      "[DeviceInfo]\nVendorName=Bench Devices\nVendorNumber=0x0000ABCD\nProductName=Big one\n"
      "ProductNumber=0x1\nRevisionNumber=0x10000\nBaudRate_125=1\nBaudRate_250=1\n"
      "BaudRate_500=1\nNrOfRXPDO=4\nNrOfTXPDO=4\n\n[DummyUsage]\nDummy0005=1\n\n";
  std::vector<unsigned> indexes = {0x1000, 0x1001, 0x1018};
  for (unsigned n = 0; n < 4; ++n) {
    for (unsigned base : {0x1400u, 0x1600u, 0x1800u, 0x1A00u}) indexes.push_back(base + n);
  }
  for (unsigned i = 0x2000; indexes.size() < kObjects; ++i) indexes.push_back(i);
  s += "[MandatoryObjects]\nSupportedObjects=3\n1=0x1000\n2=0x1001\n3=0x1018\n\n";
  add(s, "[OptionalObjects]\nSupportedObjects=%u\n", 16);
  for (unsigned i = 0; i < 16; ++i) add(s, "%u=0x%04X\n", i + 1, indexes[3 + i]);
  add(s, "\n[ManufacturerObjects]\nSupportedObjects=%u\n", kObjects - 19);
  for (unsigned i = 19; i < kObjects; ++i) add(s, "%u=0x%04X\n", i - 18, indexes[i]);
  s += "\n";
  var(s, "1000", "Device type", 0x7, "ro", false, "0x00020192");
  var(s, "1001", "Error register", 0x5, "ro", true, "0");
  record(s, 0x1018, "Identity object", 4);
  var(s, "1018sub0", "Highest sub-index supported", 0x5, "ro", false, "4");
  var(s, "1018sub1", "Vendor-ID", 0x7, "ro", false, "0x0000ABCD");
  var(s, "1018sub2", "Product code", 0x7, "ro", false, "0x1");
  var(s, "1018sub3", "Revision number", 0x7, "ro", false, "0x10000");
  var(s, "1018sub4", "Serial number", 0x7, "ro", false, "0");
  for (unsigned n = 0; n < 4; ++n) {
    for (unsigned comm : {0x1400u + n, 0x1800u + n}) {
      const bool tx = comm >= 0x1800;
      record(s, comm, tx ? "TPDO communication parameter" : "RPDO communication parameter", 5);
      var(s, sub_section(comm, 0).c_str(), "Highest sub-index supported", 0x5, "ro", false, "5");
      char cob[32];
      std::snprintf(cob, sizeof cob, "$NODEID+0x%X", (tx ? 0x180 : 0x200) + 0x100 * n);
      var(s, sub_section(comm, 1).c_str(), "COB-ID", 0x7, "rw", false, cob);
      var(s, sub_section(comm, 2).c_str(), "Transmission type", 0x5, "rw", false, "255");
      var(s, sub_section(comm, 3).c_str(), "Inhibit time", 0x6, "rw", false, "0");
      var(s, sub_section(comm, 5).c_str(), "Event timer", 0x6, "rw", false, "100");
      const unsigned map = comm + 0x200;
      record(s, map, tx ? "TPDO mapping parameter" : "RPDO mapping parameter", 2);
      var(s, sub_section(map, 0).c_str(), "Number of mapped objects", 0x5, "rw", false, "2");
      char entry[16];
      std::snprintf(entry, sizeof entry, "0x%04X0010", 0x2000 + 7 * n);
      var(s, sub_section(map, 1).c_str(), "Mapped object 1", 0x7, "rw", false, entry);
      std::snprintf(entry, sizeof entry, "0x%04X0010", 0x2000 + 7 * (n + 4));
      var(s, sub_section(map, 2).c_str(), "Mapped object 2", 0x7, "rw", false, entry);
    }
  }
  for (unsigned i = 19; i < kObjects; ++i) {
    const unsigned index = indexes[i];
    char name[48];
    if (index % 7 == 5) {
      std::snprintf(name, sizeof name, "Channel parameters %u", index - 0x2000);
      record(s, index, name, 3);
      var(s, sub_section(index, 0).c_str(), "Highest sub-index supported", 0x5, "ro", false, "3");
      var(s, sub_section(index, 1).c_str(), "Gain", 0x8, "rw", false, "1.5");
      var(s, sub_section(index, 2).c_str(), "Offset", 0x3, "rw", false, "-200");
      var(s, sub_section(index, 3).c_str(), "Unit text", 0x9, "ro", false, "mm/s");
    } else if (index % 7 == 6) {
      add(s, "[%04X]\nParameterName=Limit table %u\nObjectType=0x8\nDataType=0x0006\n", index,
          index - 0x2000);
      s += "AccessType=rw\nDefaultValue=1000\nPDOMapping=1\nCompactSubObj=8\n\n";
    } else {
      std::snprintf(name, sizeof name, "Process value %u", index - 0x2000);
      char section[8];
      std::snprintf(section, sizeof section, "%04X", index);
      var(s, section, name, 0x6, "rww", true, "0x0000");
    }
  }
  return s;
}

const std::string& eds() {
  static const std::string text = make_eds();
  return text;
}

void ParseDescription(benchmark::State& state) {
  const std::string& text = eds();
  {
    const auto check = DeviceDescription::parse(text, "big.eds");
    if (!check.ok()) {
      state.SkipWithError(korvel::canopen::to_string(check.problems().front()).c_str());
      return;
    }
  }
  std::size_t allocated = 0, allocations = 0, peak = 0, kept = 0, objects = 0;
  for (auto _ : state) {
    const std::size_t a0 = g_allocated, n0 = g_allocations, live0 = g_live;
    g_peak = g_live;
    auto d = DeviceDescription::parse(text, "big.eds");
    allocated = g_allocated - a0;
    allocations = g_allocations - n0;
    peak = g_peak - live0;
    kept = g_live - live0;
    objects = d.objects().size();
    benchmark::DoNotOptimize(d);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["file_bytes"] = static_cast<double>(text.size());
  state.counters["entries"] = static_cast<double>(objects);
  state.counters["allocated_bytes"] = static_cast<double>(allocated);
  state.counters["allocations"] = static_cast<double>(allocations);
  state.counters["peak_bytes"] = static_cast<double>(peak);
  state.counters["result_bytes"] = static_cast<double>(kept);
  state.counters["result_per_file_byte"] = static_cast<double>(kept) / text.size();
}
BENCHMARK(ParseDescription)->Unit(benchmark::kMicrosecond);

// The bytes copied: the least any reader of the text costs.
void CopyText(benchmark::State& state) {
  const std::string& text = eds();
  for (auto _ : state) {
    std::string copy(text);
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(CopyText)->Unit(benchmark::kMicrosecond);

// The text scanned for its line ends, as the reader's first step does.
void ScanLines(benchmark::State& state) {
  const std::string& text = eds();
  for (auto _ : state) {
    std::size_t lines = 0;
    for (const char *p = text.data(), *end = p + text.size();
         (p = static_cast<const char*>(std::memchr(p, '\n', end - p))) != nullptr; ++p) {
      ++lines;
    }
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(ScanLines)->Unit(benchmark::kMicrosecond);

// The file read from disk (the page cache) into a string, as DeviceDescription::load does.
void ReadFile(benchmark::State& state) {
  const std::string& text = eds();
  const std::string path = "/tmp/korvel_device_description_bench.eds";
  std::ofstream(path, std::ios::binary) << text;
  for (auto _ : state) {
    std::ifstream in(path, std::ios::binary);
    std::string read((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    benchmark::DoNotOptimize(read.data());
  }
  std::remove(path.c_str());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(ReadFile)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
