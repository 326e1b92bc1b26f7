// XML document against pugixml on a generated 20 MB update list: parse plus
// reading filename, version and datetime of every module element. Reports
// throughput (MB/s of input bytes) for both, their ratio, and the memory the
// parsed document holds per element. Each runs five times, the runs of the
// different benchmarks interleaved; the ratio uses the best run of each.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <string>
#include <vector>

#include <malloc.h>

#include "xml/utf8.h"
#include "xml/xml_document.h"

#if __has_include(<pugixml.hpp>)
#include <pugixml.hpp>
#define VIREO_HAVE_PUGIXML 1
#endif

// Live heap bytes, counted through the global allocation functions while a
// document is being built (g_counting), so that the counting costs nothing in
// the reading loop. The benchmarks run on one thread.
static long long g_liveBytes = 0;
static bool g_counting = false;

void* operator new(std::size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  if (g_counting) g_liveBytes += static_cast<long long>(malloc_usable_size(p));
  return p;
}
void operator delete(void* p) noexcept {
  if (!p) return;
  if (g_counting) g_liveBytes -= static_cast<long long>(malloc_usable_size(p));
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

namespace {

constexpr int kModules = 100000;

const std::string& UpdateList() {
  static const std::string text = [] {
    std::string s = "<?xml version=\"1.0\" encoding=\"euc-kr\"?>\n<update>\n";
    char line[512];
    for (int i = 0; i < kModules; ++i) {
      std::snprintf(line, sizeof line,
                    "  <module filename=\"bin\\modules\\imaging\\pacs_component_%06d\\libvireo_component_%06d_"
                    "render_pipeline_%s.dll\" version=\"%d.%d.%d.%d\" datetime=\"2024%02d%02d%02d%02d\"/>\n",
                    i, i, (i % 3) ? "release" : "release_with_debug_info", 2 + i % 5, i % 10, i % 100, i,
                    1 + i % 12, 1 + i % 28, i % 24, i % 60);
      s += line;
    }
    s += "</update>\n";
    return s;
  }();
  return text;
}

std::map<std::string, double> g_mbPerSecond;
std::map<std::string, double> g_bytesPerElement;

// Reads the three attributes of every module element; returns how many
// modules there were.
int ReadModules(CXmlDocument& doc, std::size_t& checksum) {
  doc.FindElement(L"update");
  doc.EnterElement();
  int n = 0;
  while (doc.FindElement(L"module")) {
    checksum += doc.GetAttributeValue(L"filename").size();
    checksum += doc.GetAttributeValue(L"version").size();
    checksum += doc.GetAttributeValue(L"datetime").size();
    ++n;
  }
  return n;
}

// SetText and the reads, as the updater does them: the text reaches SetText
// decoded (the decoding is not timed here; see VireoFromBytes).
void VireoParseAndRead(benchmark::State& state) {
  const std::string& bytes = UpdateList();
  std::size_t checksum = 0;
  double perElement = 0;
  for (auto _ : state) {
    // Everything the document holds once built, its own copy of the text
    // included; the decoded text it was given is freed by then.
    state.PauseTiming();
    g_counting = true;
    const long long before = g_liveBytes;
    std::wstring text = Utf8ToWide(bytes);
    state.ResumeTiming();
    CXmlDocument doc;
    doc.SetText(std::move(text));
    perElement = static_cast<double>(g_liveBytes - before) / kModules;
    g_counting = false;
    if (ReadModules(doc, checksum) != kModules) state.SkipWithError("wrong module count");
  }
  benchmark::DoNotOptimize(checksum);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
  state.counters["bytes_per_element"] = perElement;
  g_bytesPerElement["vireo"] = perElement;
}
BENCHMARK(VireoParseAndRead)->Unit(benchmark::kMillisecond)->MinTime(1.0)->Repetitions(5);

// The same from the bytes: UTF-8 decoding (to 4-byte wchar_t units on this
// platform, 2-byte on Windows) timed as well.
void VireoFromBytes(benchmark::State& state) {
  const std::string& bytes = UpdateList();
  std::size_t checksum = 0;
  for (auto _ : state) {
    CXmlDocument doc;
    doc.SetText(Utf8ToWide(bytes));
    if (ReadModules(doc, checksum) != kModules) state.SkipWithError("wrong module count");
  }
  benchmark::DoNotOptimize(checksum);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(VireoFromBytes)->Unit(benchmark::kMillisecond)->MinTime(1.0)->Repetitions(5);

// The parse alone, on text decoded beforehand.
void VireoSetTextOnly(benchmark::State& state) {
  const std::wstring text = Utf8ToWide(UpdateList());
  CXmlDocument doc;
  for (auto _ : state) {
    state.PauseTiming();
    std::wstring copy = text;
    state.ResumeTiming();
    benchmark::DoNotOptimize(doc.SetText(std::move(copy)));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * UpdateList().size()));
}
BENCHMARK(VireoSetTextOnly)->Unit(benchmark::kMillisecond)->MinTime(1.0)->Repetitions(5);

#ifdef VIREO_HAVE_PUGIXML
long long g_pugiBytes = 0;
void* PugiAllocate(std::size_t size) {
  void* p = std::malloc(size);
  if (p && g_counting) g_pugiBytes += static_cast<long long>(malloc_usable_size(p));
  return p;
}
void PugiDeallocate(void* p) {
  if (!p) return;
  if (g_counting) g_pugiBytes -= static_cast<long long>(malloc_usable_size(p));
  std::free(p);
}

void PugixmlParseAndRead(benchmark::State& state) {
  pugi::set_memory_management_functions(PugiAllocate, PugiDeallocate);
  const std::string& bytes = UpdateList();
  std::size_t checksum = 0;
  double perElement = 0;
  for (auto _ : state) {
    g_counting = true;
    const long long before = g_pugiBytes + g_liveBytes;
    pugi::xml_document doc;
    doc.load_buffer(bytes.data(), bytes.size());
    perElement = static_cast<double>(g_pugiBytes + g_liveBytes - before) / kModules;
    g_counting = false;
    int n = 0;
    for (pugi::xml_node m = doc.child("update").child("module"); m; m = m.next_sibling("module")) {
      checksum += std::char_traits<char>::length(m.attribute("filename").value());
      checksum += std::char_traits<char>::length(m.attribute("version").value());
      checksum += std::char_traits<char>::length(m.attribute("datetime").value());
      ++n;
    }
    if (n != kModules) state.SkipWithError("wrong module count");
  }
  benchmark::DoNotOptimize(checksum);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
  state.counters["bytes_per_element"] = perElement;
  g_bytesPerElement["pugixml"] = perElement;
}
BENCHMARK(PugixmlParseAndRead)->Unit(benchmark::kMillisecond)->MinTime(1.0)->Repetitions(5);
#endif

// Keeps each benchmark's best throughput over its repetitions (the machine
// may be shared; interference only ever slows a run down) so that the ratio
// can be printed at the end. Aggregate rows are skipped.
class CRatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate) continue;
      const auto it = run.counters.find("bytes_per_second");
      if (it == run.counters.end()) continue;
      const std::string name = run.benchmark_name();
      double& best = g_mbPerSecond[name.substr(0, name.find('/'))];
      if (it->second / 1e6 > best) best = it->second / 1e6;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  // Repetitions of the different benchmarks alternate unless told otherwise,
  // so that a machine getting slower or faster meanwhile weighs on both sides.
  std::vector<char*> args(argv, argv + argc);
  bool interleaving = false;
  for (int i = 1; i < argc; ++i) {
    interleaving |= std::string(argv[i]).rfind("--benchmark_enable_random_interleaving", 0) == 0;
  }
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  if (!interleaving) args.push_back(interleave);
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  std::printf("input: %zu bytes, %d module elements\n", UpdateList().size(), kModules);
  CRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double vireo = g_mbPerSecond["VireoParseAndRead"];
  const double pugi = g_mbPerSecond["PugixmlParseAndRead"];
  const double fromBytes = g_mbPerSecond["VireoFromBytes"];
  std::printf("SetText+read MB/s (best run): vireo %.1f, pugixml %.1f, ratio %.2f\n", vireo, pugi,
              pugi > 0 ? vireo / pugi : 0.0);
  std::printf("decode+SetText+read MB/s (best run): vireo %.1f, ratio %.2f\n", fromBytes,
              pugi > 0 ? fromBytes / pugi : 0.0);
  std::printf("document bytes per element: vireo %.1f, pugixml %.1f\n", g_bytesPerElement["vireo"],
              g_bytesPerElement["pugixml"]);
  benchmark::Shutdown();
  return 0;
}
