#pragma once

// How a Linux host answers the message boxes the add-in library shows. The library carries
// its own copy of the platform code, kept out of its exported symbols, so a handler the host
// installs in the host's copy would never be asked: the host hands its answer function to
// the library through this one extra entry point instead. Plain C types only, as it crosses
// the library's boundary. (On Windows the library shows the system's box and has no hook.)

extern "C" {

// `buttons` is kHookButtonsOk or kHookButtonsYesNo; the result one of the kHookAnswer values
// (any other answer counts as the safe one: No for a question).
typedef int (*TidewellMessageBoxFunction)(void* context, const wchar_t* text,
                                          const wchar_t* caption, int buttons);

}  // extern "C"

namespace calendar_mirrow_addin {

// The values of the system's box, so that the hook reads the same on every host.
inline constexpr int kHookButtonsOk = 0;
inline constexpr int kHookButtonsYesNo = 4;
inline constexpr int kHookAnswerOk = 1;
inline constexpr int kHookAnswerYes = 6;
inline constexpr int kHookAnswerNo = 7;

// The entry point: void (TidewellMessageBoxFunction function, void* context); a null
// function removes the host's handler.
inline constexpr char kSetMessageBoxHandlerEntry[] = "TidewellSetMessageBoxHandler";
using SetMessageBoxHandlerEntry = void (*)(TidewellMessageBoxFunction function, void* context);

}  // namespace calendar_mirrow_addin
