#ifndef KORVEX_PLATFORM_COMMAND_H_
#define KORVEX_PLATFORM_COMMAND_H_

#include <chrono>
#include <functional>
#include <string>

namespace belmor::platform {

// Starting other programs: the browser, the downloaded setup program and the
// Yes/No question. Programs get exactly one argument and no shell ever sees
// it, so URLs and file names need no quoting. A program name without a slash
// is looked up in PATH.

// What RunCommand answers when the program could not be started at all,
// the same code a shell gives.
inline constexpr int kCommandNotStarted = 127;

// Runs the program with the argument and waits for its end. Answers the exit
// status, 128 + the signal number when a signal ended it, kCommandNotStarted
// when it could not be started, and -1 when its end could not be observed.
int RunCommand(const std::string& program, const std::string& argument);

// Starts the program with the argument and does not wait; a background
// thread collects its exit so no zombie remains. False when it could not be
// started.
bool LaunchCommand(const std::string& program, const std::string& argument);

// Shows a URL in the browser or opens a file with its usual application:
// $KORVEX_BROWSER if set, else xdg-open. Does not wait: xdg-open may stay
// until the browser it started ends, and the OAuth login must go on
// listening meanwhile. False when the command could not be started.
bool OpenInBrowser(const std::string& url_or_path);

// How long a question waits for its answer before it counts as No: nobody
// may be at the workstation, and the run must go on.
inline constexpr std::chrono::milliseconds kQuestionTimeout = std::chrono::minutes(2);

// Asks the user a Yes/No question and waits for the answer: $KORVEX_CONFIRM
// if set, given the question as its one argument, else zenity when a display
// (DISPLAY or WAYLAND_DISPLAY) is present. Exit status 0 means Yes; anything
// else, and no command and no display, means No. The wait is bounded: once
// timeout has passed, or as soon as stopped() answers true (it is asked a few
// times a second), the dialog and whatever it started are ended and the
// answer is No.
bool AskYesNo(const std::string& question, std::chrono::milliseconds timeout = kQuestionTimeout,
              const std::function<bool()>& stopped = {});

}  // namespace belmor::platform

#endif  // KORVEX_PLATFORM_COMMAND_H_
