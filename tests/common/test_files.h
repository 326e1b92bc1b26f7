// Helpers for tests that work with real files: a temporary folder that removes
// itself, and whole-file reads and writes through the platform file service.
#pragma once
#include <string>
#include <vector>

namespace TestFiles {

// A fresh folder under the platform's temporary folder, removed with
// everything in it when the object goes away.
class CTempDir {
 public:
  CTempDir();
  ~CTempDir();
  CTempDir(const CTempDir&) = delete;
  CTempDir& operator=(const CTempDir&) = delete;
  // The folder, without a trailing separator ("\" separated).
  const std::wstring& Path() const { return path_; }
  // Path() + "\" + relative.
  std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

 private:
  std::wstring path_;
};

// Removes a folder and everything below it (read-only files included).
void RemoveTree(const std::wstring& path);
// Writes the whole file, creating missing folders; false on failure.
bool WriteBytes(const std::wstring& path, const std::string& bytes);
// Reads the whole file; false when it cannot be read.
bool ReadBytes(const std::wstring& path, std::string* bytes);
// The whole file, or "<missing>" when it cannot be read.
std::string ReadOrMissing(const std::wstring& path);
// Makes `link` a symbolic link to the folder `target`; false where links
// cannot be made (the caller skips).
bool MakeFolderLink(const std::wstring& link, const std::wstring& target);
// A fixture file's path (tests/fixtures/NAME) in the platform's path form.
std::wstring FixturePath(const std::string& name);

}  // namespace TestFiles
