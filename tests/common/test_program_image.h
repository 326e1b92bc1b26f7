// A small x86-64 program image, for the address map of patches. Its .text
// holds `functions` functions of 48 bytes; each calls the next (E8 rel32),
// jumps on a condition to another (0F 84 rel32), and loads a string and a
// function pointer RIP-relative from .rdata. .rdata holds the strings and a
// relocated table of pointers to the functions; .pdata has an entry per
// function. `grown` bytes of new code come before the first function and as
// many of new data before the first string, so that everything after moves,
// as between two builds of a program. With `symbols`, a COFF symbol table
// after the sections names each function (and, with an auxiliary record,
// the .text section), as a program that was not stripped has; the names of
// every other function are long, in the string table after the records,
// where a grown build has kGrownName first, so that every offset moves.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace TestFiles {

inline constexpr std::string_view kGrownName{"a_name_of_a_later_build", 24};  // with its 0

inline std::string TestProgramImage(int functions, int grown, bool symbols = false) {
  const auto put = [](std::string& s, std::size_t at, std::uint64_t v, int bytes) {
    if (s.size() < at + bytes) s.resize(at + bytes, '\0');
    for (int k = 0; k < bytes; ++k) s[at + k] = static_cast<char>(v >> (8 * k));
  };
  const auto align = [](std::uint32_t v, std::uint32_t a) { return (v + a - 1) / a * a; };
  const std::uint64_t imageBase = 0x140000000ull;
  const std::uint32_t n = static_cast<std::uint32_t>(functions);
  const std::uint32_t textSize = grown + 48 * n;
  const std::uint32_t stringsAt = grown;  // in .rdata
  const std::uint32_t tableAt = align(grown + 16 * n, 8);
  const std::uint32_t rdataSize = tableAt + 8 * n;
  const std::uint32_t text = 0x1000;
  const std::uint32_t rdata = align(text + textSize, 0x1000);
  const std::uint32_t pdata = align(rdata + rdataSize, 0x1000);
  const std::uint32_t reloc = align(pdata + 12 * n, 0x1000);
  const auto fn = [&](std::uint32_t k) { return text + grown + 48 * (k % n); };

  std::string code(textSize, '\x90');
  for (std::uint32_t k = 0; k < n; ++k) {
    const std::uint32_t at = grown + 48 * k;
    const std::uint32_t rva = text + at;
    code[at] = '\xE8';
    put(code, at + 1, fn(k + 1) - (rva + 5), 4);
    code[at + 5] = '\x0F', code[at + 6] = '\x84';
    put(code, at + 7, fn(k + 3) - (rva + 11), 4);
    code.replace(at + 11, 3, "\x48\x8D\x05");
    put(code, at + 14, rdata + stringsAt + 16 * k - (rva + 18), 4);
    code.replace(at + 18, 3, "\x48\x8B\x0D");
    put(code, at + 21, rdata + tableAt + 8 * k - (rva + 25), 4);
    code[at + 25] = '\xB8';
    put(code, at + 26, k * 7919u, 4);
    code[at + 30] = '\xC3';
  }
  std::string data(rdataSize, '\0');
  for (std::uint32_t k = 0; k < n; ++k) {
    const std::string name = "function " + std::to_string(k);
    data.replace(stringsAt + 16 * k, name.size(), name);
    put(data, tableAt + 8 * k, imageBase + fn(k), 8);
  }
  std::string table;
  for (std::uint32_t k = 0; k < n; ++k) {
    put(table, 12 * k, fn(k), 4);
    put(table, 12 * k + 4, fn(k) + 31, 4);
    put(table, 12 * k + 8, rdata + stringsAt, 4);
  }
  std::string relocs;  // one block per page of the pointer table
  for (std::uint32_t k = 0; k < n;) {
    const std::uint32_t page = (rdata + tableAt + 8 * k) & ~0xFFFu;
    const std::size_t block = relocs.size();
    relocs.resize(block + 8);
    for (; k < n && ((rdata + tableAt + 8 * k) & ~0xFFFu) == page; ++k)
      put(relocs, relocs.size(), (10u << 12) | ((rdata + tableAt + 8 * k) & 0xFFF), 2);
    if (relocs.size() % 4) put(relocs, relocs.size(), 0, 2);
    put(relocs, block, page, 4);
    put(relocs, block + 4, relocs.size() - block, 4);
  }

  struct Part {
    const char* name;
    std::uint32_t rva;
    const std::string& bytes;
    std::uint32_t flags;
  } parts[] = {{".text", text, code, 0x60000020},
               {".rdata", rdata, data, 0x40000040},
               {".pdata", pdata, table, 0x40000040},
               {".reloc", reloc, relocs, 0x42000040}};
  std::string image(0x400, '\0');
  image[0] = 'M', image[1] = 'Z';
  put(image, 0x3C, 0x80, 4);
  image.replace(0x80, 4, std::string("PE\0\0", 4));
  put(image, 0x84, 0x8664, 2);
  put(image, 0x86, 4, 2);
  put(image, 0x94, 240, 2);
  put(image, 0x96, 0x22, 2);
  const std::size_t opt = 0x98;
  put(image, opt, 0x20B, 2);
  put(image, opt + 16, fn(0), 4);
  put(image, opt + 24, imageBase, 8);
  put(image, opt + 32, 0x1000, 4);
  put(image, opt + 36, 0x200, 4);
  put(image, opt + 56, align(reloc + static_cast<std::uint32_t>(relocs.size()), 0x1000), 4);
  put(image, opt + 60, 0x400, 4);
  put(image, opt + 108, 16, 4);
  put(image, opt + 112 + 8 * 3, pdata, 4);
  put(image, opt + 116 + 8 * 3, table.size(), 4);
  put(image, opt + 112 + 8 * 5, reloc, 4);
  put(image, opt + 116 + 8 * 5, relocs.size(), 4);
  std::size_t header = opt + 240;
  for (const Part& part : parts) {
    const std::uint32_t raw = align(static_cast<std::uint32_t>(part.bytes.size()), 0x200);
    const std::uint32_t offset = static_cast<std::uint32_t>(image.size());
    image.replace(header, 8, std::string(part.name).append(8 - std::string(part.name).size(), '\0'));
    put(image, header + 8, part.bytes.size(), 4);
    put(image, header + 12, part.rva, 4);
    put(image, header + 16, raw, 4);
    put(image, header + 20, offset, 4);
    put(image, header + 36, part.flags, 4);
    image += part.bytes;
    image.resize(offset + raw, '\0');
    header += 40;
  }
  if (symbols) {
    const std::size_t table = image.size();
    std::uint32_t records = 0;
    std::string strings(4, '\0');
    if (grown) strings += kGrownName;
    const auto symbol = [&](const std::string& name, std::uint32_t value, int aux) {
      const std::size_t at = image.size();
      image.resize(at + 18 * (1 + aux), '\0');
      if (name.size() <= 8) {
        image.replace(at, name.size(), name);
      } else {
        put(image, at + 4, strings.size(), 4);
        strings.append(name).push_back('\0');
      }
      put(image, at + 8, value, 4);
      put(image, at + 12, 1, 2);  // in .text
      image[at + 16] = aux ? 3 : 2;  // static, external
      image[at + 17] = static_cast<char>(aux);
      records += 1 + aux;
    };
    symbol(".text", 0, 1);
    for (std::uint32_t k = 0; k < n; ++k)
      symbol((k % 2 ? "a_function_named_" : "f") + std::to_string(k), fn(k) - text, 0);
    put(strings, 0, strings.size(), 4);
    image += strings;
    put(image, 0x8C, table, 4);
    put(image, 0x90, records, 4);
  }
  return image;
}

}  // namespace TestFiles
