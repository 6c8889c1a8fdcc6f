#pragma once

// A blocking call made off the calling thread while the caller waits for it.
//
// The station's network calls block for seconds. Made on the thread that
// draws the windows, they would freeze them for as long. callOffThread runs
// the work on a thread of its own, with a stack as large as the work needs,
// and returns its result, or raises its failure, exactly as a direct call
// would. A caller on a thread with a Qt event dispatcher (the user-interface
// thread) waits in a local event loop that leaves user input unread: timers,
// repaints and posted events go on, keys and clicks wait until the call has
// returned, and the busy pointer shows meanwhile. Any other caller simply
// waits.
//
// A window asked to close while a call waits (its close box is not user
// input to Qt) puts the close off until the call has returned: the handler
// that made the call goes on with the window it started with.

#include <cstddef>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

class QObject;

namespace dicom {

// Runs work on a new thread with a stack of stackBytes and returns when it
// has ended; an exception it raised is raised again here, unchanged. Raises
// DicomError (OwnError::Internal) when no thread can be started.
void runOffThread(const std::function<void()>& work, std::size_t stackBytes);

// True while a call made on this thread waits in its event loop.
bool callWaiting();

// Runs later on context's thread once no call waits any longer (at once when
// none does), from the event loop; not at all once context is gone.
void whenCallsEnd(QObject* context, std::function<void()> later);

// As runOffThread, returning what work returns.
template <class Work>
std::invoke_result_t<Work&> callOffThread(Work&& work, std::size_t stackBytes) {
  using Result = std::invoke_result_t<Work&>;
  if constexpr (std::is_void_v<Result>) {
    runOffThread(work, stackBytes);
  } else {
    std::optional<Result> result;
    runOffThread([&] { result.emplace(work()); }, stackBytes);
    return std::move(*result);
  }
}

}  // namespace dicom
