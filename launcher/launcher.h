#ifndef ZOVARI_LAUNCHER_LAUNCHER_H
#define ZOVARI_LAUNCHER_LAUNCHER_H

#include <stdint.h>

// The launcher's whole life: prepare the environment, work out the target
// directory, unpack the payload into it, publish where the launcher came
// from, start the main binary and return its exit code.  Does not return on
// a fatal condition (exit code 2 or abort).
uint32_t launcher_main(void);

#endif
