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
// returned. Any other caller simply waits.

#include <cstddef>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

namespace dicom {

// Runs work on a new thread with a stack of stackBytes and returns when it
// has ended; an exception it raised is raised again here, unchanged. Raises
// DicomError (OwnError::Internal) when no thread can be started.
void runOffThread(const std::function<void()>& work, std::size_t stackBytes);

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
