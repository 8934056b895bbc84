/* The main binary of the fault tests' applications.  It checks the files
 * that lie beside it against the list in "manifest.txt" (lines of
 * "<crc-32 hex> <size> <path relative to its folder, / between parts>"),
 * prints "intact" and exits 0 when every one matches, or names the first one
 * that does not and exits 3. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

static int own_directory(char* out, size_t capacity) {
#ifdef _WIN32
  DWORD length = GetModuleFileNameA(NULL, out, (DWORD)capacity);
  if (length == 0 || length >= capacity) return 0;
  char* cut = strrchr(out, '\\');
#else
  ssize_t length = readlink("/proc/self/exe", out, capacity - 1);
  if (length <= 0) return 0;
  out[length] = 0;
  char* cut = strrchr(out, '/');
#endif
  if (cut == NULL) return 0;
  *cut = 0;
  return 1;
}

static uint32_t crc_table[256];

static void make_crc_table(void) {
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    crc_table[n] = c;
  }
}

static int check_one(const char* directory, const char* relative, uint32_t crc,
                     unsigned long long size) {
  char path[8200];
  snprintf(path, sizeof path, "%s/%s", directory, relative);
  FILE* file = fopen(path, "rb");
  if (file == NULL) return 0;
  uint32_t value = 0xFFFFFFFFu;
  unsigned long long count = 0;
  unsigned char buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
    for (size_t i = 0; i < got; ++i) value = crc_table[(value ^ buffer[i]) & 0xFF] ^ (value >> 8);
    count += got;
  }
  fclose(file);
  return (value ^ 0xFFFFFFFFu) == crc && count == size;
}

int main(void) {
  make_crc_table();
  char directory[4096];
  if (!own_directory(directory, sizeof directory)) {
    printf("no own directory\n");
    return 3;
  }
  char manifest[4200];
  snprintf(manifest, sizeof manifest, "%s/manifest.txt", directory);
  FILE* list = fopen(manifest, "r");
  if (list == NULL) {
    printf("no manifest\n");
    return 3;
  }
  char line[4400];
  int checked = 0;
  while (fgets(line, sizeof line, list) != NULL) {
    char relative[4096];
    unsigned long crc;
    unsigned long long size;
    if (sscanf(line, "%lx %llu %4095[^\n]", &crc, &size, relative) != 3) continue;
    if (!check_one(directory, relative, (uint32_t)crc, size)) {
      printf("corrupt %s\n", relative);
      return 3;
    }
    ++checked;
  }
  fclose(list);
  printf("intact %d\n", checked);
  return 0;
}
