#include "engine/engine_strings.h"

#include "platform/resource_string.h"

std::wstring LoadEngineString(unsigned id) { return Platform::LoadResourceString(id); }
