#include "engine/engine_strings.h"

std::wstring LoadEngineString(unsigned id) {
  const wchar_t* text = BuiltInEngineString(id);
  return text ? std::wstring(text) : std::wstring();
}
