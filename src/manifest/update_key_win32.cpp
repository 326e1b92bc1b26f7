#include "manifest/update_trust.h"
#include "platform/windows_api.h"
#include "update_key_resource.h"

CUpdateKey LoadUpdateKey() {
  HMODULE self = ::GetModuleHandleW(nullptr);
  HRSRC found = ::FindResourceW(self, MAKEINTRESOURCEW(IDR_UPDATE_PUBLIC_KEY), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (!found) return CUpdateKey();  // an unkeyed build
  // From here on the executable claims a key: every failure is Broken, never
  // Unkeyed, so that a damaged key cannot switch verification off.
  CUpdateKey broken;
  broken.state = UpdateKeyState::Broken;
  const DWORD size = ::SizeofResource(self, found);
  HGLOBAL loaded = ::LoadResource(self, found);
  const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
  if (!bytes || size == 0) return broken;
  return UpdateKeyFromPem(std::string_view(static_cast<const char*>(bytes), size));
}
