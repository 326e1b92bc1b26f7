#include "zip_test_support.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/test_files.h"
#include "zip/zip_host.h"
#include "zip/zip_source.h"

namespace ZipTest {

std::string Deflate(const std::string& plain) {
  z_stream s{};
  if (deflateInit2(&s, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
  std::string out(deflateBound(&s, static_cast<uLong>(plain.size())), '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  s.avail_in = static_cast<uInt>(plain.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  if (deflate(&s, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

std::uint32_t Crc32(const std::string& bytes) {
  return static_cast<std::uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

namespace {
Entry Make(const std::string& name, const std::string& plain, const std::string& data, std::uint16_t method) {
  Entry e;
  e.name = name;
  e.data = data;
  e.method = method;
  e.crc = Crc32(plain);
  e.compressedSize = static_cast<std::uint32_t>(data.size());
  e.uncompressedSize = static_cast<std::uint32_t>(plain.size());
  return e;
}
}  // namespace

Entry Stored(const std::string& name, const std::string& plain) { return Make(name, plain, plain, 0); }
Entry Deflated(const std::string& name, const std::string& plain) { return Make(name, plain, Deflate(plain), 8); }
Entry Folder(const std::string& name) {
  Entry e = Stored(name, "");
  e.externalAttributes = 0x41ED0010;
  return e;
}

void Put16(std::string* bytes, std::size_t at, std::uint16_t value) {
  (*bytes)[at] = static_cast<char>(value & 0xFF);
  (*bytes)[at + 1] = static_cast<char>(value >> 8);
}

void Put32(std::string* bytes, std::size_t at, std::uint32_t value) {
  Put16(bytes, at, static_cast<std::uint16_t>(value & 0xFFFF));
  Put16(bytes, at + 2, static_cast<std::uint16_t>(value >> 16));
}

namespace {
std::uint16_t Get16(const std::string& b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) | (static_cast<unsigned char>(b[at + 1]) << 8));
}
std::uint32_t Get32(const std::string& b, std::size_t at) {
  return Get16(b, at) | (static_cast<std::uint32_t>(Get16(b, at + 2)) << 16);
}
void Append16(std::string* out, std::uint16_t v) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>(v >> 8));
}
void Append32(std::string* out, std::uint32_t v) {
  Append16(out, static_cast<std::uint16_t>(v & 0xFFFF));
  Append16(out, static_cast<std::uint16_t>(v >> 16));
}
}  // namespace

std::string BuildArchive(const std::vector<Entry>& entries, const std::string& comment) {
  std::string out;
  std::vector<std::uint32_t> offsets;
  for (const Entry& e : entries) {
    offsets.push_back(static_cast<std::uint32_t>(out.size()));
    Append32(&out, 0x04034B50);
    Append16(&out, 20);
    Append16(&out, e.flags);
    Append16(&out, e.method);
    Append32(&out, e.dosDateTime);
    Append32(&out, e.crc);
    Append32(&out, e.compressedSize);
    Append32(&out, e.uncompressedSize);
    Append16(&out, static_cast<std::uint16_t>(e.name.size()));
    Append16(&out, static_cast<std::uint16_t>(e.localExtra.size()));
    out += e.name;
    out += e.localExtra;
    out += e.data;
  }
  const std::size_t directory = out.size();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    Append32(&out, 0x02014B50);
    Append16(&out, 0x031E);
    Append16(&out, 20);
    Append16(&out, e.flags);
    Append16(&out, e.method);
    Append32(&out, e.dosDateTime);
    Append32(&out, e.crc);
    Append32(&out, e.compressedSize);
    Append32(&out, e.uncompressedSize);
    Append16(&out, static_cast<std::uint16_t>(e.name.size()));
    Append16(&out, 0);
    Append16(&out, 0);
    Append16(&out, 0);
    Append16(&out, 0);
    Append32(&out, e.externalAttributes);
    Append32(&out, offsets[i]);
    out += e.name;
  }
  const std::size_t directorySize = out.size() - directory;
  Append32(&out, 0x06054B50);
  Append16(&out, 0);
  Append16(&out, 0);
  Append16(&out, static_cast<std::uint16_t>(entries.size()));
  Append16(&out, static_cast<std::uint16_t>(entries.size()));
  Append32(&out, static_cast<std::uint32_t>(directorySize));
  Append32(&out, static_cast<std::uint32_t>(directory));
  Append16(&out, static_cast<std::uint16_t>(comment.size()));
  out += comment;
  return out;
}

Layout ReadLayout(const std::string& archive) {
  Layout layout;
  layout.endRecord = archive.rfind(std::string("PK\x05\x06", 4));
  if (layout.endRecord == std::string::npos) std::abort();
  std::size_t pos = Get32(archive, layout.endRecord + 16);
  const std::uint16_t count = Get16(archive, layout.endRecord + 10);
  for (std::uint16_t i = 0; i < count; ++i) {
    Layout::Item item;
    item.central = pos;
    item.local = Get32(archive, pos + 42);
    item.compressedSize = Get32(archive, pos + 20);
    item.data = item.local + 30 + Get16(archive, item.local + 26) + Get16(archive, item.local + 28);
    layout.items.push_back(item);
    pos += 46 + Get16(archive, pos + 28) + Get16(archive, pos + 30) + Get16(archive, pos + 32);
  }
  return layout;
}

std::string LoadFixture(const std::string& name) {
  std::string bytes;
  if (!TestFiles::ReadBytes(TestFiles::FixturePath("zip/" + name), &bytes)) std::abort();
  return bytes;
}

std::string FixtureNoise() {
  std::string noise;
  std::uint32_t x = 1;
  for (int i = 0; i < 20000; ++i) {
    x = (x * 1103515245u + 12345u) & 0x7FFFFFFF;
    noise.push_back(static_cast<char>((x >> 16) & 0xFF));
  }
  return noise;
}

ZipResult OpenMemory(const std::string& bytes, CScopedZipHandle* handle, const std::wstring& baseFolder) {
  ZipHandle* raw = nullptr;
  const ZipResult rc = OpenZipSource(std::make_unique<CZipMemorySource>(bytes), &raw, baseFolder);
  handle->reset(raw);
  return rc;
}

bool CMemoryOutput::Write(const void* data, std::size_t size) {
  if (bytes.size() + size > limit_) return false;
  bytes.append(static_cast<const char*>(data), size);
  return true;
}

bool CCountingOutput::Write(const void* data, std::size_t size) {
  count += size;
  crc = static_cast<std::uint32_t>(crc32(crc, static_cast<const Bytef*>(data), static_cast<uInt>(size)));
  return true;
}

CCurrentFolder::CCurrentFolder(const std::wstring& path) : previous_(ZipHost::GetCurrentFolder()) {
  if (!ZipHost::SetCurrentFolder(path)) std::abort();
}

CCurrentFolder::~CCurrentFolder() { (void)ZipHost::SetCurrentFolder(previous_.empty() ? L"\\" : previous_); }

}  // namespace ZipTest
