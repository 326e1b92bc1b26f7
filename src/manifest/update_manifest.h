// The update manifest (update.xml): the modules of the suite, each with the
// server path of its update list, its install folder and the program to
// start once it is up to date.
#pragma once
#include <memory>
#include <string>
#include <vector>

// One module element of the manifest.
class CUpdateModule {
 public:
  std::wstring Name;            // the element's name, e.g. "viewer"
  std::wstring UpdateListPath;  // "update_list": URL path under the server address; never empty in a parsed list
  std::wstring InstallPath;     // "install_path": empty means the updater's own folder
  std::wstring ProcessImage;    // "process_image": relative to the install folder; empty means none
};

// The modules in document order. The owner of the list owns every record;
// the worker moves a record out (leaving a null slot) when it starts on it.
using UpdateModuleList = std::vector<std::unique_ptr<CUpdateModule>>;

// Parses manifest text and appends one record per child element of the first
// "update" element. Inside a module, "update_list", "install_path" and
// "process_image" are looked up in this order, each after the one found
// before; a child that is missing reads as empty. False when the text is not
// well formed, has no "update" element or no module, or a module has an empty
// or missing "update_list"; the records appended before such a module stay in
// the list. Main thread, at start-up.
[[nodiscard]] bool ParseManifest(const std::wstring& text, UpdateModuleList& list);

// The URL path the updater requests a module's update list under: the server
// address's path (`basePath`, "/" when empty) + "/" when `updateListPath`
// does not begin with one + `updateListPath`, then every "\" made "/". So
// "/" and "/update/viewer/UpdateList.xml" give "//update/viewer/UpdateList.xml".
std::wstring UpdateListRequestPath(const std::wstring& basePath, const std::wstring& updateListPath);
