// Extracting every item of a 200 MB archive made by Info-ZIP `zip -9`
// (text, already-compressed data, thousands of small files, one large file)
// with the updater's reader, against `unzip -o -qq` on the same archive,
// both into a fresh folder on the same file system. Reported as MB/s of
// output; the ratio of the two rates is printed at the end. The archive and
// the outputs live under VIREO_BENCH_DIR (default: the temporary folder);
// the archive is built on the first run and reused.
//
// ArchiveInstall times the updater's archive installation (UnZip) of an
// archive of many small items over a folder that holds none of them yet, at
// two sizes, so that its growth with the item count shows.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "app/folder_table.h"
#include "engine/archive_install.h"
#include "engine/module_staging.h"
#include "engine/module_swap.h"
#include "platform/file.h"
#include "platform/posix_path.h"
#include "platform/text.h"
#include "zip/zip_reader.h"

namespace {

std::string Quote(const std::string& s) { return "'" + s + "'"; }

struct Workspace {
  std::string root;     // OS path of the folder for everything
  std::string archive;  // OS path of the archive
  std::uint64_t totalBytes = 0;
};

class CNoise {
 public:
  explicit CNoise(std::uint64_t seed) : x_(seed | 1) {}
  std::uint64_t Next() {
    x_ ^= x_ << 13;
    x_ ^= x_ >> 7;
    x_ ^= x_ << 17;
    return x_;
  }

