// A look inside cleanup.h for the tests: what a console event or an
// interrupt signal sets going, run on the calling thread (no test can send
// a console event to a program under Wine).
#ifndef ZOVARI_PACK_CLEANUP_FOR_TESTS_H
#define ZOVARI_PACK_CLEANUP_FOR_TESTS_H

namespace zovari {

// Runs the interrupt handler as Ctrl+C (SIGINT) would.
void interrupt_for_tests();

}  // namespace zovari

#endif
