// cfgtree.cpp - the cfgtree command: loads configuration files in direct mode
// and dumps, reads, sets, checks or substitutes against what they define.
// Failing lines are reported compiler-style ("FILE:LINE: STATUS: line") and
// the load goes on with the next line. Exit statuses: 0 success, 1 something
// asked for was not found, 2 a load or usage error, 3 a refused request.
// Identifiers, values and TEXT hold at most 639 characters, as in the
// library; load arguments (file, variables, context, filter) 4095, of
// which each variable (-D, --context as "%%=", --filter as "@=") 127, its
// name 32, as a load keeps them.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cfgtree.h"
#include "ds.h"
#include "log.h"

namespace {

constexpr std::size_t kTextSize = 640;   // library text buffers: 639 characters
constexpr std::size_t kLoadArgMax = 4095;
constexpr std::size_t kVarMax = 127;     // a file variable's NAME=VALUE
constexpr std::size_t kVarNameMax = 32;  // and its NAME

enum Exit : int { kOk = 0, kNotFound = 1, kFailed = 2, kRefused = 3 };

// Combines two exit statuses: a failure outweighs a refusal, which
// outweighs a miss.
int worse(int a, int b) {
    auto rank = [](int e) { return e == kFailed ? 3 : e == kRefused ? 2 : e == kNotFound ? 1 : 0; };
    return rank(b) > rank(a) ? b : a;
}

// ---- command line ----------------------------------------------------------

enum Command : unsigned { kNone = 0, kDump = 1, kGet = 2, kSet = 4, kCheck = 8, kSubst = 16, kAll = 31 };

struct Options {
    Command command = kNone;
    std::string command_name;
    std::vector<std::string> args;  // positional arguments after the command
    std::size_t dash_at = SIZE_MAX; // index in args where "--" stood after one
    std::vector<std::string> defines;
    std::string context, filter, path, id, type, out;
    bool has_context = false, has_filter = false, has_path = false, has_id = false, has_type = false,
         has_out = false;
    bool raw = false, json = false, quiet = false, help = false, version = false;
    int verbose = 0;
};

struct OptionSpec {
    const char *long_name;
    char short_name;
    bool takes_value;
    unsigned commands;  // the commands that accept it
};

constexpr OptionSpec kOptions[] = {
    {"define", 'D', true, kAll},    {"context", 0, true, kAll},  {"filter", 0, true, kAll},
    {"path", 0, true, kAll},        {"verbose", 'v', false, kAll}, {"quiet", 'q', false, kAll},
    {"help", 'h', false, kAll},     {"version", 'V', false, kAll}, {"id", 0, true, kDump},
    {"raw", 0, false, kDump | kGet}, {"json", 0, false, kDump},   {"type", 0, true, kGet},
    {"output", 'o', true, kSet},
};

const char kUsage[] =
    "Usage: cfgtree COMMAND [OPTION]... ARGUMENT...\n"
    "\n"
    "Loads configuration files (with includes, file variables and index ranges)\n"
    "and works on the configuration they define.\n"
    "\n"
    "Commands:\n"
    "  dump FILE... [--id IDENT] [--raw] [--json]\n"
    "                       print the configuration, or one item, in the\n"
    "                       configuration language (or as JSON)\n"
    "  get FILE... IDENT... [--type bool|int|range|bytes|server] [--raw]\n"
    "                       print the value of each attribute, one a line\n"
    "  set FILE IDENT VALUE [-o OUT]\n"
    "                       set an attribute and save FILE (or OUT)\n"
    "  check FILE...        report every line that fails to load\n"
    "  subst TEXT [FILE...] print TEXT with its ${...} references resolved\n"
    "\n"
    "Options:\n"
    "  -D NAME=VALUE        define a file variable for every file loaded\n"
    "      --context IDENT  initial context of the files (the variable %%)\n"
    "      --filter PATTERN load only the definitions matching PATTERN (@)\n"
    "      --path DIRS      ':'-separated search path (sets CONFIG_PATH)\n"
    "  -o, --output OUT     where set saves (default: FILE itself)\n"
    "      --id IDENT       dump only this item\n"
    "      --raw            leave ${...} references unresolved\n"
    "      --json           dump as JSON (attribute values as strings)\n"
    "      --type KIND      print values converted: bool, int, range, bytes, server\n"
    "  -v, --verbose        show the library's messages (repeat for more)\n"
    "  -q, --quiet          print no diagnostics; the exit status tells\n"
    "  -h, --help           show this help\n"
    "  -V, --version        show the version\n"
    "\n"
    "A FILE that exists as a path is loaded from there; any other name is looked\n"
    "for on CONFIG_PATH, like includes. Without CONFIG_PATH and --path, the search\n"
    "path is the current directory, then the directory of each FILE as named and,\n"
    "for one named through a symbolic link, the directory of the file it leads to.\n"
    "In get, leading arguments that name files are FILEs and the rest IDENTs (the\n"
    "last argument is always an IDENT); a -- after a FILE ends the FILEs.\n"
    "set rewrites the file in saved form: comments, file variables and includes\n"
    "are not kept, references are. A VALUE the file would read back otherwise (a\n"
    "line break, a %(...) file reference, edging double quotes) is refused.\n"
    "get --type prints only values that mean the type (an int is a whole 32-bit\n"
    "number; a bool one of true, false, yes, on, 1, 0; a server host[:port]; a\n"
    "range INT..INT; bytes 0x and pairs of hexadecimal digits).\n"
    "\n"
    "Exit status: 0 success; 1 something asked for was not found (also a\n"
    "reference that get or subst cannot resolve: dump marks such a value and\n"
    "goes on); 2 a load or usage error (also a TEXT with a malformed reference;\n"
    "a value or TEXT fails by its last reference only); 3 a refused request\n"
    "(read-only attribute, an object where an attribute is needed, a value not\n"
    "of the asked type, a stored value that get or subst reads with a malformed\n"
    "reference, a JSON dump where an attribute and an object share a name, a\n"
    "dump that leaves out objects nested more than 256 levels deep, which a\n"
    "load would not read).\n";

bool g_quiet = false;  // -q: no diagnostics

// While the command line is parsed, -q may still follow: the first usage
// error is kept and said (or not) once the whole line is read.
bool g_parsing = false;
std::string g_first_usage_error;

void say_usage_error(const std::string &message) {
    if (!g_quiet) std::fprintf(stderr, "cfgtree: %s\nTry 'cfgtree --help' for more information.\n", message.c_str());
}

int usage_error(const std::string &message) {
    if (!g_parsing) say_usage_error(message);
    else if (g_first_usage_error.empty()) g_first_usage_error = message;
    return kFailed;
}

const OptionSpec *find_long(const std::string &name) {
    for (const auto &option : kOptions)
        if (name == option.long_name) return &option;
    return nullptr;
}

const OptionSpec *find_short(char c) {
    for (const auto &option : kOptions)
        if (option.short_name == c) return &option;
    return nullptr;
}

bool set_command(Options &o, const std::string &word) {
    static const struct {
        const char *name;
        Command command;
    } kCommands[] = {{"dump", kDump}, {"get", kGet}, {"set", kSet}, {"check", kCheck}, {"subst", kSubst}};
    for (const auto &c : kCommands) {
        if (word == c.name) {
            o.command = c.command;
            o.command_name = word;
            return true;
        }
    }
    return false;
}

void apply_option(Options &o, const OptionSpec &option, const std::string &value) {
    std::string name = option.long_name;
    if (name == "define") o.defines.push_back(value);
    else if (name == "context") o.context = value, o.has_context = true;
    else if (name == "filter") o.filter = value, o.has_filter = true;
    else if (name == "path") o.path = value, o.has_path = true;
    else if (name == "id") o.id = value, o.has_id = true;
    else if (name == "type") o.type = value, o.has_type = true;
    else if (name == "output") o.out = value, o.has_out = true;
    else if (name == "verbose") ++o.verbose;
    else if (name == "quiet") o.quiet = true;
    else if (name == "help") o.help = true;
    else if (name == "version") o.version = true;
    else if (name == "raw") o.raw = true;
    else if (name == "json") o.json = true;
}

// "--name", "--name=value" or "--name value" at argv[i].
int parse_long(int argc, char **argv, int &i, Options &o, std::vector<const OptionSpec *> &used) {
    std::string arg = argv[i];
    std::size_t eq = arg.find('=');
    std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
    const OptionSpec *option = find_long(name);
    if (!option) return usage_error("unknown option '--" + name + "'");
    std::string value;
    if (option->takes_value) {
        if (eq != std::string::npos) value = arg.substr(eq + 1);
        else if (i + 1 < argc) value = argv[++i];
        else return usage_error("option '--" + name + "' needs a value");
    } else if (eq != std::string::npos) {
        return usage_error("option '--" + name + "' takes no value");
    }
    apply_option(o, *option, value);
    used.push_back(option);
    return kOk;
}

// A cluster of short options at argv[i]: "-vq", "-Dvalue", "-D value".
int parse_short(int argc, char **argv, int &i, Options &o, std::vector<const OptionSpec *> &used) {
    std::string arg = argv[i];
    for (std::size_t k = 1; k < arg.size(); ++k) {
        const OptionSpec *option = find_short(arg[k]);
        if (!option) return usage_error(std::string("unknown option '-") + arg[k] + "'");
        std::string value;
        if (option->takes_value) {
            if (k + 1 < arg.size()) value = arg.substr(k + 1);
            else if (i + 1 < argc) value = argv[++i];
            else return usage_error(std::string("option '-") + arg[k] + "' needs a value");
            k = arg.size();
        }
        apply_option(o, *option, value);
        used.push_back(option);
    }
    return kOk;
}

// Parses argv in GNU style: options anywhere, "--" ends them. The first
// positional word is the command. Returns kOk or a usage error (the first;
// the rest of the line is read on, for a -q).
int parse_args(int argc, char **argv, Options &o, std::vector<const OptionSpec *> &used) {
    bool options_done = false;
    int first = kOk;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        int e = kOk;
        // The first "--" ends the options; one after a FILE ends get's FILEs,
        // also when an earlier one, before the first FILE, ended the options.
        bool ends_files = arg == "--" && o.command != kNone && !o.args.empty() && o.dash_at == SIZE_MAX;
        if (arg == "--" && (!options_done || (ends_files && o.command == kGet))) {
            options_done = true;
            if (ends_files) o.dash_at = o.args.size();
        } else if (options_done || arg == "-" || arg.size() < 2 || arg[0] != '-') {
            if (o.command != kNone || o.help || o.version) o.args.push_back(arg);
            else if (!set_command(o, arg)) e = usage_error("unknown command '" + arg + "'");
        } else {
            e = arg[1] == '-' ? parse_long(argc, argv, i, o, used) : parse_short(argc, argv, i, o, used);
        }
        if (first == kOk) first = e;
    }
    return first;
}

