// The update manifest (update.xml): the modules of the suite, each with the
// server path of its update list, its install folder and the program to
// start once it is up to date.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/crypto.h"

// One module element of the manifest.
class CUpdateModule {
 public:
  std::wstring Name;            // the element's name, e.g. "viewer"
  std::wstring UpdateListPath;  // "update_list": URL path under the server address; never empty in a parsed list
  std::wstring InstallPath;     // "install_path": empty means the updater's own folder
  std::wstring ProcessImage;    // "process_image": relative to the install folder; empty means none
  // The pin of the update list: the "size" and "sha256" attributes of
  // "update_list", the list's exact bytes as served (CheckListPin). An empty
  // attribute counts as absent; a present one not in its form (the forms of
  // update-list entries) sets ListPinMalformed and declares nothing.
  bool ListSizeDeclared = false;
  std::uint64_t ListSize = 0;
  bool ListSha256Declared = false;
  Platform::Sha256Digest ListSha256{};
  bool ListPinMalformed = false;
};

// The attributes of the root element that tie a manifest to its release:
// "serial", a decimal integer of 1 or more that rises with every manifest
// the publisher signs, and "expires", a UTC time "YYYY-MM-DDTHH:MM:SSZ"
// after which a keyed updater no longer takes the manifest. An empty
// attribute counts as absent; a present one not in its form is Malformed
// (and its value is not set). `raw` keeps the texts for log lines.
struct ManifestAttributes {
  enum class State { Absent, Present, Malformed };
  State serialState = State::Absent;
  std::uint64_t serial = 0;
  std::wstring serialText;
  State expiresState = State::Absent;
  std::uint64_t expires = 0;  // FILETIME, UTC
  std::wstring expiresText;
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
// The same, also reading the root's "serial" and "expires" into *attributes
// (left Absent when the text has no "update" element). The attributes never
// change the result: what a keyed updater makes of them is judged at
// start-up (release_state.h).
[[nodiscard]] bool ParseManifest(const std::wstring& text, UpdateModuleList& list, ManifestAttributes* attributes);

// The URL path the updater requests a module's update list under: the server
// address's path (`basePath`, "/" when empty) + "/" when `updateListPath`
// does not begin with one + `updateListPath`, then every "\" made "/". So
// "/" and "/update/viewer/UpdateList.xml" give "//update/viewer/UpdateList.xml".
std::wstring UpdateListRequestPath(const std::wstring& basePath, const std::wstring& updateListPath);
