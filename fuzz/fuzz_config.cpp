// Build values for the fuzz targets.  The payload fuzzer hands its payloads
// to the reader directly, so the compiled-in payload is never read.  The
// other values are short and fixed; the template fuzzer's reference model
// reads them from here too.
#include "image/config.h"

static const unsigned char Payload[16] = {'Q', 'D', 'Y'};
static const wchar_t* const Values[BUILD_VALUE_COUNT] = {
    L"{CACHE_DIR}/Fuzz/{VERSION}", L"Zovari {Fuzz} Company", L"ZovariFuzz",
    L"0.19.1", L"0.19.1.7", L"0.19.1-product", L"", L"", L""};

const unsigned char* build_payload(void) { return Payload; }
uint64_t build_payload_length(void) { return sizeof Payload; }
const wchar_t* build_value(enum build_value which) { return Values[which]; }
