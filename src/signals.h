// Signal handling and the clean exit.
#pragma once

// The exit of the fatal assertion: logs "Recieved Signal for Termination" and performs the
// clean exit with a failure status, so a supervisor sees that the process did not end well.
[[noreturn]] void sigterm();
// Close the listeners, let the cache finish, remove the PID file, end the process.
[[noreturn]] void clean_exit(int status);
