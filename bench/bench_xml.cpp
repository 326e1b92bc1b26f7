// XML document against pugixml on generated update lists of 500, 5,000 and
// 100,000 module elements: parse plus reading filename, version and datetime
// of every module element. Vireo is timed from the text (as SetText gets it)
// and from the list's bytes (ANSI decoding included, as the updater reads a
// list); pugixml from the bytes. Reports throughput (MB/s of input bytes)
// and, per size, the ratio of the best runs. A last benchmark times the
// hostile case of many end tags that match no open element.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/text.h"
#include "xml/xml_document.h"

#if __has_include(<pugixml.hpp>)
#include <pugixml.hpp>
#define VIREO_HAVE_PUGIXML 1
#endif

namespace {

const int kSizes[] = {500, 5000, 100000};

// An update list as the publishing tool writes one: a declaration, one
// "update" element, one self-closed "module" element per file, names of a few
// folder levels.
const std::string& UpdateList(int modules) {
  static std::map<int, std::string> lists;
  std::string& s = lists[modules];
  if (!s.empty()) return s;
  static const char* const kFolders[] = {"", "bin\\", "bin\\plugins\\", "resources\\images\\", "lib\\codecs\\"};
  static const char* const kExtensions[] = {"dll", "exe", "png", "xml", "dat"};
  s = "<?xml version=\"1.0\" encoding=\"euc-kr\"?>\r\n<update>\r\n";
  char line[512];
  for (int i = 0; i < modules; ++i) {
    std::snprintf(line, sizeof line,
                  "\t<module filename=\"%sviewer_component_%05d.%s\" version=\"%d.%d.%d.%d\" "
                  "datetime=\"2024%02d%02d%02d%02d\"/>\r\n",
                  kFolders[i % 5], i, kExtensions[(i / 5) % 5], 2 + i % 5, i % 10, i % 100, i, 1 + i % 12,
                  1 + i % 28, i % 24, i % 60);
    s += line;
  }
  s += "</update>\r\n";
  return s;
}

std::map<std::string, double> g_mbPerSecond;

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

// SetText and the reads, on text decoded beforehand.
void VireoParseAndRead(benchmark::State& state) {
  const int modules = static_cast<int>(state.range(0));
  const std::string& bytes = UpdateList(modules);
  const std::wstring text = Platform::AnsiToWide(bytes.data(), bytes.size());
  std::size_t checksum = 0;
  for (auto _ : state) {
    CXmlDocument doc;
    doc.SetText(text);
    if (ReadModules(doc, checksum) != modules) state.SkipWithError("wrong module count");
  }
  benchmark::DoNotOptimize(checksum);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

// The same from the bytes, decoded with the ANSI code page as the updater
// decodes a list.
void VireoFromBytes(benchmark::State& state) {
  const int modules = static_cast<int>(state.range(0));
  const std::string& bytes = UpdateList(modules);
  std::size_t checksum = 0;
  for (auto _ : state) {
    CXmlDocument doc;
    doc.SetText(Platform::AnsiToWide(bytes.data(), bytes.size()));
    if (ReadModules(doc, checksum) != modules) state.SkipWithError("wrong module count");
  }
  benchmark::DoNotOptimize(checksum);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

#ifdef VIREO_HAVE_PUGIXML
void PugixmlParseAndRead(benchmark::State& state) {
  const int modules = static_cast<int>(state.range(0));
  const std::string& bytes = UpdateList(modules);
  std::size_t checksum = 0;
  for (auto _ : state) {
    pugi::xml_document doc;
    doc.load_buffer(bytes.data(), bytes.size());
    int n = 0;
    for (pugi::xml_node m = doc.child("update").child("module"); m; m = m.next_sibling("module")) {
      checksum += std::char_traits<char>::length(m.attribute("filename").value());
      checksum += std::char_traits<char>::length(m.attribute("version").value());
      checksum += std::char_traits<char>::length(m.attribute("datetime").value());
      ++n;
    }
    if (n != modules) state.SkipWithError("wrong module count");
  }
  benchmark::DoNotOptimize(checksum);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
#endif

// d start tags "<ab>" followed by d end tags "</a>", none of which matches
// an open element: each must cost the same whatever the depth.
void UnmatchedEndTags(benchmark::State& state) {
  const auto depth = static_cast<std::size_t>(state.range(0));
  std::wstring text;
  text.reserve(depth * 8);
  for (std::size_t i = 0; i < depth; ++i) text += L"<ab>";
  for (std::size_t i = 0; i < depth; ++i) text += L"</a>";
  for (auto _ : state) {
    CXmlDocument doc;
    benchmark::DoNotOptimize(doc.SetText(text));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void Register() {
  for (const int n : kSizes) {
    // Minimum time and repetitions follow the command line (defaults in main).
    benchmark::RegisterBenchmark("VireoParseAndRead", VireoParseAndRead)->Arg(n)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("VireoFromBytes", VireoFromBytes)->Arg(n)->Unit(benchmark::kMicrosecond);
#ifdef VIREO_HAVE_PUGIXML
    benchmark::RegisterBenchmark("PugixmlParseAndRead", PugixmlParseAndRead)->Arg(n)->Unit(benchmark::kMicrosecond);
#endif
  }
  benchmark::RegisterBenchmark("UnmatchedEndTags", UnmatchedEndTags)->Arg(20000)->Arg(160000)
      ->Unit(benchmark::kMillisecond)->Iterations(1);
}

// Keeps each benchmark's best throughput over its repetitions (the machine
// may be shared; interference only ever slows a run down). Aggregate rows
// are skipped.
class CRatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate) continue;
      const auto it = run.counters.find("bytes_per_second");
      if (it == run.counters.end()) continue;
      std::string name = run.benchmark_name();
      const std::size_t cut = name.find("/repeats");
      if (cut != std::string::npos) name.resize(cut);
      const std::size_t minTime = name.find("/min_time");
      if (minTime != std::string::npos) name.resize(minTime);
      double& best = g_mbPerSecond[name];
      if (it->second / 1e6 > best) best = it->second / 1e6;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  // Repetitions of the different benchmarks alternate unless told otherwise,
  // so that a machine getting slower or faster meanwhile weighs on all sides;
  // five repetitions of at least half a second each unless told otherwise.
  std::vector<char*> args(argv, argv + argc);
  auto given = [&](const char* flag) {
    for (int i = 1; i < argc; ++i) {
      if (std::string(argv[i]).rfind(flag, 0) == 0) return true;
    }
    return false;
  };
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  static char repetitions[] = "--benchmark_repetitions=5";
  static char minTime[] = "--benchmark_min_time=0.5";
  if (!given("--benchmark_enable_random_interleaving")) args.push_back(interleave);
  if (!given("--benchmark_repetitions")) args.push_back(repetitions);
  if (!given("--benchmark_min_time")) args.push_back(minTime);
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  Register();
  CRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("%-8s %10s %12s %12s %12s %8s %8s\n", "modules", "bytes", "vireo MB/s", "+decode MB/s",
              "pugixml MB/s", "ratio", "+decode");
  for (const int n : kSizes) {
    const std::string arg = "/" + std::to_string(n);
    const double vireo = g_mbPerSecond["VireoParseAndRead" + arg];
    const double bytes = g_mbPerSecond["VireoFromBytes" + arg];
    const double pugi = g_mbPerSecond["PugixmlParseAndRead" + arg];
    if (vireo == 0 && bytes == 0 && pugi == 0) continue;
    std::printf("%-8d %10zu %12.1f %12.1f %12.1f %8.2f %8.2f\n", n, UpdateList(n).size(), vireo, bytes, pugi,
                pugi > 0 ? vireo / pugi : 0.0, pugi > 0 ? bytes / pugi : 0.0);
  }
  benchmark::Shutdown();
  return 0;
}
