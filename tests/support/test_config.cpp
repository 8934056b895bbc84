// Build values for the test programs: a payload that holds no file, two
// fixed arguments.
#include "image/config.h"

static const unsigned char Payload[16] = {'Q', 'D', 'Y'};
static const wchar_t* const Values[BUILD_VALUE_COUNT] = {
    L"{TEMP}", L"Zovari Test Company", L"ZovariTest", L"1.2.3", L"1.2.3.4", L"1.2.3.5", L"",
    L"", L"-m\0two words\0"};

const unsigned char* build_payload(void) { return Payload; }
uint64_t build_payload_length(void) { return sizeof Payload; }
const wchar_t* build_value(enum build_value which) { return Values[which]; }
