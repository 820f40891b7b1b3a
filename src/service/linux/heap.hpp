// How the helper's heap gives memory back to the system. A service that lives for months must
// not keep the peak of one burst for the rest of its life.
#pragma once

namespace zembra::service {

// Once, at service start, before any thread exists: blocks of 128 KiB and more (log snapshots,
// grown output buffers) are mapped on their own and unmapped when freed. glibc would otherwise
// raise that threshold after the first large block is freed, and then keep up to twice the
// largest such block in every arena.
void return_large_blocks_when_freed();

}  // namespace zembra::service
