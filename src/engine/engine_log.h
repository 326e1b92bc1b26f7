// The update log as the engine's steps write it: one line per call, and the
// ", Error:N" that ends a line about a failed platform call.
#pragma once
#include <string>

#include "app/update_log.h"
#include "platform/error.h"

inline void Log(const std::wstring& text) { GetUpdateLog().WriteLog(text); }

inline std::wstring ErrorText(Platform::ErrorCode code) { return L", Error:" + std::to_wstring(code); }
