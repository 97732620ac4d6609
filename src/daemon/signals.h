// Signal handling and the clean exit.
//
// TERM, HUP, USR1, USR2 and PIPE are blocked in every thread and taken by one signal thread with
// sigwait, which then runs the handler below on an ordinary thread: they log, take locks and end
// the process like any other code. SEGV and ABRT stay asynchronous handlers that only write a
// backtrace and end the process.
#pragma once

// Once, on the main thread, before any other thread exists: blocks the asynchronous signals in
// the calling thread (every thread started later inherits that), starts the signal thread and
// installs the crash handlers. When the signal thread cannot be started the signals are
// unblocked again, so that they keep their default actions.
void signal_setup();

// What the signal thread does for each signal it takes (the signal number is not used).
// SIGTERM: logs "Recieved TERM Signal to EXIT" and performs the clean exit with status 0.
void on_signal(int signo);
// SIGHUP: closes the listeners, lets the cache finish and closes every pooled client and server
// connection; the process goes on without listeners.
void sighup(int signo);
// SIGUSR1: requests the rotation of the native, access and extended logs.
void sigusr1(int signo);
// SIGUSR2 and SIGPIPE: only logged.
void sigusr2(int signo);
void sigpipe(int signo);

// The exit of the fatal assertion: logs "Recieved Signal for Termination" and performs the
// clean exit with a failure status, so a supervisor sees that the process did not end well.
[[noreturn]] void sigterm();
// Closes the listeners, lets the cache finish, removes the PID file and ends the process with
// `status`. The first caller does it; a later caller on another thread waits for the end, and a
// failure inside the exit itself ends the process at once.
[[noreturn]] void clean_exit(int status);
