// Loadable modules: shared libraries in the module directory that bring their own
// section-definition file and register sections, stage callbacks, hooks, protocols and timers
// through the program's exported functions.
#pragma once

// Loads every "*.so" of moduledir, once, at start-up: after the built-in sections exist and
// before the configuration file is read. A missing directory is logged and skipped.
void modules_load();
// Loads one module: opens library, finds name + "_load", runs it while sectionxml is the
// module's definition file. 1 when the load function returned true, else 0 (logged).
int module_load(const char* name, const char* library, const char* definition);
