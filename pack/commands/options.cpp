#include "pack/commands/options.h"

#include <exception>
#include <string>
#include <vector>

#include "pack/system/error.h"
#include "pack/executables/runtime_image.h"
#include "pack/system/text.h"

namespace fs = std::filesystem;

namespace zovari {

std::string launcher_options_help() {
  return "  --target T            windows or linux; default: the main binary's format\n"
         "                        (PE: windows, ELF: linux), which T must fit\n"
         "  --console, --windowed  the Windows launcher's subsystem; default: the main\n"
         "                        binary's own (a console program gets a console launcher)\n"
         "  --template T          where the files go; default \"{CACHE_DIR}\\{PRODUCT}\\{VERSION}\"\n"
         "                        (windows) or \"{CACHE_DIR}/{PRODUCT}/{VERSION}\" (linux),\n"
         "                        with --version followed by \"-\" and the payload's\n"
         "                        CRC-32, so that other contents get another folder;\n"
         "                        {PID}, {TIME}, {TIME_US} or {RANDOM} give each start a\n"
         "                        folder of its own (removed when the child ends\n"
         "                        with --clean-cache)\n"
         "  --product P           default: the main binary's name without extension\n"
         "  --version V           {VERSION}; default \"0.0.0-\" and the payload's CRC-32 in\n"
         "                        8 hex digits, so that other contents get another cache\n"
         "                        folder (0.0.0.0 in the version record).  Free text such as\n"
         "                        1.2.3-beta is the ProductVersion string; the numeric\n"
         "                        fields take its leading numbers\n"
         "  --file-version V      default: the version\n"
         "  --product-version V   default: the version\n"
         "  --company C           the company name ({COMPANY}, CompanyName)\n"
         "  --description D       FileDescription, which Explorer and the task manager\n"
         "                        show as the program's name; default: the product\n"
         "  --copyright C         LegalCopyright\n"
         "  --icon FILE           the launcher's icon (windows): a PNG, or an .ico whose\n"
         "                        best image is used; default: the main binary's own\n"
         "                        icon, or the project's when it has none\n"
         "  --uac-admin           the manifest asks for administrator rights\n"
         "                        (requireAdministrator): Windows shows its elevation\n"
         "                        prompt at every start (windows)\n"
         "  --arg TEXT            a fixed argument the child always gets after its\n"
         "                        argument 0 and before the launcher's own (such as\n"
         "                        --arg -m --arg myapp for an interpreter); {TARGET_DIR}\n"
         "                        in it is the folder the files were unpacked to, as in\n"
         "                        --arg {TARGET_DIR}/app.lua; repeatable\n"
         "  --quick-start         a warm start checks every file's metadata (size, times,\n"
         "                        identity) against what the last full check recorded,\n"
         "                        opening no file; damage that leaves it unchanged (a\n"
         "                        disk fault) waits for the next full check.  For large\n"
         "                        applications and command-line tools\n"
"  --clean-cache         a start removes, once its program runs, the folders of\n"
         "                        the product's other builds that no launcher runs\n"
         "                        from, and a folder of its own per start ({PID}...)\n"
         "                        when the program ends: a program's background\n"
         "                        process that outlives it loses its files\n"
         "  --pass-interrupts     Ctrl+C and Ctrl+Break are left to the program, which\n"
         "                        the launcher waits for without a deadline (for\n"
         "                        interactive programs that handle them)\n"
         "  --runtime FILE        the runtime image the launcher is written from; default\n"
         "                        the target's beside this tool (zovari-pack --version\n"
         "                        says where)\n";
}

const std::vector<OptionDefinition> LAUNCHER_OPTIONS = {
    {"output", true},  {"target", true},          {"template", true}, {"product", true},
    {"version", true}, {"file-version", true},    {"product-version", true},
    {"company", true}, {"description", true},     {"copyright", true}, {"icon", true},
    {"runtime", true},
    {"console", false}, {"windowed", false},      {"quiet", false, 'q'},  {"uac-admin", false},
    {"quick-start", false}, {"clean-cache", false}, {"pass-interrupts", false},
    {"arg", true, 0, true}};

const std::vector<OptionDefinition> SELECTION_OPTIONS = {
    {"input", true}, {"main", true}, {"level", true}, {"exclude", true, 0, true},
    {"verbose", false, 'v'}};

int parse_number(const Arguments& args, const std::string& option, int fallback, int low, int high) {
  std::string text = args.get(option, "");
  if (text.empty()) return fallback;
  try {
    size_t used = 0;
    int value = std::stoi(text, &used);
    if (used == text.size() && value >= low && value <= high) return value;
  } catch (const std::exception&) {
  }
  throw UsageError("--" + option + " must be a number from " + std::to_string(low) + " to " +
                   std::to_string(high) + ", not \"" + text + "\"");
}

int parse_level(const Arguments& args) {
  return parse_number(args, "level", 19, 1, 22);
}

int parse_jobs(const Arguments& args) {
  return parse_number(args, "jobs", 0, 1, 256);
}

LauncherSettings launcher_settings(const Arguments& args) {
  LauncherSettings s;
  s.target = args.get("target");
  if (args.has("target") && s.target.empty()) throw UsageError("--target must not be empty");
  if (args.has("console") && args.has("windowed")) {
    throw UsageError("--console and --windowed exclude each other");
  }
  if (args.has("console")) s.subsystem = "console";
  if (args.has("windowed")) s.subsystem = "windows";
  s.path_template = args.get("template");
  if (args.has("template") && s.path_template.empty()) {
    throw UsageError("--template must not be empty (leave it out for the default)");
  }
  s.product = args.get("product");
  s.version = args.get("version");
  if (args.has("version") && s.version.empty()) throw UsageError("--version must not be empty");
  s.file_version = args.get("file-version");
  s.product_version = args.get("product-version");
  s.company = args.get("company");
  s.description = args.get("description");
  s.copyright = args.get("copyright");
  s.uac_admin = args.has("uac-admin");
  s.icon = fs::u8path(args.get("icon"));
  s.runtime = fs::u8path(args.get("runtime"));
  if (args.has("runtime") && s.runtime.empty()) throw UsageError("--runtime must not be empty");
  s.fixed_arguments = args.all("arg");
  s.quick_start = args.has("quick-start");
  s.clean_cache = args.has("clean-cache");
  s.pass_interrupts = args.has("pass-interrupts");
  return s;
}

}  // namespace zovari