 private:
  std::uint64_t x_;
};

std::string Words(CNoise& rng, std::size_t size) {
  static const char* kWords[] = {"patient", "study", "series", "image", "viewer", "modality", "CT", "MR",
                                 "report", "window", "level", "slice", "thickness", "the", "of", "and",
                                 "update", "module", "version", "server", "archive", "DICOM", "tag", "value"};
  std::string text;
  text.reserve(size + 32);
  while (text.size() < size) {
    text += kWords[rng.Next() % (sizeof kWords / sizeof kWords[0])];
    text += rng.Next() % 11 == 0 ? "\n" : " ";
  }
  text.resize(size);
  return text;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// Builds the tree and the archive once; later runs reuse them.
const Workspace& GetWorkspace() {
  static Workspace ws = [] {
    Workspace w;
    const char* env = std::getenv("VIREO_BENCH_DIR");
    w.root = env ? env : Platform::ToOsPath(Platform::GetTempFolder()) + "/vireo-bench-zip";
    w.archive = w.root + "/mixed.zip";
    const std::string tree = w.root + "/tree";
    if (FILE* f = std::fopen((w.root + "/ready").c_str(), "rb")) {
      unsigned long long total = 0;
      if (std::fscanf(f, "%llu", &total) == 1) w.totalBytes = total;
      std::fclose(f);
      if (w.totalBytes > 0) return w;
    }
    std::fprintf(stderr, "building the benchmark archive in %s ...\n", w.root.c_str());
    if (std::system(("rm -rf " + Quote(w.root) + " && mkdir -p " + Quote(tree + "/text") + " " +
                     Quote(tree + "/media") + " " + Quote(tree + "/bin"))
                        .c_str()) != 0) {
      std::abort();
    }
    CNoise rng(42);
    std::uint64_t total = 0;
    auto put = [&](const std::string& rel, const std::string& bytes) {
      if (!WriteFile(tree + "/" + rel, bytes)) std::abort();
      total += bytes.size();
    };
    // Text: 30 files of 2 MB.
    for (int i = 0; i < 30; ++i) put("text/notes" + std::to_string(i) + ".txt", Words(rng, 2 << 20));
    // Already-compressed data: 15 files of about 3 MB of deflated text.
    for (int i = 0; i < 15; ++i) {
      const std::string text = Words(rng, 12 << 20);
      uLongf size = compressBound(static_cast<uLong>(text.size()));
      std::string packed(size, '\0');
      if (compress2(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(text.data()),
                    static_cast<uLong>(text.size()), 1) != Z_OK) {
        std::abort();
      }
      packed.resize(size);
      put("media/clip" + std::to_string(i) + ".gz", packed);
    }
    // Many small files: 12,000 of 0.5-6 KB in 120 folders, text and binary.
    for (int d = 0; d < 120; ++d) {
      const std::string folder = "small/d" + std::to_string(d);
      if (std::system(("mkdir -p " + Quote(tree + "/" + folder)).c_str()) != 0) std::abort();
      for (int i = 0; i < 100; ++i) {
        const std::size_t size = 512 + rng.Next() % 5600;
        std::string bytes;
        if (i % 3 == 0) {
          for (std::size_t k = 0; k < size; ++k) bytes.push_back(static_cast<char>(rng.Next()));
        } else {
          bytes = Words(rng, size);
        }
        put(folder + "/f" + std::to_string(i) + (i % 3 == 0 ? ".bin" : ".txt"), bytes);
      }
    }
    // One large file: 60 MB of 16-bit samples, a smooth signal plus noise.
    {
      std::string large(60 << 20, '\0');
      std::int32_t value = 0;
      for (std::size_t k = 0; k + 1 < large.size(); k += 2) {
        value += static_cast<std::int32_t>(rng.Next() % 33) - 16;
        if (value > 4000 || value < -4000) value /= 2;
        const auto sample = static_cast<std::uint16_t>(value + 8192);
        large[k] = static_cast<char>(sample & 0xFF);
        large[k + 1] = static_cast<char>(sample >> 8);
      }
      put("bin/volume.raw", large);
    }
    if (std::system(("cd " + Quote(tree) + " && zip -q -r -9 " + Quote(w.archive) + " .").c_str()) != 0) std::abort();
    if (std::system(("rm -rf " + Quote(tree)).c_str()) != 0) std::abort();
    w.totalBytes = total;
    FILE* f = std::fopen((w.root + "/ready").c_str(), "wb");
    if (!f) std::abort();
    std::fprintf(f, "%llu\n", static_cast<unsigned long long>(total));
    std::fclose(f);
    return w;
  }();
  return ws;
}

std::wstring ToWindowsPath(const std::string& osPath) {
  std::wstring path = Platform::FromUtf8(osPath);
  for (auto& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

// Seconds spent and bytes produced per contender, for the closing ratio.
std::map<std::string, std::pair<double, double>>& Totals() {
  static std::map<std::string, std::pair<double, double>> totals;
  return totals;
}

// A new, empty folder for each round. Folders are removed only after a
// benchmark: deleting thousands of files right before creating as many
// makes the file system's inode allocation, not extraction, the cost.
std::string FreshFolder(const std::string& prefix) {
  static int round = 0;
  const std::string folder = prefix + "-" + std::to_string(++round);
  if (std::system(("rm -rf " + Quote(folder) + " && mkdir -p " + Quote(folder) + " && sync").c_str()) != 0) {
    std::abort();
  }
  return folder;
}

void RemoveFolders(const std::string& prefix) {
  if (std::system(("rm -rf " + Quote(prefix) + "-*").c_str()) != 0) std::abort();
}

void Report(benchmark::State& state, const char* name, double seconds) {
  const double bytes = static_cast<double>(GetWorkspace().totalBytes) * static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["MB/s"] = benchmark::Counter(bytes / 1e6 / seconds);
  Totals()[name] = {seconds, bytes};
}

void BM_VireoUnzipAll(benchmark::State& state) {
  const Workspace& ws = GetWorkspace();
  const std::string prefix = ws.root + "/out-vireo";
  RemoveFolders(prefix);
  const std::wstring archive = ToWindowsPath(ws.archive);
  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string out = FreshFolder(prefix);
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    ZipHandle* raw = nullptr;
    if (OpenZip(archive, &raw, ToWindowsPath(out)) != kZipOk) std::abort();
    CScopedZipHandle zip(raw);
    ZipItem item;
    if (GetZipItem(zip.get(), -1, &item) != kZipOk) std::abort();
    const std::int32_t count = item.index;
    for (std::int32_t i = 0; i < count; ++i) {
      if (GetZipItem(zip.get(), i, &item) != kZipOk) std::abort();
      std::wstring target = item.name;
      for (auto& c : target) {
        if (c == L'/') c = L'\\';
      }
      if (UnzipItem(zip.get(), i, target) != kZipOk) std::abort();
    }
    zip.reset();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  RemoveFolders(prefix);
  Report(state, "vireo", seconds);
}

void BM_InfoZipUnzipAll(benchmark::State& state) {
  const Workspace& ws = GetWorkspace();
  const std::string prefix = ws.root + "/out-unzip";
  RemoveFolders(prefix);
  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string command = "unzip -o -qq " + Quote(ws.archive) + " -d " + Quote(FreshFolder(prefix));
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) std::abort();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  RemoveFolders(prefix);
  Report(state, "unzip", seconds);
}

// A stored archive of `count` items "fNNNNN.dll" of 64 bytes each.
std::string ManyItemArchive(int count) {
  auto put16 = [](std::string& s, unsigned v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
  };
  auto put32 = [&](std::string& s, std::uint32_t v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
  };
  std::string archive;
  std::string directory;
  for (int i = 0; i < count; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%05d.dll", i);
    const std::string data(64, static_cast<char>('a' + i % 26));
    const auto crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    const auto offset = static_cast<std::uint32_t>(archive.size());
    const auto nameLength = static_cast<unsigned>(std::strlen(name));
    put32(archive, 0x04034B50);
    put16(archive, 20);
    put16(archive, 0);
    put16(archive, 0);
    put32(archive, 0x58210000);
    put32(archive, crc);
    put32(archive, 64);
    put32(archive, 64);
    put16(archive, nameLength);
    put16(archive, 0);
    archive += name;
    archive += data;
    put32(directory, 0x02014B50);
    put16(directory, 0x031E);
    put16(directory, 20);
    put16(directory, 0);
    put16(directory, 0);
    put32(directory, 0x58210000);
    put32(directory, crc);
    put32(directory, 64);
    put32(directory, 64);
    put16(directory, nameLength);
    put32(directory, 0);  // extra and comment lengths
    put32(directory, 0);  // disk start, internal attributes
    put32(directory, 0100644u << 16);
    put32(directory, offset);
    directory += name;
  }
  const auto directoryOffset = static_cast<std::uint32_t>(archive.size());
  archive += directory;
  put32(archive, 0x06054B50);
  put32(archive, 0);
  put16(archive, static_cast<unsigned>(count));
  put16(archive, static_cast<unsigned>(count));
  put32(archive, static_cast<std::uint32_t>(directory.size()));
  put32(archive, directoryOffset);
  put16(archive, 0);
  return archive;
}

void BM_ArchiveInstall(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::string archive = ManyItemArchive(count);
  const std::string prefix = Platform::ToOsPath(Platform::GetTempFolder()) + "/vireo-bench-install";
  RemoveFolders(prefix);
  for (auto _ : state) {
    state.PauseTiming();
    const std::string out = FreshFolder(prefix);
    const std::wstring app = ToWindowsPath(out);
    const std::wstring staged = StagedPathsOf(StagingFolderOf(app), L"pack.zip").data;
    if (!EnsureDirectory(staged.substr(0, staged.rfind(L'\\'))) || !WriteFile(Platform::ToOsPath(staged), archive))
      std::abort();
    state.ResumeTiming();
    // Unpacked into staging, then renamed in by the swap, as a module's
    // archive is.
    std::vector<PreparedItem> items;
    Platform::ErrorCode error = 0;
    CModuleSwap swap(app);
    if (!MakeStagedItemsFolder(app, L"pack.zip") ||
        !UnZip(staged, app, StagedItemsFolderOf(StagingFolderOf(app), L"pack.zip"), {}, &items, &error) ||
        !swap.Start(&error) || !InstallArchiveItems(items, swap, &error))
      std::abort();
    RemoveSwapLeftovers(swap.Commit());
  }
  RemoveFolders(prefix);
  state.counters["items/s"] = benchmark::Counter(static_cast<double>(count) * static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
}

BENCHMARK(BM_ArchiveInstall)->Arg(5000)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_VireoUnzipAll)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);
BENCHMARK(BM_InfoZipUnzipAll)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  const auto& totals = Totals();
  const auto vireo = totals.find("vireo");
  const auto unzip = totals.find("unzip");
  if (vireo != totals.end() && unzip != totals.end()) {
    const double vireoRate = vireo->second.second / vireo->second.first / 1e6;
    const double unzipRate = unzip->second.second / unzip->second.first / 1e6;
    std::printf("vireo %.1f MB/s, unzip %.1f MB/s, ratio %.2f\n", vireoRate, unzipRate, vireoRate / unzipRate);
  }
  benchmark::Shutdown();
  return 0;
}