// Checks what the command line asks for as a whole.
int check_args(const Options &o, const std::vector<const OptionSpec *> &used) {
    if (o.help || o.version) return kOk;
    if (o.command == kNone) return usage_error("no command given");
    for (const OptionSpec *option : used)
        if (!(option->commands & o.command))
            return usage_error("option '--" + std::string(option->long_name) + "' does not apply to " + o.command_name);
    for (const std::string &d : o.defines) {
        if (d.empty() || d[0] == '=' || d.find('=') == std::string::npos)
            return usage_error("-D needs NAME=VALUE, not '" + d + "'");
        if (d.find(',') != std::string::npos) return usage_error("-D '" + d + "': a variable cannot hold ','");
        // A load would cut a longer one without a word.
        if (d.find('=') > kVarNameMax || d.size() > kVarMax)
            return usage_error("-D '" + d + "': a variable holds at most " + std::to_string(kVarMax) +
                               " characters, its name at most " + std::to_string(kVarNameMax));
    }
    if ((o.has_context && o.context.find(',') != std::string::npos) ||
        (o.has_filter && o.filter.find(',') != std::string::npos))
        return usage_error("--context and --filter cannot hold ','");
    if (o.has_context && o.context.size() > kVarMax - 3)  // the variable "%%=IDENT"
        return usage_error("--context holds at most " + std::to_string(kVarMax - 3) + " characters");
    if (o.has_filter && o.filter.size() > kVarMax - 2)  // the variable "@=PATTERN"
        return usage_error("--filter holds at most " + std::to_string(kVarMax - 2) + " characters");
    if (o.has_type && o.type != "bool" && o.type != "int" && o.type != "range" && o.type != "bytes" &&
        o.type != "server")
        return usage_error("unknown --type '" + o.type + "' (bool, int, range, bytes or server)");
    return kOk;
}

// ---- library messages ------------------------------------------------------

// What the log sink keeps of one load, to name the file behind a failure
// that no line reports (an unreadable include, a block left open).
struct LoadLog {
    std::vector<std::string> eof_files;     // "Unexpected EOF in file '...'"
    std::vector<std::string> access_paths;  // candidates of the last failed locate
    std::vector<std::string> deep_files;    // files whose includes nest too deeply
    std::string unreadable;                 // the first candidate without its owner-read bit
    std::string last_error;                 // the last error message (level 3 or less)
};

int g_log_threshold = 0;      // library messages up to this level go to stderr
LoadLog *g_load_log = nullptr;  // set while a load runs

// The text between open and the last close after it, or "".
std::string between(const std::string &text, const std::string &open, const std::string &close) {
    std::size_t a = text.find(open);
    if (a == std::string::npos) return "";
    a += open.size();
    std::size_t b = text.rfind(close);
    return b == std::string::npos || b < a ? "" : text.substr(a, b - a);
}

void note_load_message(LoadLog &log, int level, const std::string &m) {
    if (level >= 2 && level <= 3) log.last_error = m;  // level 1 is the search path's note
    if (m.find("include depth exceeds max") != std::string::npos) {
        log.deep_files.push_back(between(m, "in file '", "'"));
    } else if (m.find("Unexpected EOF in file '") != std::string::npos) {
        log.eof_files.push_back(between(m, "Unexpected EOF in file '", "'"));
    } else if (m.find(": loading '") != std::string::npos) {
        log.access_paths.clear();  // the file was found: earlier misses do not matter
    } else if (m.starts_with("cfg_locate_file: stat(")) {
        log.access_paths.push_back(between(m, "stat(", "): errno"));
    } else if (m.find("' is not readable") != std::string::npos) {
        log.access_paths.push_back(between(m, "file '", "' is not readable"));
        if (log.unreadable.empty()) log.unreadable = log.access_paths.back();
    } else if (m.starts_with("cfg_load_file: fopen(")) {
        log.access_paths.push_back(between(m, "fopen(", ") failed"));
    }
}

void log_sink(void *, int level, const char *module, int line, const char *message) {
    if (g_load_log && std::strcmp(module, "cfg_f_load") == 0 && level <= 9) note_load_message(*g_load_log, level, message);
    if (level <= g_log_threshold) std::fprintf(stderr, "cfgtree[%d] %s:%d: %s\n", level, module, line, message);
}

// Library messages are hidden by default (the tool reports failures itself);
// CFGTREE_LOG_LEVEL and each -v show more.
void setup_logging(const Options &o) {
    const char *env = std::getenv("CFGTREE_LOG_LEVEL");
    int level = env && *env ? std::atoi(env) : 0;
    static const int kVerbose[] = {0, 5, 9, 13};
    if (o.verbose) level = std::max(level, kVerbose[std::min(o.verbose, 3)]);
    if (o.quiet) level = 0;
    g_log_threshold = level;
    Log_SetSink(log_sink, nullptr);
}

// ---- loading ---------------------------------------------------------------

