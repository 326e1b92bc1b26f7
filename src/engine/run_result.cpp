#include "engine/run_result.h"

#include "engine/engine_strings.h"
#include "platform/error.h"

FetchResult ReportError(unsigned id, std::uint32_t code) {
  if (code == 0) code = Platform::LastError();
  return FetchResult::Failure(FormatEngineString(id, std::to_wstring(code)));
}
