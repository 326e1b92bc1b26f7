#include "engine/file_replace.h"

#include <cstdint>

#include "platform/file.h"

std::wstring TemporaryDownloadPath(const std::wstring& target) { return target + L".download"; }

bool ClearReadOnlyAttribute(const std::wstring& path) {
  std::uint32_t attributes = 0;
  if (!Platform::GetAttributes(path, &attributes)) return false;
  if ((attributes & Platform::kAttrReadOnly) == 0) return true;
  attributes &= ~Platform::kAttrReadOnly;
  if (attributes == 0) attributes = Platform::kAttrNormal;
  return Platform::SetAttributes(path, attributes);
}

bool RemoveFileForcibly(const std::wstring& path) {
  if (!Platform::PathExists(path)) return true;
  (void)ClearReadOnlyAttribute(path);
  return Platform::RemoveFile(path);
}

bool ReplaceFileWithBackup(const std::wstring& source, const std::wstring& target, Platform::ErrorCode* error) {
  const std::wstring backup = target + L".bak";
  if (Platform::PathExists(backup) && !RemoveFileForcibly(backup)) {
    *error = Platform::LastError();
    return false;
  }
  const bool hadTarget = Platform::PathExists(target);
  std::uint32_t oldAttributes = 0;
  if (hadTarget) {
    if (!Platform::GetAttributes(target, &oldAttributes) || !ClearReadOnlyAttribute(target) ||
        !Platform::MoveItem(target, backup)) {
      *error = Platform::LastError();
      if (oldAttributes & Platform::kAttrReadOnly) (void)Platform::SetAttributes(target, oldAttributes);
      return false;
    }
  }
  if (!Platform::MoveItem(source, target)) {
    *error = Platform::LastError();
    if (hadTarget && Platform::MoveItem(backup, target) && (oldAttributes & Platform::kAttrReadOnly))
      (void)Platform::SetAttributes(target, oldAttributes);
    return false;
  }
  // The new file is in place; a backup that will not go is only a leftover,
  // which the next replacement removes first.
  if (hadTarget) (void)Platform::RemoveFile(backup);
  return true;
}
