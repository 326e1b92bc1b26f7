// A hint for the few multi-megabyte blocks the xml library fills in one pass
// (decoded text, a document's own copy of it): the system may back them with
// large pages, which saves most of the cost of first touching them.
#pragma once
#include <cstddef>

// Hints that [data, data + bytes) is about to be written through. Blocks below
// a few megabytes are left alone; where the system offers no such hint this
// does nothing. Never changes the block's contents.
void AdviseLargeBlock(void* data, std::size_t bytes);
