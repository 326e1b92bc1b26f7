#include "engine/engine_strings.h"

#include "engine_resource.h"

namespace {

struct StringEntry {
  unsigned id;
  const wchar_t* text;
};

// The same table source as the executable's string table (engine.rc).
const StringEntry kStrings[] = {
#define ENGINE_STRING(id, text) {id, L"" text},
#include "engine_strings.inc"
#undef ENGINE_STRING
};

}  // namespace

const wchar_t* BuiltInEngineString(unsigned id) {
  for (const StringEntry& entry : kStrings) {
    if (entry.id == id) return entry.text;
  }
  return nullptr;
}

std::wstring FillPlaceholders(const std::wstring& pattern, const std::wstring& first, const std::wstring& second) {
  std::wstring out;
  out.reserve(pattern.size() + first.size() + second.size());
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == L'%' && i + 1 < pattern.size() && (pattern[i + 1] == L'1' || pattern[i + 1] == L'2')) {
      out += pattern[i + 1] == L'1' ? first : second;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

std::wstring FormatEngineString(unsigned id, const std::wstring& first, const std::wstring& second) {
  return FillPlaceholders(LoadEngineString(id), first, second);
}
