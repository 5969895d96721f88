#pragma once

namespace tiloran {

// The key that the server hands its worker at launch, in the worker's
// environment, and that the worker shows when it fetches its configuration:
// only with it does the server give the document's secrets. Another process
// on the machine has neither the key nor the server's environment.
inline constexpr const char *workerKeyVariable = "TILORAN_WORKER_KEY";
inline constexpr const char *workerKeyHeader = "X-Worker-Key";

} // namespace tiloran
