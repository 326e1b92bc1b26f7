// Windows offers large pages only to processes holding a privilege the
// updater does not ask for, so the hint does nothing here.
#include "xml/large_block.h"

void AdviseLargeBlock(void* /*data*/, std::size_t /*bytes*/) {}
