#include "pack/commands/packing.h"

#include <chrono>
#include <cstdio>

#include "pack/commands/options.h"
#include "pack/payloads/exclude.h"
#include "pack/executables/launcher_image.h"
#include "pack/payloads/reader.h"
#include "pack/payloads/names.h"
#include "pack/payloads/python_cache.h"
#include "pack/system/system.h"
#include "pack/system/text.h"
#include "pack/executables/payload_place.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

// "12 s", "3 min 05 s": a duration for the progress line.
std::string duration_text(double seconds) {
  char text[32];
  long whole = (long)(seconds + 0.5);
  if (whole < 60) {
    std::snprintf(text, sizeof text, "%ld s", whole);
  } else {
    std::snprintf(text, sizeof text, "%ld min %02ld s", whole / 60, whole % 60);
  }
  return text;
}

// A one-line progress display on stderr, shown only on a terminal.
class Progress {
 public:
  explicit Progress(uint64_t total) : total_(total), shown_(error_stream_is_terminal()) {}
  ~Progress() { finish(); }
  void update(uint64_t done) {
    if (!shown_) return;
    auto now = std::chrono::steady_clock::now();
    // At most ten lines a second, and the last one always, once.
    if (active_ && (done == last_done_ || (now - last_ < std::chrono::milliseconds(100) && done < total_))) {
      return;
    }
    last_ = now;
    last_done_ = done;
    active_ = true;
    double percent = total_ > 0 ? 100.0 * (double)done / (double)total_ : 100.0;
    // The rate and the time left, once there is enough behind to judge by.
    // The rate is taken from the first compressed bytes on: until the
    // workers deliver their first jobs, nothing seems done, and a rate from
    // the start would promise many times the real time left.
    std::string pace;
    if (first_done_ == 0 && done > 0) {
      first_done_ = done;
      first_ = now;
    }
    double elapsed = std::chrono::duration<double>(now - first_).count();
    if (first_done_ > 0 && elapsed >= 1.0 && done > first_done_) {
      double rate = (double)(done - first_done_) / elapsed;
      char text[64];
      std::snprintf(text, sizeof text, " %.1f MiB/s", rate / 1048576.0);
      pace = text;
      if (done < total_) pace += ", " + duration_text((double)(total_ - done) / rate) + " left";
    }
    // No file name: the workers take input well ahead of what they have
    // compressed, so the file being read says little about where they are.
    char line[160];
    int length = std::snprintf(line, sizeof line, "packing %.1f of %.1f MiB (%3.0f%%)%s", done / 1048576.0,
                               total_ / 1048576.0, percent, pace.c_str());
    // Spaces over what the last line had beyond this one: every console,
    // the Windows one included, understands a carriage return and spaces.
    std::fprintf(stderr, "\r%s%*s", line, width_ > length ? width_ - length : 0, "");
    width_ = length;
    std::fflush(stderr);
  }
  void finish() {
    if (active_) std::fprintf(stderr, "\r%*s\r", width_, "");
    active_ = false;
  }

 private:
  uint64_t total_;
  bool shown_;
  bool active_ = false;
  int width_ = 0;  // of the line shown
  std::chrono::steady_clock::time_point first_;  // when the first bytes were done
  uint64_t first_done_ = 0;
  std::chrono::steady_clock::time_point last_;
  uint64_t last_done_ = 0;
};

// Whether the file at path is a launcher of this tool; a file that cannot
// be read is left for the packing to report.
bool is_launcher_file(const fs::path& path) {
  try {
    MappedFile file(path);
    return is_packed_launcher(file.data(), file.size());
  } catch (const PackError&) {
    return false;
  }
}

// The same file, whichever way each path names it.
bool same_file(const fs::path& a, const fs::path& b) {
  std::error_code error;
  return fs::equivalent(a, b, error) ||
         fs::weakly_canonical(fs::absolute(a), error) == fs::weakly_canonical(fs::absolute(b), error);
}

// True when the file holds a payload, alone or in a launcher: what this tool
// writes, so an earlier build's output that the new one replaces.
bool written_by_this_tool(const fs::path& path) {
  try {
    MappedFile file(path);
    find_payload(file.data(), file.size());
    return true;
  } catch (const PackError&) {
    return false;
  }
}

}  // namespace

uint64_t total_size(const std::vector<PayloadRecord>& records) {
  uint64_t total = 0;
  for (const PayloadRecord& record : records) {
    std::error_code error;
    total += fs::file_size(record.source, error);
  }
  return total;
}

void pack_records(const Arguments& args, std::vector<PayloadRecord>& records, const fs::path& output,
                  char16_t separator) {
  std::vector<PayloadRecord> kept;
  for (size_t i = 0; i < records.size(); ++i) {
    if (i > 0 && is_launcher_file(records[i].source)) {
      print_warning("left out " + in_quotes(display_name(with_separator(records[i].name, separator))) +
                    ": it is a launcher made by zovari-pack, such as an earlier build");
    } else {
      kept.push_back(std::move(records[i]));
    }
  }
  records = std::move(kept);
  if (args.has("verbose")) {
    for (const PayloadRecord& record : records) {
      std::error_code error;
      std::fprintf(stderr, "%12llu %s\n", (unsigned long long)fs::file_size(record.source, error),
                   display_name(with_separator(record.name, separator)).c_str());
    }
  }
  PayloadOptions options;
  options.level = parse_level(args);
  options.workers = parse_jobs(args);
  Progress progress(args.has("quiet") ? 0 : total_size(records));
  if (!args.has("quiet")) {
    options.progress = [&](uint64_t done, const std::u16string&) { progress.update(done); };
  }
  write_payload_file(records, options, output);
}

std::vector<PayloadRecord> collect_input(const Arguments& args, const fs::path& output) {
  Exclusions exclusions(args.all("exclude"));
  std::vector<PayloadRecord> all =
      collect_application(fs::u8path(args.required("input")), fs::u8path(args.required("main")),
                          [&](const std::string& relative) { return exclusions.leaves_out(relative); });
  if (same_file(all.front().source, output)) {
    throw UsageError("--output " + quoted_path(output) + " would replace the main binary");
  }
  for (const std::string& pattern : exclusions.unused()) {
    print_warning("--exclude " + in_quotes(pattern) + " matches nothing");
  }
  // The output may be an earlier build's, which is left out and replaced;
  // any other file of the folder, by whatever name, is the user's.
  std::vector<PayloadRecord> kept;
  for (size_t i = 0; i < all.size(); ++i) {
    if (i == 0 || !same_file(all[i].source, output)) {
      kept.push_back(all[i]);
    } else if (!written_by_this_tool(all[i].source)) {
      throw UsageError("--output " + quoted_path(output) + " is the input file \"" + display_name(all[i].name) +
                       "\", which it would replace or leave out of the payload");
    }
  }
  if (size_t stale = count_stale_python_caches(kept)) print_warning(stale_python_cache_warning(stale));
  return kept;
}

std::vector<std::u16string> record_names(const std::vector<PayloadRecord>& records) {
  std::vector<std::u16string> names;
  for (const PayloadRecord& record : records) names.push_back(record.name);
  return names;
}

}  // namespace zovari
