// Handle and integer types shared by the platform layer and the run-time units.
#pragma once
#include <cstdint>

namespace Platform {

using HMODULE = void*;        // a loaded shared object (dlopen handle); nullptr when none
using Cardinal = std::uint32_t;
using HWND = struct TMsgWindow*;  // a message-only window of the dispatcher
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using TThreadID = std::uint64_t;  // kernel thread id (gettid)

// The calling thread's kernel id: what log lines and thread records show.
TThreadID GetCurrentThreadId();

}  // namespace Platform
