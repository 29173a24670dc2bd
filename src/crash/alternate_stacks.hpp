// Every thread's alternate signal stack, so that a stack overflow on any thread of the host still
// runs the crash handler: threads created after start get theirs from the library's
// pthread_create, threads that exist at start are asked once to take one prepared for them, and
// a host can prepare a thread it made some other way itself.
#pragma once

namespace quillstone::crash {

// The real-time signal (SIGRTMIN + 8) that asks each thread existing at the first start to take
// the stack prepared for it. When the host has installed an action of its own for it, the library
// leaves it alone and asks no thread.
int stackRequestSignal() noexcept;

// On every start with crash capture: the calling thread keeps or gets its stack, every thread
// created from now on gets one, and, once per process, every other thread that does not block
// stackRequestSignal() is asked to take a stack prepared for it. Never waits for those threads.
void coverEveryThread() noexcept;

// Keeps or gives the calling thread an alternate stack, released when the thread ends. Returns
// whether the thread has one now.
bool prepareCurrentThread() noexcept;

}  // namespace quillstone::crash
