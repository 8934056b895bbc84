// The launcher's environment variables, named by narrow (ASCII) names and
// valued in wide text.
#ifndef ZOVARI_PATHS_ENVIRONMENT_H
#define ZOVARI_PATHS_ENVIRONMENT_H

#include <stddef.h>
#include <wchar.h>

// Longest environment value the system allows, with its NUL.
static const size_t ENVIRONMENT_VALUE_CAPACITY = 32768;

// A fresh heap copy of the variable's value, owned by the caller, or null when
// it is unset or empty.
wchar_t* get_environment_value(const char* name);

// Failures to set or remove are not reported.
void set_environment_value(const char* name, const wchar_t* value);
void clear_environment_value(const char* name);
void set_environment_number(const char* name, long number);

#endif
