// Trusting a test CA in the Wine prefix the process runs in.
#pragma once
#include <string>

namespace TestHarness {

// Adds the DER-encoded certificate to the LocalMachine "Root" store, the
// trusted roots that WinINet's certificate check consults for every process
// of the prefix. An identical certificate already there is kept. False, with
// the reason in *problem, when the bytes are not a certificate or the store
// cannot be opened or written.
bool AddTrustedRoot(const std::string& der, std::string* problem);

// The same for a DER file given as a Wine path.
bool AddTrustedRootFile(const std::wstring& derPath, std::string* problem);

}  // namespace TestHarness
