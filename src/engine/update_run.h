// Windows only: the update run. One connection to the update server, then
// every module of the manifest in order (module_update.h brings each up to
// date), the session files and the module's program started after each. It
// knows nothing of windows: it shows its progress through IUpdateProgress
// and returns its failure as a value, once, where it stops. Runs on one
// thread (the update worker), but for the removal of each swap's leftovers
// (module_swap.h), which goes on beside the module's program starting and
// is waited for before the next module and at the end; a cancel is the
// abort flag, set from any thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/module_swap.h"
#include "engine/run_result.h"
#include "engine/server_connection.h"
#include "engine/server_waits.h"
#include "engine/update_progress.h"
#include "manifest/update_manifest.h"
#include "manifest/update_trust.h"

class CUpdateRun {
 public:
  // `address`: the server address as the command line gave it; `modules`:
  // the manifest's modules, used (records are taken out as they are
  // processed) but not owned, may be null; `progress` and `abort` outlive
  // the run.
  CUpdateRun(std::wstring address, UpdateModuleList* modules, IUpdateProgress& progress,
             const std::atomic<bool>& abort);
  CUpdateRun(const CUpdateRun&) = delete;
  CUpdateRun& operator=(const CUpdateRun&) = delete;

  // The whole run: connection, every module in order until one fails,
  // program starts. Never throws.
  RunOutcome RunUpdate();

  // The key the run trusts; by default the one compiled into the executable.
  void SetUpdateKey(const CUpdateKey& key) { key_ = key; }
  // The waits on the server that the window may give up on (null: none).
  void SetServerWaits(std::shared_ptr<CServerWaits> waits) { server_.SetServerWaits(std::move(waits)); }
  // Tests: the session's timeouts, in milliseconds.
  void SetTimeoutsForTesting(std::uint32_t connect, std::uint32_t send, std::uint32_t receive) {
    server_.SetTimeoutsForTesting(connect, send, receive);
  }

 private:
  // Brings one module up to date and starts its program. Empty, or the
  // failure that ends the run.
  FetchResult RunModule(const CUpdateModule& module);
  // Starts the module's program from `installFolder`, moving the session
  // files into the viewer's folder first.
  void StartProgram(const CUpdateModule& module, const std::wstring& installFolder);

  UpdateModuleList* modules_;
  CServerConnection server_;
  CUpdateKey key_;
  CSwapCleanup cleanup_;
};
