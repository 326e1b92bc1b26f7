#include "manifest/update_trust.h"

// Posix builds carry no resources: the native updater core is unkeyed.
CUpdateKey LoadUpdateKey() { return CUpdateKey(); }
