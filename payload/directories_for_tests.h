// What the tests look at inside directory creation, kept out of the
// launcher's own interface.
#ifndef ZOVARI_PAYLOAD_DIRECTORIES_FOR_TESTS_H
#define ZOVARI_PAYLOAD_DIRECTORIES_FOR_TESTS_H

#include <stddef.h>

// How many directories the table holds (the profile directory included).
size_t known_directory_count(void);

// Empties the table, as a new process would find it.
void forget_known_directories(void);

#endif
