// Windows only: receiving the body of one response into a staged file,
// counted, checked against its entry and shown as it goes.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>

#include "engine/run_result.h"
#include "engine/server_connection.h"
#include "manifest/update_list.h"
#include "manifest/update_trust.h"
#include "platform/file.h"
#include "platform/http.h"

// The buffers a body passes through (a read's and a write block's), kept by
// their owner from one body to the next: a block of their size is fresh
// memory from the system at every allocation, each page faulting on first
// touch (under Wine about half a millisecond per buffer, for every file).
struct CBodyBuffers {
  std::unique_ptr<char[]> read;
  std::unique_ptr<char[]> block;
};

// Where a body goes and what it is held to.
struct BodyTarget {
  Platform::CFile& file;   // open for writing at its end
  CDownloadCheck& check;   // has been fed the `already` bytes
  const CFileData& entry;  // named in the log and the file label
  CBodyBuffers& buffers;   // kept between bodies; made when missing
  std::uint64_t already = 0;  // bytes of the document the file holds already
  bool sizeKnown = false;
  std::uint64_t size = 0;             // the whole document's length, when known
  std::uint64_t cap = UINT64_MAX;     // the most a document of its kind may have
  std::uint32_t deadlineMs = 0;       // the whole body within this (0: no bound but the pace)
  // Runs before the first bytes reach the file, unless the body is whole
  // and checked by then (may be empty).
  std::function<void()> beforePartWritten;
};

// Reads the body of `request` onto the end of target.file, the file bar
// counting from target.already. The bytes read, or the failure (logged);
// *discard tells whether what the file holds is known to be wrong (a
// mismatch, a write that failed, a body over the cap) rather than only
// incomplete. May raise the cancellation signal, with what was received
// written out for the next run.
FetchResult ReceiveBody(CServerConnection& server, Platform::CHttpRequest& request, BodyTarget& target,
                        bool* discard);
