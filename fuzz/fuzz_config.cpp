// Build values for the fuzz targets.  The payload fuzzer hands its payloads
// to the reader directly, so the compiled-in payload is never read.  The
// other values are short and fixed; the template fuzzer's reference model
// reads them from here too.
#include "build/config.h"

extern "C" {
const unsigned char zovari_payload[16] = {'Q', 'D', 'Y'};
const uint64_t zovari_payload_length = 16;
const wchar_t zovari_path_template[] = L"{CACHE_DIR}/Fuzz/{VERSION}";
const wchar_t zovari_company[] = L"Zovari {Fuzz} Company";
const wchar_t zovari_product[] = L"ZovariFuzz";
const wchar_t zovari_version[] = L"0.19.1";
const wchar_t zovari_file_version[] = L"0.19.1.7";
const wchar_t zovari_product_version[] = L"0.19.1-product";
const wchar_t zovari_fixed_arguments[] = L"";
}
