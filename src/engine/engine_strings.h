// The texts that the update dialog and its worker show, by string resource
// id, and the %1/%2 filling of those texts.
#pragma once
#include <string>

// The text of a string resource of the update dialog; empty when the id has
// none. Windows: the running executable's string table; posix: the built-in
// copy below. Any thread.
std::wstring LoadEngineString(unsigned id);

// The built-in copy of the update dialog's string table, made from the same
// source as the executable's (resources/engine_strings.inc); nullptr for an
// unknown id.
const wchar_t* BuiltInEngineString(unsigned id);

// Replaces every "%1" in pattern by first and every "%2" by second; any other
// "%" stays as it is.
std::wstring FillPlaceholders(const std::wstring& pattern, const std::wstring& first,
                              const std::wstring& second = std::wstring());

// LoadEngineString(id) with its placeholders filled.
std::wstring FormatEngineString(unsigned id, const std::wstring& first,
                                const std::wstring& second = std::wstring());
