// The running proxy: what start-up hands over to once the process has its final user and group.
#pragma once

// Never returns; the process ends through a signal or the fatal assertion.
[[noreturn]] void mainloop();
