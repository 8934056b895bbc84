// Build values for the test programs: a payload that holds no file, two
// fixed arguments.
#include "build/config.h"

extern "C" {
const unsigned char zovari_payload[16] = {'Q', 'D', 'Y'};
const uint64_t zovari_payload_length = 16;
const wchar_t zovari_path_template[] = L"{TEMP}";
const wchar_t zovari_company[] = L"Zovari Test Company";
const wchar_t zovari_product[] = L"ZovariTest";
const wchar_t zovari_version[] = L"1.2.3";
const wchar_t zovari_file_version[] = L"1.2.3.4";
const wchar_t zovari_product_version[] = L"1.2.3.5";
const wchar_t zovari_fixed_arguments[] = L"-m\0two words\0";
}