// Diagnostics on stderr, unless -q.
void diag(const char *format, ...) __attribute__((format(printf, 1, 2)));
void diag(const char *format, ...) {
    if (g_quiet) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

struct FileArg {
    std::string shown;  // as the user wrote it
    std::string load;   // the name handed to the loader
};

// A failing line as the handler heard of it.
struct Failure {
    int line;
    std::string text;
    int status;
};

// The failing lines of the load running now; the handler has no argument.
struct LoadState {
    const FileArg *file = nullptr;
    int failures = 0;
    std::vector<Failure> own;  // the file's own failing lines
};
LoadState *g_load = nullptr;

// The file name of a load argument: up to the first ',' after a character
// other than ',' (the loader's own rule).
std::string file_of(const char *load_argument) {
    std::string s = load_argument ? load_argument : "";
    std::size_t i = 0;
    while (i < s.size() && s[i] == ',') ++i;
    std::size_t comma = s.find(',', i);
    return comma == std::string::npos ? s : s.substr(0, comma);
}

std::string shown_name(const char *load_argument) {
    std::string name = file_of(load_argument);
    if (g_load && g_load->file && name == g_load->file->load) return g_load->file->shown;
    return name;
}

int report_line(const char *file, int line, const char *text, int status) {
    if (g_load) ++g_load->failures;
    // The line as the file holds it: indentation kept, trailing white space cut.
    std::string t = text ? text : "";
    t.erase(t.find_last_not_of(" \t\r\n") + 1);
    if (g_load && g_load->file && file_of(file) == g_load->file->load) g_load->own.push_back(Failure{line, t, status});
    diag("%s:%d: %s: %s\n", shown_name(file).c_str(), line, Cfg_StatusName(status), t.c_str());
    return 0;  // go on with the next line
}

bool is_regular_file(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A file a load reads: anything but a directory (a FIFO, a device).
bool names_file(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// An absolute name of path (absolute, resolved) that holds no ',', or "":
// path itself, or, for a path below the current directory, its part below
// the current directory's entry in /proc (a load argument ends the file
// name at a ',').
std::string comma_free(const std::string &path) {
    if (path.find(',') == std::string::npos) return path;
    char cwd[PATH_MAX];
    if (!::realpath(".", cwd)) return "";
    std::string dir = std::string(cwd) + "/";
    if (!path.starts_with(dir) || path.find(',', dir.size()) != std::string::npos) return "";
    return "/proc/self/cwd/" + path.substr(dir.size());
}

bool same_file(const std::string &path, const struct stat &file) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_dev == file.st_dev && st.st_ino == file.st_ino;
}

// Paths that exist are loaded by their absolute name (so CONFIG_PATH does
// not hide them); other names go to the search path. When the absolute
// name holds a ',' (a directory on the way does), another name of the same
// file is taken: the absolute name with its symbolic links kept, the name
// as typed when the search path finds this very file by it, or one below
// /proc's entry of the current directory.
FileArg make_file_arg(const std::string &name) {
    FileArg f{name, name};
    struct stat st {};
    if (name.empty() || ::stat(name.c_str(), &st) != 0) return f;
    char resolved[PATH_MAX], cwd[PATH_MAX], located[PATH_MAX];
    if (name[0] != '/' && ::realpath(name.c_str(), resolved)) f.load = resolved;
    if (f.load.find(',') == std::string::npos) return f;
    std::vector<std::string> others;
    if (name[0] != '/' && ::getcwd(cwd, sizeof cwd)) others.push_back(std::string(cwd) + "/" + name);
    if (name[0] != '/' && cfg_locate_file(name.c_str(), located, sizeof located) == CFG_OK &&
        same_file(located, st))
        others.push_back(name);
    others.push_back(comma_free(f.load));
    if (name[0] == '/') others.push_back(comma_free(name));
    for (const std::string &other : others)
        if (!other.empty() && other.find(',') == std::string::npos && same_file(other, st)) return f.load = other, f;
    return f;
}

// The reason a file cannot be loaded before trying, or "" when it can.
std::string precheck_file(const FileArg &f) {
    if (f.load.empty()) return "no such file";
    if (f.load.find(',') != std::string::npos) return "a file name cannot hold ','";
    struct stat st {};
    if (::stat(f.load.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return "is a directory";
        if (::access(f.load.c_str(), R_OK) != 0) return "file is not readable";
        return "";
    }
    LoadLog log;  // names a file the search path holds without its owner-read bit
    g_load_log = &log;
    char path[PATH_MAX] = {};
    int located = cfg_locate_file(f.load.c_str(), path, sizeof path);
    g_load_log = nullptr;
    if (located == CFG_OK)  // the search path takes a directory too, which no load reads
        return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? "is a directory ('" + std::string(path) + "')" : "";
    if (!log.unreadable.empty()) return "file is not readable ('" + log.unreadable + "')";
    return f.load[0] == '/' ? "no such file" : "no such file (nor on the search path)";
}

std::string load_argument(const FileArg &f, const Options &o) {
    std::string arg = f.load;
    for (const std::string &d : o.defines) arg += "," + d;
    if (o.has_context) arg += ",%%=" + o.context;
    if (o.has_filter) arg += ",@=" + o.filter;
    return arg;
}

// Names the file behind a failure that no line reported.
void report_load_failure(const FileArg &f, int status, const LoadLog &log, bool lines_reported) {
    bool said = false;
    for (const std::string &eof : log.eof_files) {
        diag("%s: %s: file ends inside a block it opened\n", shown_name(eof.c_str()).c_str(),
             Cfg_StatusName(ERR_UNEXPECTED_EOF));
        said = true;
    }
    if (status == ERR_FILE_ACCESS && log.access_paths.size() == 1 && log.access_paths[0] == f.load) {
        diag("%s: %s: file is not readable\n", f.shown.c_str(), Cfg_StatusName(status));
        said = true;
    } else if (!log.access_paths.empty()) {  // also when an earlier line gave the load its status
        std::string tried;
        for (const std::string &p : log.access_paths) tried += (tried.empty() ? "'" : ", '") + p + "'";
        diag("%s: %s: an included file cannot be read (tried %s)\n", f.shown.c_str(),
             Cfg_StatusName(ERR_FILE_ACCESS), tried.c_str());
        said = true;
    }
    for (const std::string &deep : log.deep_files) {
        diag("%s: %s: includes nest deeper than %d (does a file include itself?)\n",
             shown_name(deep.c_str()).c_str(), Cfg_StatusName(CFG_ERR_INCLUDE_DEPTH), CFG_MAX_INCLUDE_DEPTH);
        said = true;
    }
    if (said || lines_reported) return;
    if (log.last_error.empty()) diag("%s: %s: the file did not load\n", f.shown.c_str(), Cfg_StatusName(status));
    else diag("%s: %s: %s\n", f.shown.c_str(), Cfg_StatusName(status), log.last_error.c_str());
}

// Does the line (from its first non-blank character, trailing blanks cut)
// open a block? Its definition part, up to the first '=' or '{' outside an
// instance "[...]" and a reference "${...}", must end with a '{' that is the
// line's last character.
bool opens_block(const char *text) {
    for (const char *p = text; *p; ++p) {
        if (*p == '=') return false;
        if (*p == '{') return p[1] == '\0';
        if (*p == '[') {
            if (!(p = std::strchr(p, ']'))) return false;
        } else if (p[0] == '$' && p[1] == '{') {
            int open = 0;
            for (; *p; ++p) {
                if (p[0] == '$' && p[1] == '{') ++open, ++p;
                else if (*p == '}' && --open == 0) break;
            }
            if (!*p) return false;
        }
    }
    return false;
}

// Did the failing line end its block early? A failed include is reported
// with the block's opening line (so with another text than the line at its
// number), an include without '>' and a line whose %(...) references cannot
// be expanded as themselves.
bool ends_block(const std::string &line, const Failure &failed) {
    std::size_t a = failed.text.find_first_not_of(" \t");
    if (a == std::string::npos) return false;
    if (failed.text[a] == '<') return failed.text.find('>', a) == std::string::npos;
    if (failed.text == line) return failed.status == CFG_ERR_FILE_REFERENCE && line.find("%(") != std::string::npos;
    return opens_block(failed.text.c_str() + a);
}

// Where the loader's reading of a file ends before its end, silently or
// after a failing line that does not say so.
struct EarlyEnd {
    int line = 0;         // 0: the file is read to its end (or the scan cannot tell)
    bool stray = false;   // a '}' that closes no block; else a failing line at the top
};

// Where the loader stops reading the file at path before its end without
// saying so: at the first '}' at the top that closes no block (it ends the
// file as its end would), or after a failing line at the top that ended its
// block, the file, when a line with something on it follows. Lines are read
// as the loader reads them, in pieces of at most 639 characters; comments,
// file variables ("%NAME=...", unlike a line that starts with a "%(...)"
// reference) and includes neither open nor close. A file reference "%(...)"
// that expands may make a line that opens a block, which the scan cannot
// know: then nothing is said. The loader also ends the innermost block
// early at a failed include, an include without '>' and a line whose
// %(...) cannot be expanded (see ends_block; failures: the file's own
// failing lines, which a range block repeats for each index).
EarlyEnd early_end(const std::string &path, std::vector<Failure> failures) {
    FILE *stream = std::fopen(path.c_str(), "r");
    if (!stream) return {};
    // In line order (a range block reports its lines again for each index),
    // so that the scan takes each failure once.
    std::stable_sort(failures.begin(), failures.end(), [](const auto &a, const auto &b) { return a.line < b.line; });
    std::size_t next = 0;
    char line[kTextSize];
    int number = 0, depth = 0;
    EarlyEnd end, file_ended;  // file_ended: by a failing line, when something follows it
    bool unsure = false;
    while (!end.line && !unsure && std::fgets(line, sizeof line, stream)) {
        ++number;
        std::size_t n = std::strlen(line);
        while (n && std::isspace(static_cast<unsigned char>(line[n - 1]))) line[--n] = '\0';
        if (number == 1 && std::strncmp(line, "\xEF\xBB\xBF", 3) == 0) std::memmove(line, line + 3, n - 2);  // as the loader
        const char *text = line;
        while (std::isspace(static_cast<unsigned char>(*text))) ++text;
        if (file_ended.line) {
            if (*text && *text != '#') end = file_ended;
            continue;
        }
        // One line ends one block, however often a range block read it again.
        bool ended = false;
        for (; next < failures.size() && failures[next].line <= number; ++next)
            ended = ended || (failures[next].line == number && ends_block(line, failures[next]));
        // A reference that could not be expanded made no line at all.
        const bool refers = std::strstr(line, "%(") != nullptr, unexpanded = ended && refers;
        unsure = refers && !ended;
        if (*text == '}') {
            if (depth == 0) end = EarlyEnd{number, true};
            else --depth;
        } else if (*text && !std::strchr("#<", *text) && !(text[0] == '%' && text[1] != '(') && !unexpanded &&
                   opens_block(text)) {
            ++depth;
        }
        if (ended && depth-- == 0) file_ended = EarlyEnd{number, false};
    }
    std::fclose(stream);
    return end;
}

// Loads one file; returns the number of failures (lines and the load).
int load_one(const FileArg &f, const Options &o) {
    std::string why = precheck_file(f);
    if (!why.empty()) {
        diag("%s: %s: %s\n", f.shown.c_str(), Cfg_StatusName(ERR_FILE_ACCESS), why.c_str());
        return 1;
    }
    std::string arg = load_argument(f, o);
    if (arg.size() > kLoadArgMax) {
        diag("%s: %s: file name, -D, --context and --filter hold more than %zu characters\n", f.shown.c_str(),
             Cfg_StatusName(CFG_ERR_SYNTAX), kLoadArgMax);
        return 1;
    }
    LoadState state{&f, 0, {}};
    LoadLog log;
    g_load = &state;
    g_load_log = &log;
    int status = CfgF_LoadFile(arg.c_str(), report_line);
    g_load_log = nullptr;
    if (status < 0) report_load_failure(f, status, log, state.failures > 0);
    g_load = nullptr;
    char located[PATH_MAX];
    std::string path = f.load;
    if (!is_regular_file(path) && cfg_locate_file(path.c_str(), located, sizeof located) == CFG_OK) path = located;
    EarlyEnd end = is_regular_file(path) ? early_end(path, state.own) : EarlyEnd{};  // a FIFO is read once
    if (end.line && end.stray) {
        diag("%s:%d: a '}' that closes no block: the lines after it are not read\n", f.shown.c_str(), end.line);
        ++state.failures;
    } else if (end.line) {
        diag("%s:%d: this failing line ends the file: the lines after it are not read\n", f.shown.c_str(),
             end.line);
    }
    return state.failures + (status != CFG_OK && state.failures == 0 ? 1 : 0);
}

// Loads every file in direct mode; returns kOk or kFailed. A --filter that
// the matcher cannot read matches no definition: the load would store
// nothing and say nothing, so it is refused first (compared with itself,
// every component is read).
int load_all(const std::vector<FileArg> &files, const Options &o) {
    if (!o.filter.empty() && cfg_compare_items(o.filter.c_str(), o.filter.c_str(), nullptr) == CFG_ERR_SYNTAX) {
        diag("cfgtree: %s: %s: not a valid --filter pattern: it matches no definition\n", o.filter.c_str(),
             Cfg_StatusName(CFG_ERR_SYNTAX));
        return kFailed;
    }
    Cfg_DirectLoad(1);
    int failures = 0;
    for (const FileArg &f : files) failures += load_one(f, o);
    return failures ? kFailed : kOk;
}

// Without CONFIG_PATH or --path, includes are looked for in the current
// directory, then in the directory of each file as named on the command
// line and, when that name leads through a symbolic link, in the directory
// of the file it leads to. With leading_only, names count up to the first
// that names no file, as a path or on the search path made so far (get's
// IDENTs add no directory).
void setup_search_path(const Options &o, const std::vector<std::string> &names, bool leading_only) {
    if (o.has_path) {
        setenv("CONFIG_PATH", o.path.c_str(), 1);
        return;
    }
    if (std::getenv("CONFIG_PATH")) return;
    std::vector<std::string> dirs{"."};
    auto add = [&dirs](const std::string &dir) {
        if (dir.find(':') == std::string::npos && std::find(dirs.begin(), dirs.end(), dir) == dirs.end())
            dirs.push_back(dir);
    };
    auto dir_of = [](const std::string &path) {
        std::size_t slash = path.rfind('/');
        return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
    };
    for (const std::string &n : names) {
        if (leading_only && !names_file(n) &&
            std::none_of(dirs.begin(), dirs.end(), [&n](const std::string &d) { return names_file(d + "/" + n); }))
            break;
        std::string dir = dir_of(n);
        add(dir);
        char file[PATH_MAX], real_dir[PATH_MAX];
        if (is_regular_file(n) && ::realpath(n.c_str(), file) && ::realpath(dir.c_str(), real_dir) &&
            dir_of(file) != real_dir)
            add(dir_of(file));  // the file lies elsewhere: its name leads through a symbolic link
    }
    std::string path;
    for (const std::string &d : dirs) path += (path.empty() ? "" : ":") + d;
    setenv("CONFIG_PATH", path.c_str(), 1);
}

std::vector<FileArg> file_args(const std::vector<std::string> &names) {
    std::vector<FileArg> files;
    for (const std::string &n : names) files.push_back(make_file_arg(n));
    return files;
}

// ---- items -----------------------------------------------------------------

// "cfgtree: IDENT: STATUS: text" for item-level outcomes.
void item_diag(const std::string &ident, int status, const std::string &text) {
    diag("cfgtree: %s: %s: %s\n", ident.c_str(), Cfg_StatusName(status), text.c_str());
}

// True when every dotted component of ident parses (instances may hold
// wildcards: lookups accept them).
bool parses_as_identifier(const std::string &ident) {
    if (ident.empty() || ident.size() >= kTextSize) return false;
    const char *p = ident.c_str();
    for (;;) {
        const char *end = nullptr;
        if (cfg_parse_identifier(p, nullptr, &end) != CFG_OK) return false;
        if (*end == '\0') return true;
        if (*end != '.') return false;
        p = end + 1;
    }
}

// Maps a failed read of ident to a diagnostic and an exit status.
int read_failure(const std::string &ident, int status) {
    switch (status) {
        case CFG_NOT_FOUND:
            item_diag(ident, status, "no such attribute");
            return kNotFound;
        case CFG_ERR_NOT_ATTRIBUTE:
            item_diag(ident, status, "is an object, not an attribute");
            return kRefused;
        case CFG_ERR_UNRESOLVED:
            item_diag(ident, status, "its value holds a reference that cannot be resolved");
            return kNotFound;
        case CFG_ERR_SYNTAX:
            item_diag(ident, status, "its value holds a malformed reference");
            return kRefused;
        default:
            item_diag(ident, status, "cannot be read");
            return kFailed;
    }
}

// ---- dump ------------------------------------------------------------------

struct JsonNode {
    std::string name, value;
    bool object = false;
    std::vector<JsonNode> children;
};

// Objects a dump opens one inside another (the dumped item's own included),
// as many as a load reads: the saver leaves out an object nested deeper,
// whole, and so does the JSON dump.
constexpr int kMaxDumpNesting = CFG_MAX_BLOCK_NESTING;

// Visits an object's members in store order as the saver writes them: its
// attributes, then the objects it holds (each reference's target).
template <class OnAttribute, class OnObject>
void for_each_member(cfg_handle object, OnAttribute on_attribute, OnObject on_object) {
    for (cfg_handle a = cfg_srch_attribute(object); a; a = cfg_srch_attribute(ds_get_next_avp(a)))
        on_attribute(a);
    cfg_handle target = 0;
    for (cfg_handle r = cfg_srch_object(object, &target); r; r = cfg_srch_object(ds_get_next_avp(r), &target))
        on_object(target);
}

// The length of the well-formed UTF-8 sequence at s[i], 0 when there is none.
std::size_t utf8_length(const std::string &s, std::size_t i) {
    auto at = [&s](std::size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
    auto tail = [&at, i](std::size_t n, unsigned lo = 0x80, unsigned hi = 0xBF) {
        if (at(i + 1) < lo || at(i + 1) > hi) return false;
        for (std::size_t k = 2; k < n; ++k)
            if (at(i + k) < 0x80 || at(i + k) > 0xBF) return false;
        return true;
    };
    unsigned b = at(i);
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) return tail(2) ? 2 : 0;
    if (b == 0xE0) return tail(3, 0xA0) ? 3 : 0;
    if (b == 0xED) return tail(3, 0x80, 0x9F) ? 3 : 0;  // no surrogates
    if (b >= 0xE1 && b <= 0xEF) return tail(3) ? 3 : 0;
    if (b == 0xF0) return tail(4, 0x90) ? 4 : 0;
    if (b >= 0xF1 && b <= 0xF3) return tail(4) ? 4 : 0;
    if (b == 0xF4) return tail(4, 0x80, 0x8F) ? 4 : 0;
    return 0;
}

// A JSON string; a byte that is no part of well-formed UTF-8 is written as
// the character of that number (\u00XX), so that the output stays JSON.
std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            std::size_t n = utf8_length(s, i);
            if (n) {
                out.append(s, i, n);
                i += n - 1;
            } else {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            }
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

void write_json(const JsonNode &node, int depth, std::string &out) {
    if (!node.object) {
        out += json_string(node.value);
        return;
    }
    if (node.children.empty()) {
        out += "{}";
        return;
    }
    out += "{\n";
    std::string indent(2 * (depth + 1), ' ');
    for (std::size_t i = 0; i < node.children.size(); ++i) {
        out += indent + json_string(node.children[i].name) + ": ";
        write_json(node.children[i], depth + 1, out);
        out += i + 1 < node.children.size() ? ",\n" : "\n";
    }
    out += std::string(2 * depth, ' ') + "}";
}

// Saves the item (or everything) into a string. Returns Cfg_Save's status.
int save_to_string(const char *ident, std::string &text) {
    char *buffer = nullptr;
    std::size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    if (!stream) return ERR_NO_MEMORY;
    int status = Cfg_Save(ident, stream);
    std::fclose(stream);
    text.assign(buffer ? buffer : "", size);
    std::free(buffer);
    return status;
}

// The objects that a dump of object's members leaves out for their depth;
// nesting: the objects opened above those members.
std::size_t too_deep(cfg_handle object, int nesting) {
    std::size_t n = 0;
    for_each_member(
        object, [](cfg_handle) {},
        [&](cfg_handle target) {
            if (target) n += nesting >= kMaxDumpNesting ? 1 : too_deep(target, nesting + 1);
        });
    return n;
}

// The JSON dump is built from the tree itself: names as stored (read-only
// mark and instance kept), values as get reads them (substituted unless
// --raw), members in the saver's order.
struct JsonWalk {
    // The attributes whose substitution failed, by full name (the stored
    // names of the objects above them), with the status, in store order.
    std::vector<std::pair<std::string, int>> failures;
    std::size_t left_out = 0;  // objects nested too deeply
};

// An attribute's node; name: its stored name unless one is given.
JsonNode json_attribute(cfg_handle attribute, const std::string &path, const char *name, JsonWalk &w) {
    JsonNode node;
    const char *stored = cfg_avp(attribute);
    if (name) {
        node.name = name;
    } else if (stored) {
        const char *end = nullptr;
        if (cfg_parse_identifier(stored, nullptr, &end) != CFG_OK) end = stored + std::strcspn(stored, "=");
        node.name.assign(stored, end);
    }
    char value[kTextSize] = {};
    int status = cfg_get_attr_value(attribute, value, sizeof value);
    if (status == CFG_OK) {
        node.value = value;
    } else {
        w.failures.emplace_back(path + node.name, status);
        const char *raw = cfg_get_av_ptr(attribute);  // read again: a default may have been stored
        node.value = raw ? raw : "";
    }
    return node;
}

// Fills node with the members of object; nesting: the objects opened above
// them; path: node's full name with its '.' ("" at the top).
void json_members(cfg_handle object, JsonNode &node, const std::string &path, int nesting, JsonWalk &w) {
    for_each_member(
        object, [&](cfg_handle a) { node.children.push_back(json_attribute(a, path, nullptr, w)); },
        [&](cfg_handle target) {
            if (!target) return;
            if (nesting >= kMaxDumpNesting) {
                ++w.left_out;
                return;
            }
            JsonNode child;
            child.object = true;
            const char *name = cfg_object_id(target);
            child.name = name ? name : "";
            json_members(target, child, path + child.name + ".", nesting + 1, w);
            node.children.push_back(std::move(child));
        });
}

// The full names that repeat among an object's members: an attribute and an
// object may share a name, which a JSON object cannot hold twice (readers
// keep one of the two).
void repeated_names(const JsonNode &node, const std::string &path, std::vector<std::string> &out) {
    std::vector<std::string> names;  // as lookups read them: without the read-only mark
    for (const JsonNode &child : node.children) names.push_back(child.name.substr(child.name.starts_with('!')));
    std::sort(names.begin(), names.end());
    for (std::size_t i = 1; i < names.size(); ++i)
        if (names[i] == names[i - 1] && (out.empty() || out.back() != path + names[i])) out.push_back(path + names[i]);
    for (const JsonNode &child : node.children)
        if (child.object) repeated_names(child, path + child.name + ".", out);
}

// Prints the item (or everything) as JSON. Returns the lookup's status.
// *refused: nothing printed, as a name repeats. *left_out: the objects
// nested too deeply to be shown.
int dump_json(const char *ident, bool *refused, std::size_t *left_out) {
    JsonNode root;
    root.object = true;
    JsonWalk walk;
    ds_lock();
    cfg_handle item = 0;
    int status = CFG_OK;
    if (!ident) {
        json_members(cfgContext && cfgContext->handle ? cfgContext->handle : ds_get_cntl_info(1), root, "", 0, walk);
    } else if ((status = Cfg_Find(ident, &item)) == CFG_OK && cfg_is_attribute(item)) {
        root.children.push_back(json_attribute(item, "", ident, walk));
    } else if (status == CFG_OK) {
        JsonNode node;
        node.name = ident;
        node.object = true;
        json_members(item, node, node.name + ".", 1, walk);
        root.children.push_back(std::move(node));
    }
    ds_unlock();
    if (status != CFG_OK) return status;
    *left_out = walk.left_out;
    std::vector<std::string> repeated;
    repeated_names(root, "", repeated);
    for (const std::string &name : repeated)
        diag("cfgtree: %s: an attribute and an object share this name; JSON cannot hold both\n", name.c_str());
    if ((*refused = !repeated.empty())) return CFG_OK;
    for (const auto &[name, failure] : walk.failures)
        item_diag(name, failure, "its references cannot be substituted; the value is shown as stored");
    std::string out;
    write_json(root, 0, out);
    std::printf("%s\n", out.c_str());
    return CFG_OK;
}

int run_dump(const Options &o) {
    if (o.args.empty()) return usage_error("dump needs at least one FILE");
    if (o.has_id && !parses_as_identifier(o.id)) {
        item_diag(o.id, CFG_ERR_SYNTAX, "not a valid identifier");
        return kFailed;
    }
    int exit = load_all(file_args(o.args), o);
    if (o.raw) Cfg_Dereference(0);
    const char *ident = o.has_id ? o.id.c_str() : nullptr;
    bool refused = false;
    std::size_t left_out = 0;
    int status = o.json ? dump_json(ident, &refused, &left_out) : Cfg_Save(ident, stdout);
    if (refused) return worse(exit, kRefused);
    if (status == CFG_NOT_FOUND) {
        item_diag(o.id, status, "no such item");
        return worse(exit, kNotFound);
    }
    if (status != CFG_OK) {
        item_diag(o.has_id ? o.id : "dump", status, "cannot be saved");
        return kFailed;
    }
    // The saver leaves out, with a message the tool hides, what a load could
    // not read back: the tool says so itself.
    // (The JSON walk counts them as it goes.)
    cfg_handle item = 0;
    if (!o.json && !ident)
        left_out = too_deep(cfgContext && cfgContext->handle ? cfgContext->handle : ds_get_cntl_info(1), 0);
    else if (!o.json && Cfg_Find(ident, &item) == CFG_OK && cfg_is_object(item))
        left_out = too_deep(item, 1);
    if (left_out) {
        diag("cfgtree: %s: %zu object%s nested more than %d levels deep left out, with all %s\n",
             o.has_id ? o.id.c_str() : "dump", left_out, left_out == 1 ? "" : "s", kMaxDumpNesting,
             left_out == 1 ? "it holds" : "they hold");
        return worse(exit, kRefused);
    }
    return exit;
}

// ---- get -------------------------------------------------------------------

// The typed value of text as the converters read and write it, or a
// status. The text is the one read for the check, so what is checked is
// what is converted.
int typed_value(const std::string &kind, const std::string &text, std::string &typed) {
    char buf[kTextSize] = {};
    int status = CFG_OK;
    if (kind == "bool") {
        uint32_t flag = 0;
        if ((status = Cfg_GetBool(text.c_str(), &flag)) == CFG_OK) status = Cfg_SetBool(flag, buf);
    } else if (kind == "int") {
        int32_t v = 0;
        if ((status = Cfg_GetInt(text.c_str(), &v)) == CFG_OK) status = Cfg_SetInt(v, buf);
    } else if (kind == "range") {
        int32_t low = 0, high = 0;
        if ((status = Cfg_GetRange(text.c_str(), &low, &high)) == CFG_OK) status = Cfg_SetRange(low, high, buf);
    } else if (kind == "bytes") {
        unsigned char bytes[kTextSize / 2 + 1];
        uint32_t count = 0;
        status = Cfg_GetBytes(text.c_str(), bytes, kTextSize / 2, &count);
        if (status == CFG_OK) status = Cfg_SetBytes(bytes, count, buf, sizeof buf);
    } else {
        char host[kTextSize] = {};
        int32_t port = 0;
        if ((status = Cfg_GetServer(text.c_str(), host, &port)) == CFG_OK) status = Cfg_SetServer(host, port, buf);
    }
    if (status == CFG_OK) typed = buf;
    return status;
}

// The converters read any text (a boolean by its first character, an
// integer as far as strtol gets, a port as far as its digits go), so the
// tool prints a typed value only for a text that means it: a whole integer
// within 32 bits; one of the words true, false, yes, on, 1, 0 (any case:
// the converter reads "no" and "off" as true); a host, or host:port with a
// port of 0-65535; a range as two such integers joined by ".."; a byte
// string as "0x" and pairs of hexadecimal digits.
bool whole_int32(const char *begin, const char *stop) {
    // A "0b" prefix is no binary number to the converters (their C17
    // reading), whatever this C library's strtol makes of it.
    const char *digits = begin;
    while (digits < stop && std::isspace(static_cast<unsigned char>(*digits))) ++digits;
    if (digits < stop && (*digits == '+' || *digits == '-')) ++digits;
    if (stop - digits >= 2 && digits[0] == '0' && (digits[1] == 'b' || digits[1] == 'B')) return false;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(begin, &end, 0);
    return end != begin && end == stop && errno == 0 && v >= INT32_MIN && v <= INT32_MAX;
}

bool means_type(const std::string &kind, const std::string &text) {
    const char *begin = text.c_str(), *stop = begin + text.size();
    if (kind == "int") {
        while (stop > begin && std::isspace(static_cast<unsigned char>(stop[-1]))) --stop;
        return whole_int32(begin, stop);
    }
    if (kind == "range") {
        std::size_t dots = text.find("..");
        return dots != std::string::npos && whole_int32(begin, begin + dots) &&
               !std::isspace(static_cast<unsigned char>(text[dots + 2])) && whole_int32(begin + dots + 2, stop);
    }
    if (kind == "bytes") {
        return text.size() >= 2 && text.compare(0, 2, "0x") == 0 &&
               text.size() % 2 == 0 && text.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos;
    }
    if (kind == "bool") {
        std::string word;
        for (char c : text) word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const char *w : {"true", "false", "yes", "on", "1", "0"})
            if (word == w) return true;
        return false;
    }
    if (kind == "server") {
        std::size_t colon = text.rfind(':');
        std::string host = text.substr(0, colon);  // judged alike with or without a port
        if (host.empty() || host.find_first_of(" \t") != std::string::npos) return false;
        if (colon == std::string::npos) return true;
        std::string port = text.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
        return std::stol(port) <= 65535;
    }
    return true;
}

int get_one(const Options &o, const std::string &ident) {
    if (!parses_as_identifier(ident)) {
        item_diag(ident, CFG_ERR_SYNTAX, "not a valid identifier");
        return kFailed;
    }
    char value[kTextSize] = {};
    int status = Cfg_GetAttrValue(ident.c_str(), value, sizeof value);
    if (status != CFG_OK) return read_failure(ident, status);
    std::string text = value;
    if (o.has_type && !means_type(o.type, text)) {
        item_diag(ident, CFG_ERR_SYNTAX, "value '" + text + "' is not of type " + o.type);
        return kRefused;
    }
    if (o.has_type) {
        status = typed_value(o.type, value, text);
        if (status != CFG_OK) {
            item_diag(ident, status, "value '" + std::string(value) + "' is not of type " + o.type);
            return kRefused;
        }
    }
    std::printf("%s\n", text.c_str());
    return kOk;
}

// Splits get's arguments into files and identifiers (see the usage text).
void split_get_args(const Options &o, std::vector<std::string> &files, std::vector<std::string> &idents) {
    std::size_t n = o.args.size();
    std::size_t first_ident = o.dash_at;
    if (first_ident == SIZE_MAX) {
        first_ident = n ? 1 : 0;
        while (first_ident + 1 < n) {
            const std::string &a = o.args[first_ident];
            char located[4096];
            bool is_file = names_file(a) ||
                           (cfg_locate_file(a.c_str(), located, sizeof located) == CFG_OK && names_file(located));
            if (!is_file) break;
            ++first_ident;
        }
    }
    files.assign(o.args.begin(), o.args.begin() + std::min(first_ident, n));
    idents.assign(o.args.begin() + std::min(first_ident, n), o.args.end());
}

int run_get(const Options &o) {
    std::vector<std::string> files, idents;
    split_get_args(o, files, idents);
    if (files.empty() || idents.empty()) return usage_error("get needs FILE... IDENT...");
    int exit = load_all(file_args(files), o);
    if (o.raw) Cfg_Dereference(0);
    for (const std::string &ident : idents) exit = worse(exit, get_one(o, ident));
    return exit;
}

// ---- set -------------------------------------------------------------------

// The dotted components of ident before its last ("a", "b" for "a.b.c").
std::vector<std::string> object_components(const std::string &ident) {
    std::vector<std::string> out;
    const char *p = ident.c_str();
    for (;;) {
        const char *end = nullptr;
        if (cfg_parse_identifier(p, nullptr, &end) != CFG_OK || *end != '.') break;
        out.emplace_back(p, static_cast<std::size_t>(end - p));
        p = end + 1;
    }
    return out;
}

// The first object under parent, in store order, that component names (as a
// lookup or a creation picks it), or 0.
cfg_handle first_object_named(cfg_handle parent, const std::string &component) {
    cfg_handle found = 0;
    for_each_member(
        parent, [](cfg_handle) {},
        [&](cfg_handle target) {
            const char *name = cfg_object_id(target);
            if (!found && name && cfg_compare_items(component.c_str(), name, nullptr) == 0) found = target;
        });
    return found;
}

// The read-only marks the library does not check on a set by name: a
// marked attribute, or a marked object on its path (which a created
// attribute would inherit). The path is walked through objects only, as the
// set walks it: an attribute that shares an object's name is no step of it.
// Returns what is marked, or "".
std::string stored_read_only(const std::string &ident) {
    cfg_handle object = cfgContext && cfgContext->handle ? cfgContext->handle : ds_get_cntl_info(1);
    std::string path;
    for (const std::string &component : object_components(ident)) {
        path += (path.empty() ? "" : ".") + component;
        if (!(object = first_object_named(object, component))) break;
        uint32_t flag = 0;
        if (cfg_is_read_only(object, &flag) == CFG_OK && flag) return "object '" + path + "'";
    }
    cfg_handle h = 0;
    if (Cfg_Find(ident.c_str(), &h) == CFG_OK && cfg_is_attribute(h)) {
        const char *text = cfg_avp(h);
        if (text && text[0] == '!') return "attribute";
    }
    return "";
}

// The stored name of the attribute a set writes (for a new attribute the
// last component as written), and the number of objects above it.
struct SetName {
    std::size_t length = 0;
    std::size_t depth = 0;
};

SetName set_name(const std::string &ident) {
    SetName n;
    const char *p = ident.c_str(), *end = nullptr;
    while (cfg_parse_identifier(p, nullptr, &end) == CFG_OK) {
        n.length = static_cast<std::size_t>(end - p);
        if (*end != '.') break;
        ++n.depth;
        p = end + 1;
    }
    cfg_handle h = 0;
    const char *text = Cfg_Find(ident.c_str(), &h) == CFG_OK && cfg_is_attribute(h) ? cfg_avp(h) : nullptr;
    if (text && cfg_parse_identifier(text, nullptr, &end) == CFG_OK) n.length = static_cast<std::size_t>(end - text);
    return n;
}

// The length of the line the saver writes for it: four spaces per object
// above it, the name, " = " and the value, quoted when empty or edged with
// white space.
std::size_t saved_line_length(const SetName &name, const std::string &value) {
    bool quoted = value.empty() || std::isspace(static_cast<unsigned char>(value.front())) ||
                  std::isspace(static_cast<unsigned char>(value.back()));
    return 4 * name.depth + name.length + 3 + value.size() + (quoted ? 2 : 0);
}

int set_failure(const std::string &ident, int status) {
    switch (status) {
        case CFG_READ_ONLY:
            item_diag(ident, status, "attribute is read-only, not set");
            return kRefused;
        case CFG_ERR_NOT_ATTRIBUTE:
            item_diag(ident, status, "is an object, not an attribute");
            return kRefused;
        case CFG_ERR_SYNTAX:  // the attribute was found or made: the stored text is too long
            item_diag(ident, status, "name, '=' and value would be stored in more than 639 characters; not set");
            return kRefused;
        default:
            item_diag(ident, status, "cannot be set");
            return kFailed;
    }
}

// Counts the failing lines of a verifying load, and notes the first.
int g_verify_failures = 0;
std::string g_verify_first;
int count_failure(const char *, int line, const char *text, int) {
    if (g_verify_failures++ == 0) g_verify_first = "saved line " + std::to_string(line) + ": " + (text ? text : "");
    return 0;
}

// Deletes every item; false when the store refuses one.
bool empty_tree() {
    cfg_handle root = ds_get_cntl_info(1);
    for (cfg_handle c; (c = cfg_srch_attribute(root)) || (c = cfg_srch_object(root, nullptr));)
        if (!ds_delete_avp3(root, c)) return false;
    return true;
}

// What a saved file must give back: every attribute's stored text and every
// object's stored name, each with the names of the objects above it, in
// store order (attributes, then objects, as the saver writes them).
void snapshot(cfg_handle object, const std::string &path, std::vector<std::string> &out) {
    for_each_member(
        object, [&](cfg_handle a) { out.push_back(path + cfg_avp(a)); },
        [&](cfg_handle target) {
            const char *name = cfg_object_id(target);
            out.push_back(path + (name ? name : "") + " {");
            snapshot(target, path + (name ? name : "") + ".", out);
        });
}

// Does the saved file at path (absolute) define the tree as it is? The tree
// is emptied and the file loaded alone: it must load cleanly and give back
// every item, name and value exactly. The file language has no escapes, so a
// value with edging quotes, a line break or a file reference, a line longer
// than a line may be, or objects nested deeper than a load reads, would not.
// *first: the first item that differs, or the first line that fails.
bool reads_back(const std::string &path, std::string *first) {
    std::vector<std::string> before, after;
    cfg_handle root = ds_get_cntl_info(1);
    snapshot(root, "", before);
    if (!empty_tree()) return false;
    g_verify_failures = 0;
    uint32_t was = Cfg_IgnoreReadOnly(1);
    int status = CfgF_LoadFile(path.c_str(), count_failure);
    Cfg_IgnoreReadOnly(was & CFG_CTL_IGNORE_READ_ONLY);
    if (status != CFG_OK || g_verify_failures != 0) {
        *first = g_verify_failures ? g_verify_first : "";
        return false;
    }
    snapshot(root, "", after);
    auto differ = std::mismatch(before.begin(), before.end(), after.begin(), after.end());
    if (differ.first == before.end() && differ.second == after.end()) return true;
    *first = differ.first != before.end() ? *differ.first : *differ.second;
    return false;
}

// Saves everything, references as written, to a temporary file beside path
// (absolute) that then replaces it; load_dir names path's folder without ','
// (see comma_free), and the temporary file is loaded by its name there. Its
// own name is short: a file whose name is as long as a name may be has one
// beside it too. It replaces path, keeping the mode of the file it replaces.
// The file is loaded back first, and kept only when it reads as the tree
// (*exact; *first: the first item it would change). The tree is gone
// afterwards.
int save_replacing(const std::string &path, const std::string &load_dir, bool *exact, std::string *first) {
    *exact = true;
    Cfg_Dereference(0);
    std::string saved;
    int status = save_to_string(nullptr, saved);
    if (status != CFG_OK) return status;
    const std::size_t dir = path.rfind('/') + 1;
    std::string tmp = path.substr(0, dir) + "cfgtree-XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) return ERR_FILE_ACCESS;
    FILE *stream = fdopen(fd, "w");
    if (!stream) {
        close(fd);
        unlink(tmp.c_str());
        return ERR_FILE_ACCESS;
    }
    // On disk before the rename: a crash after it must leave the old file or
    // the whole new one, never an empty one where the old file stood.
    bool written = std::fwrite(saved.data(), 1, saved.size(), stream) == saved.size();
    written = std::fflush(stream) == 0 && ::fsync(fd) == 0 && written;
    written = (std::fclose(stream) == 0) && written;
    if (!written) status = ERR_FILE_ACCESS;
    // Loaded back while it is still the caller's own readable file: the mode
    // it takes over may lack the owner-read bit a load needs.
    if (status == CFG_OK) *exact = reads_back(load_dir + tmp.substr(dir), first);
    struct stat st {};
    mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    if (status == CFG_OK && *exact && ::chmod(tmp.c_str(), mode) != 0) status = ERR_FILE_ACCESS;
    if (status == CFG_OK && *exact && std::rename(tmp.c_str(), path.c_str()) != 0) status = ERR_FILE_ACCESS;
    if (status != CFG_OK || !*exact) unlink(tmp.c_str());
    return status;
}

// Does the first difference reads_back found concern the attribute just set
// (its saved line, or its stored text)?
bool is_about(const std::string &first, const std::string &ident, const std::string &value) {
    std::string leaf = ident.substr(ident.rfind('.') + 1);
    std::size_t text = first.starts_with("saved line ") ? first.find(": ") : std::string::npos;
    if (text != std::string::npos) {
        std::string line = first.substr(text + 2);
        line.erase(0, line.find_first_not_of(' '));
        return line.starts_with(leaf + " = ");
    }
    return first == leaf + "=" + value || first.ends_with("." + leaf + "=" + value);
}

// Where set saves: OUT, else the file that was loaded (found on the search
// path when it was no path). *why: the reason it cannot be written there.
std::string save_target(const Options &o, const FileArg &file, std::string *why) {
    std::string target = o.has_out ? o.out : file.load;
    char located[4096];
    if (!o.has_out && file.load[0] != '/' && cfg_locate_file(file.load.c_str(), located, sizeof located) == CFG_OK)
        target = located;
    // Write through a symbolic link, however the file was named: the
    // rename that replaces the file must not replace the link. A file is
    // replaced by a new one, so only a regular file (or none) may stand there.
    struct stat st {};
    char resolved[PATH_MAX];
    if (::realpath(target.c_str(), resolved)) target = resolved;
    else if (::lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ::stat(target.c_str(), &st) != 0)
        *why = "a symbolic link that leads nowhere";  // one to a pipe (/dev/stdin) has no path but exists
    if (why->empty() && ::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) *why = "not a regular file";
    return target;
}

int run_set(const Options &o) {
    if (o.args.size() != 3) return usage_error("set needs FILE IDENT VALUE");
    const std::string &ident = o.args[1], &value = o.args[2];
    if ((o.has_context || o.has_filter) && !o.has_out)
        return usage_error("set with --context or --filter would rewrite FILE with other contents; give -o OUT");
    if (!parses_as_identifier(ident)) {
        item_diag(ident, CFG_ERR_SYNTAX, "not a valid identifier");
        return kFailed;
    }
    FileArg file = make_file_arg(o.args[0]);
    std::string why;
    std::string target = save_target(o, file, &why);
    if (!why.empty()) {
        diag("%s: %s: %s; not written\n", (o.has_out ? o.out : file.shown).c_str(), Cfg_StatusName(ERR_FILE_ACCESS),
             why.c_str());
        return kFailed;
    }
    if (target[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd)) target = std::string(cwd) + "/" + target;
    }
    // The saved file is loaded back under a temporary name in the target's
    // folder: only the folder's path must be free of ','.
    const std::string folder = target.substr(0, target.rfind('/') + 1);
    const std::string load_dir = comma_free(folder);
    if (load_dir.empty())
        return usage_error("the folder set writes to cannot hold ',' (the file is loaded back from it): " + folder);
    if (load_all({file}, o) != kOk) {
        diag("%s: not saved: the file did not load cleanly\n", file.shown.c_str());
        return kFailed;
    }
    std::string marked = stored_read_only(ident);
    if (!marked.empty()) {
        item_diag(ident, CFG_READ_ONLY, marked + " is read-only, not set");
        return kRefused;
    }
    const SetName name = set_name(ident);
    int status = Cfg_SetAttrValue(ident.c_str(), value.c_str());
    cfg_handle attribute = 0;
    if (status == CFG_ERR_SYNTAX && !(Cfg_Find(ident.c_str(), &attribute) == CFG_OK && cfg_is_attribute(attribute))) {
        // Refused before an attribute was found or made (one too long to be
        // set keeps its name): the creation refused a component.
        item_diag(ident, status, "not a valid identifier");
        return kFailed;
    }
    if (status != CFG_OK) return set_failure(ident, status);
    bool exact = true;
    std::string first;
    status = save_replacing(target, load_dir, &exact, &first);
    if (status == CFG_OK && !exact) {
        std::string shown = o.has_out ? o.out : file.shown;
        if (name.depth > static_cast<std::size_t>(kMaxDumpNesting))
            item_diag(ident, CFG_ERR_SYNTAX,
                      "its objects nest more than " + std::to_string(kMaxDumpNesting) +
                          " levels deep, more than a load reads; " + shown + " not written");
        else if (saved_line_length(name, value) >= kTextSize)
            item_diag(ident, CFG_ERR_SYNTAX,
                      "its saved line would hold more than 639 characters; " + shown + " not written");
        else if (first.empty() || value.find_first_of("\r\n") != std::string::npos || is_about(first, ident, value))
            item_diag(ident, CFG_ERR_SYNTAX,
                      "the file language cannot hold this value as it is; " + shown + " not written");
        else
            diag("%s: %s: saved, the file would not read back as the tree it holds (%s); not written\n",
                 shown.c_str(), Cfg_StatusName(CFG_ERR_SYNTAX),
                 (first.size() <= 80 ? first : first.substr(0, 36) + "..." + first.substr(first.size() - 36)).c_str());
        return kRefused;
    }
    if (status != CFG_OK) {
        diag("%s: %s: cannot write the file\n", (o.has_out ? o.out : file.shown).c_str(), Cfg_StatusName(status));
        return kFailed;
    }
    return kOk;
}

// ---- check, subst ----------------------------------------------------------

int run_check(const Options &o) {
    if (o.args.empty()) return usage_error("check needs at least one FILE");
    return load_all(file_args(o.args), o);
}

// Keeps the text of each reference of TEXT as it is evaluated (its inner
// references expanded) and evaluates it as the library does.
int note_reference(char *reference, char *out, uint32_t room, void *last) {
    *static_cast<std::string *>(last) = reference;
    return cfg_evalReference(reference, out, room, nullptr);
}

// Does TEXT fail by its last reference itself rather than by a value that
// reference reads? That reference, as TEXT built it, is evaluated again with
// values read as stored, which hold no malformed reference then; its path
// may come from values, so an empty tree would not build it.
bool last_reference_malformed(const std::string &text) {
    std::string last;
    CfgRefTag table[] = {{"${", "}", note_reference, &last}, {nullptr, nullptr, nullptr, nullptr}};
    char out[kTextSize] = {};
    ds_lock();
    (void)ref_substitute(text.c_str(), out, sizeof out, table);
    uint32_t was = Cfg_Dereference(0);
    std::vector<char> reference(last.begin(), last.end());
    reference.push_back('\0');
    char again[kTextSize] = {};
    int status = cfg_evalReference(reference.data(), again, sizeof again, nullptr);
    (void)Cfg_Dereference(was);
    ds_unlock();
    return status == CFG_ERR_SYNTAX;
}

int run_subst(const Options &o) {
    if (o.args.empty()) return usage_error("subst needs TEXT");
    const std::string &text = o.args[0];
    if (text.size() >= kTextSize) return usage_error("TEXT holds more than 639 characters");
    int exit = load_all(file_args({o.args.begin() + 1, o.args.end()}), o);
    char out[kTextSize] = {};
    int status = Cfg_Substitute(text.c_str(), out, sizeof out);
    if (status == CFG_OK) {
        std::printf("%s\n", out);
        return exit;
    }
    if (status == CFG_ERR_UNRESOLVED) {
        item_diag("'" + text + "'", status, "a reference cannot be resolved");
        return worse(exit, kNotFound);
    }
    if (status == CFG_ERR_SYNTAX && !last_reference_malformed(text)) {
        // A stored value it reads holds one: refused, as get refuses it.
        item_diag("'" + text + "'", status, "a value it reads holds a malformed reference");
        return worse(exit, kRefused);
    }
    item_diag("'" + text + "'", status, status == CFG_ERR_SYNTAX ? "a reference is malformed" : "cannot be substituted");
    return kFailed;
}

int run(const Options &o) {
    switch (o.command) {
        case kDump: return run_dump(o);
        case kGet: return run_get(o);
        case kSet: return run_set(o);
        case kCheck: return run_check(o);
        case kSubst: return run_subst(o);
        default: return kFailed;
    }
}

// The names that may be files, for the default search path: get's leading
// ones only, before its last argument (always an IDENT) or its "--".
std::vector<std::string> candidate_files(const Options &o) {
    if (o.command == kSubst) return {o.args.begin() + std::min<std::size_t>(1, o.args.size()), o.args.end()};
    if (o.command == kSet) return {o.args.begin(), o.args.begin() + std::min<std::size_t>(1, o.args.size())};
    if (o.command == kGet && o.dash_at != SIZE_MAX) return {o.args.begin(), o.args.begin() + o.dash_at};
    if (o.command == kGet) return {o.args.begin(), o.args.end() - std::min<std::size_t>(1, o.args.size())};
    return o.args;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    std::vector<const OptionSpec *> used;
    g_parsing = true;
    int parsed = parse_args(argc, argv, o, used);
    g_parsing = false;
    g_quiet = o.quiet;
    if (parsed != kOk) {
        say_usage_error(g_first_usage_error);
        return parsed;
    }
    if (int e = check_args(o, used); e != kOk) return e;
    int exit = kOk;
    if (o.help) {
        std::fputs(kUsage, stdout);
    } else if (o.version) {
        std::printf("cfgtree %s\n", CFGTREE_VERSION);
    } else {
        setup_logging(o);
        setup_search_path(o, candidate_files(o), o.command == kGet && o.dash_at == SIZE_MAX);
        exit = run(o);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        diag("cfgtree: cannot write the output\n");
        return kFailed;
    }
    return exit;
}
