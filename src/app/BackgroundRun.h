#pragma once
// Runs a conversion on a worker thread so the window never waits for it: a
// store's checkpoint (fsync) or one very large message can take seconds,
// and a click must be answered at once all the same.
//
// Everything the run asks of the window goes through `window`, called on the
// window's thread in the order the run asked: captions and progress are
// posted and the run goes on; options, the source rows, the destination
// picker and messages are waited for, so a question stays a question. The
// stop request is read directly: `stop` is set on the window's thread and
// seen by the run at its next step.
#include <atomic>

#include "convert/RunHost.h"

class QObject;

namespace mailvane {

// Runs ConversionRun over `window` on a worker thread and serves the window's
// events until it has ended, then returns. An exception from the run is
// thrown again here.
// REQUIRES: called on `context`'s thread (the window's), which stays alive
// until this returns; `window` is only used on that thread.
void RunInBackground(RunHost& window, QObject& context, const std::atomic<bool>& stop);

}  // namespace mailvane
