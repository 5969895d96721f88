#pragma once

namespace tiloran {

// The worker's control path: fetch the configuration document from the
// server, check it, and hand it to the media pipeline. Everything here runs
// on the worker's main thread.

// Fetches the document from http://127.0.0.1:<port>/api/worker/config, checks
// its structure, prints it and runs the pipeline with it. Returns the process
// exit code: 1 on every failure (the pipeline itself returns only on failure),
// 0 if the pipeline ever reports success.
int runWorker(int port);

} // namespace tiloran
