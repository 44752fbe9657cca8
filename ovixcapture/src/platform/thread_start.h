// Starting a library thread: the system may refuse one (no memory, a thread
// limit), and the caller must learn that instead of seeing an exception.
#pragma once

#include <functional>
#include <thread>

namespace ovix::platform {

// Starts body on a new thread into out (which must not hold a joinable
// thread). 0, or the system error when no thread could be created.
// Fault point "CreateThread".
int StartThread(std::thread& out, std::function<void()> body);

}  // namespace ovix::platform
