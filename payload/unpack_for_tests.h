// What the tests reset inside unpacking, kept out of the launcher's own
// interface.
#ifndef ZOVARI_PAYLOAD_UNPACK_FOR_TESTS_H
#define ZOVARI_PAYLOAD_UNPACK_FOR_TESTS_H

// Forgets the main binary path, as a new process would start, so that one
// process can run many starts.
void forget_unpack_state(void);

#endif
