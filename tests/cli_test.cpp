// Tests of the cfgtree command: every sub-command runs as a child process on
// the files under tests/data/cli, checking stdout, stderr and the exit
// status, bad input included.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "support.h"

namespace {

#ifdef CFGTREE_CLI
const std::string kCli = CFGTREE_CLI;
#else
const std::string kCli;
#endif
const std::string kData = std::string(CFGTREE_TEST_DATA) + "/cli";

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Environment changes for one run: a null value unsets the variable.
using Env = std::map<std::string, const char *>;

// Runs the tool in cwd with CONFIG_PATH and CFGTREE_LOG_LEVEL unset unless
// env sets them; stdout goes to stdout_path instead when one is given.
Outcome cli(const std::vector<std::string> &args, const std::string &cwd = kData, const Env &env = {},
            const char *stdout_path = nullptr) {
    cfgtest::TempDir capture;
    std::string out = stdout_path ? stdout_path : capture.file("out"), err = capture.file("err");
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(126);
        unsetenv("CONFIG_PATH");
        unsetenv("CFGTREE_LOG_LEVEL");
        for (const auto &[name, value] : env) value ? setenv(name.c_str(), value, 1) : unsetenv(name.c_str());
        if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(126);
        std::vector<char *> argv{const_cast<char *>(kCli.c_str())};
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(kCli.c_str(), argv.data());
        _exit(127);
    }
    Outcome r;
    int wstatus = 0;
    if (pid > 0 && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
    r.out = stdout_path ? "" : cfgtest::read_file(out);
    r.err = cfgtest::read_file(err);
    return r;
}

std::string data(const std::string &name) { return cfgtest::read_file(kData + "/" + name); }

// st_mode of path, through a symbolic link or (lstat) of the link itself.
unsigned mode_of(const std::string &path, bool link = false) {
    struct stat st {};
    EXPECT_EQ(0, link ? lstat(path.c_str(), &st) : stat(path.c_str(), &st)) << path;
    return st.st_mode;
}

class Cli : public ::testing::Test {
  protected:
    void SetUp() override {
        if (kCli.empty()) GTEST_SKIP() << "the cfgtree tool is not built";
    }
};

// One run and everything it should give; a null expectation is not checked.
struct Expect {
    std::vector<std::string> args;
    int status;
    const char *out;
    const char *err;
    Env env = {};
};

void check_runs(const std::vector<Expect> &cases, const std::string &cwd = kData) {
    for (const Expect &c : cases) {
        std::string line;
        for (const std::string &a : c.args) line += " " + a;
        SCOPED_TRACE("cfgtree" + line);
        Outcome r = cli(c.args, cwd, c.env);
        EXPECT_EQ(c.status, r.status) << "stderr: " << r.err;
        if (c.out) { EXPECT_EQ(c.out, r.out); }
        if (c.err) { EXPECT_EQ(c.err, r.err); }
    }
}

const char kNetDump[] =
    "Server {\n    name = lab-gw\n    port = 443\n    url = https://lab-gw:443/\n    motd = \"  welcome  \"\n"
    "    Iface[1] {\n        label = eth1 in Server.Iface[1]\n    }\n"
    "    Iface[2] {\n        label = eth2 in Server.Iface[2]\n    }\n}\n"
    "!Secret {\n    !key = 0x00ab\n}\n"
    "Limits {\n    !max = 10\n    range = 1..5\n    flag = yes\n    peer = host.example:8080\n}\n";

const char kBadCfgErrors[] =
    "bad.cfg:2: CFG_ERR_SYNTAX: this line has no equals sign\nbad.cfg:4: CFG_ERR_SYNTAX: bad$name = 3\n";

// dump, get, check and subst on the sample files.
TEST_F(Cli, EachCommandOnTheSampleFiles) {
    check_runs({
        {{"dump", "net.cfg"}, 0, kNetDump, ""},
        {{"dump", "net.cfg", "--raw", "--id", "Server.Iface[1]"}, 0,
         "Server.Iface[1] {\n    label = eth1 in Server.Iface[1]\n}\n", ""},
        {{"dump", "--id=Server.url", "net.cfg"}, 0, "Server.url = https://lab-gw:443/\n", ""},
        {{"dump", "--json", "--id", "Server.Iface[2]", "net.cfg"}, 0,
         "{\n  \"Server.Iface[2]\": {\n    \"label\": \"eth2 in Server.Iface[2]\"\n  }\n}\n", ""},
        {{"dump", "--id", "Server.none", "net.cfg"}, 1, "", "cfgtree: Server.none: CFG_NOT_FOUND: no such item\n"},
        {{"dump", "--id", "Server..", "net.cfg"}, 2, "", "cfgtree: Server..: CFG_ERR_SYNTAX: not a valid identifier\n"},
        {{"dump", "--filter", "Limits", "net.cfg"}, 0,
         "Limits {\n    !max = 10\n    range = 1..5\n    flag = yes\n    peer = host.example:8080\n}\n", ""},
        // a pattern the matcher cannot read would load nothing, silently
        {{"dump", "--filter", "Limits.*", "net.cfg"}, 2, "",
         "cfgtree: Limits.*: CFG_ERR_SYNTAX: not a valid --filter pattern: it matches no definition\n"},
        {{"get", "--filter", "", "net.cfg", "Limits.range"}, 0, "1..5\n", ""},
        // values whose references fail are marked, or shown as stored in JSON
        {{"dump", "refs.cfg"}, 0,
         "a = 1\n# Reference failure on the following attribute:\nb = ${a}${nothing.here}\n"
         "# Reference failure on the following attribute:\nc = ${nothing.here}\n", ""},
        {{"dump", "--json", "refs.cfg"}, 0,
         "{\n  \"a\": \"1\",\n  \"b\": \"${a}${nothing.here}\",\n  \"c\": \"${nothing.here}\"\n}\n",
         "cfgtree: b: CFG_ERR_UNRESOLVED: its references cannot be substituted; the value is shown as stored\n"
         "cfgtree: c: CFG_ERR_UNRESOLVED: its references cannot be substituted; the value is shown as stored\n"},
        // a malformed reference: marked by dump, refused by get
        {{"dump", "--json", "malformed.cfg"}, 0, "{\n  \"m\": \"${}\"\n}\n",
         "cfgtree: m: CFG_ERR_SYNTAX: its references cannot be substituted; the value is shown as stored\n"},
        {{"get", "malformed.cfg", "m"}, 3, "", "cfgtree: m: CFG_ERR_SYNTAX: its value holds a malformed reference\n"},
        // -D variables reach the load
        {{"dump", "-D", "MODE=fast", "vars.cfg"}, 0, "Env {\n    mode = fast\n}\n", ""},
        {{"dump", "-DMODE=slow", "vars.cfg"}, 0, "Env {\n    mode = slow\n}\n", ""},
        {{"dump", "vars.cfg"}, 2, "Env {\n}\n",
         "vars.cfg:2: CFG_ERR_FILE_REFERENCE:     mode = %(MODE)\n"
         "vars.cfg:3: a '}' that closes no block: the lines after it are not read\n"},
        {{"dump", "-D", "A,B=1", "vars.cfg"}, 2, "", nullptr},
        {{"dump", "-D", "=1", "vars.cfg"}, 2, "", nullptr},
        {{"dump", "-D", "MODE", "vars.cfg"}, 2, "", nullptr},
        {{"dump", "--context", "App.Sub", "ctx.cfg"}, 0, "where = App.Sub\n", ""},
        {{"get", "net.cfg", "Server.url", "Server.Iface[2].label", "Limits.max"}, 0,
         "https://lab-gw:443/\neth2 in Server.Iface[2]\n10\n", ""},
        {{"get", "--raw", "net.cfg", "Server.url"}, 0, "https://${Server.name}:${Server.port}/\n", ""},
        {{"get", "net.cfg", "Server.port", "Server.none"}, 1, "443\n",
         "cfgtree: Server.none: CFG_NOT_FOUND: no such attribute\n"},
        {{"get", "net.cfg", "Server"}, 3, "",
         "cfgtree: Server: CFG_ERR_NOT_ATTRIBUTE: is an object, not an attribute\n"},
        {{"get", "refs.cfg", "c"}, 1, "",
         "cfgtree: c: CFG_ERR_UNRESOLVED: its value holds a reference that cannot be resolved\n"},
        {{"get", "net.cfg", "a b"}, 2, "", "cfgtree: a b: CFG_ERR_SYNTAX: not a valid identifier\n"},
        {{"get", "net.cfg", "net.cfg", "Limits.flag"}, 0, "yes\n", ""},
        {{"get", "net.cfg"}, 2, "", nullptr},
        {{"get", "--", "Limits.flag"}, 2, "", nullptr},
        // a load error still answers, but says so
        {{"get", "bad.cfg", "good", "last"}, 2, "1\nok\n", kBadCfgErrors},
        {{"get", "none.cfg", "a"}, 2, "",
         "none.cfg: ERR_FILE_ACCESS: no such file (nor on the search path)\n"
         "cfgtree: a: CFG_NOT_FOUND: no such attribute\n"},
        // --type converts
        {{"get", "--type", "bool", "types.cfg", "T.off", "T.on"}, 0, "FALSE\nTRUE\n", ""},
        {{"get", "--type=int", "types.cfg", "T.hex"}, 0, "26\n", ""},
        {{"get", "--type", "range", "types.cfg", "T.span"}, 0, "-3..16\n", ""},
        {{"get", "--type", "bytes", "types.cfg", "T.key"}, 0, "0x00AB\n", ""},
        {{"get", "--type", "range", "types.cfg", "T.word"}, 3, "",
         "cfgtree: T.word: CFG_ERR_SYNTAX: value 'abc' is not of type range\n"},
        {{"get", "--type", "server", "types.cfg", "T.peer", "T.host"}, 0, "a:b:80\ngw\n", ""},
        {{"get", "--type", "bytes", "types.cfg", "T.odd", "T.notbytes", "T.upper"}, 3, "",
         "cfgtree: T.odd: CFG_ERR_SYNTAX: value '0xabc' is not of type bytes\n"
         "cfgtree: T.notbytes: CFG_ERR_SYNTAX: value '0x0g' is not of type bytes\n"
         "cfgtree: T.upper: CFG_ERR_SYNTAX: value '0X0a' is not of type bytes\n"},
        {{"get", "--type", "range", "types.cfg", "T.notrange"}, 3, "",
         "cfgtree: T.notrange: CFG_ERR_SYNTAX: value '1..2x' is not of type range\n"},
        // a "0b" prefix is no binary number, whatever this C library's strtol reads
        {{"get", "--type", "int", "types.cfg", "T.binary"}, 3, "",
         "cfgtree: T.binary: CFG_ERR_SYNTAX: value '0b101' is not of type int\n"},
        {{"get", "--type", "range", "types.cfg", "T.binspan"}, 3, "",
         "cfgtree: T.binspan: CFG_ERR_SYNTAX: value '1..0b11' is not of type range\n"},
        // the converters read any text; the tool prints only values that mean the type
        {{"get", "--type", "int", "types.cfg", "T.word", "T.big", "T.partly", "T.hex"}, 3, "26\n",
         "cfgtree: T.word: CFG_ERR_SYNTAX: value 'abc' is not of type int\n"
         "cfgtree: T.big: CFG_ERR_SYNTAX: value '4294967296' is not of type int\n"
         "cfgtree: T.partly: CFG_ERR_SYNTAX: value '12abc' is not of type int\n"},
        {{"get", "--type", "bool", "types.cfg", "T.no", "T.word", "T.hex"}, 3, "",
         "cfgtree: T.no: CFG_ERR_SYNTAX: value 'no' is not of type bool\n"
         "cfgtree: T.word: CFG_ERR_SYNTAX: value 'abc' is not of type bool\n"
         "cfgtree: T.hex: CFG_ERR_SYNTAX: value '0x1A' is not of type bool\n"},
        {{"get", "--type", "server", "types.cfg", "T.badport", "T.wideport", "T.blank", "T.blankport", "T.noname"}, 3,
         "",
         "cfgtree: T.badport: CFG_ERR_SYNTAX: value 'gw:http' is not of type server\n"
         "cfgtree: T.wideport: CFG_ERR_SYNTAX: value 'gw:65536' is not of type server\n"
         "cfgtree: T.blank: CFG_ERR_SYNTAX: value 'g w' is not of type server\n"
         "cfgtree: T.blankport: CFG_ERR_SYNTAX: value 'g w:80' is not of type server\n"
         "cfgtree: T.noname: CFG_ERR_SYNTAX: value ':80' is not of type server\n"},
        {{"get", "--type", "float", "types.cfg", "T.hex"}, 2, "", nullptr},
        {{"check", "net.cfg", "types.cfg", "main.cfg"}, 0, "", ""},
        {{"check", "bad.cfg"}, 2, "", kBadCfgErrors},
        {{"check", "net.cfg", "bad.cfg", "-q"}, 2, "", ""},
        {{"check", "nested_bad.cfg"}, 2, "", kBadCfgErrors},
        {{"check", "indented.cfg"}, 2, "", "indented.cfg:2: CFG_ERR_SYNTAX: \t  broken\n"},
        {{"check", "unclosed.cfg"}, 2, "", "unclosed.cfg: ERR_UNEXPECTED_EOF: file ends inside a block it opened\n"},
        {{"check", "missing_include.cfg"}, 2, "",
         "missing_include.cfg: ERR_FILE_ACCESS: an included file cannot be read (tried './does_not_exist.cfg')\n"},
        {{"check", "self.cfg"}, 2, "",
         "self.cfg: CFG_ERR_FILE_REFERENCE: includes nest deeper than 32 (does a file include itself?)\n"},
        {{"check", "none.cfg", "net.cfg"}, 2, "", "none.cfg: ERR_FILE_ACCESS: no such file (nor on the search path)\n"},
        {{"check", "."}, 2, "", ".: ERR_FILE_ACCESS: is a directory\n"},
        {{"check"}, 2, "", nullptr},
        {{"subst", "port ${Server.port} at ${CFGTREE_CLI_HOME}", "net.cfg"}, 0, "port 443 at /home/x\n", "",
         {{"CFGTREE_CLI_HOME", "/home/x"}}},
        {{"subst", "${Limits.flag:/yes=on/off}", "net.cfg"}, 0, "on\n", ""},
        {{"subst", "${nope}"}, 1, "", "cfgtree: '${nope}': CFG_ERR_UNRESOLVED: a reference cannot be resolved\n"},
        {{"subst", "${a b}"}, 2, "", "cfgtree: '${a b}': CFG_ERR_SYNTAX: a reference is malformed\n"},
        // a stored value with a malformed reference is refused, as get refuses it
        {{"subst", "${m}", "malformed.cfg"}, 3, "",
         "cfgtree: '${m}': CFG_ERR_SYNTAX: a value it reads holds a malformed reference\n"},
        // also when a value names the item (read from the tree, the path is m)
        {{"subst", "${${Limits.flag:/yes=m}}", "malformed.cfg", "net.cfg"}, 3, "",
         "cfgtree: '${${Limits.flag:/yes=m}}': CFG_ERR_SYNTAX: a value it reads holds a malformed reference\n"},
        // the status is the last reference's
        {{"subst", "[${a b}][${nope}][${Server.port}]", "net.cfg"}, 0, "[][][443]\n", ""},
        {{"subst", "${Server.port}", "bad.cfg", "net.cfg"}, 2, "443\n", nullptr},
        {{"subst"}, 2, "", nullptr},
        {{"subst", std::string(640, 'x')}, 2, "", nullptr},
    });
}

// JSON output stays JSON: escapes, names compared as lookups read them
// (without their read-only mark), bytes that are no UTF-8 written by number,
// values as stored also where the saved text's quoting cannot tell them
// apart, and each value under its own object (a default a reference stores
// while it runs, or a substituted line break, moves none).
TEST_F(Cli, JsonDumpsStayJson) {
    cfgtest::TempDir dir;
    dir.write("esc.cfg", "q = say \"hi\" \\ back\ntab = a\tb\nempty = \"\"\nquoted = \"x\"\n");
    dir.write("none.cfg", "# nothing defined\n");
    dir.write("same.cfg", "a = 1\na {\n    x = 2\n}\no {\n    b = 1\n    c = 3\n    b {\n    }\n}\n");
    dir.write("nested.cfg", "A {\n    x = 1\n    B[2] {\n        r = ${none}\n    }\n}\n");
    dir.write("marked.cfg", "!a = 1\na {\n    b = 2\n}\n");
    dir.write("bytes.cfg", "v = \xff\xc3\xa9\xed\xa0\x80\n");
    dir.write("main.cfg", "m = 1\n<inc.cfg>\n");
    dir.write("inc.cfg", "i = 1\n");
    dir.write("quotes.cfg", "two = \"\"\"\"\nedged = \"\" x\"\"\nempty = \"\"\nblank = \" \"\n");
    dir.write("default.cfg", "a = 1\nO {\n    c = ${top:=X}\n}\nP {\n    d = pval\n}\n");
    dir.write("nl.cfg", "O {\n    x = ${NL}\n    y = plain\n}\nO2 {\n    z = 1\n}\n");
    const char kBoth[] = ": an attribute and an object share this name; JSON cannot hold both\n";
    check_runs({{{"dump", "--json", "esc.cfg"}, 0,
                 "{\n  \"q\": \"say \\\"hi\\\" \\\\ back\",\n  \"tab\": \"a\\tb\",\n  \"empty\": \"\",\n"
                 "  \"quoted\": \"x\"\n}\n", ""},
                {{"dump", "--json", "--id", "nothing", "esc.cfg"}, 1, "", nullptr},
                {{"dump", "--json", "none.cfg"}, 0, "{}\n", ""},
                {{"dump", "--json", "same.cfg"}, 3, "",
                 (std::string("cfgtree: a") + kBoth + "cfgtree: o.b" + kBoth).c_str()},
                {{"dump", "--json", "--id", "o.c", "same.cfg"}, 0, "{\n  \"o.c\": \"3\"\n}\n", ""},
                // a failing reference is named by the attribute's full identifier
                {{"dump", "--json", "nested.cfg"}, 0, nullptr,
                 "cfgtree: A.B[2].r: CFG_ERR_UNRESOLVED: its references cannot be substituted; the value is "
                 "shown as stored\n"},
                {{"dump", "--json", "quotes.cfg"}, 0,
                 "{\n  \"two\": \"\\\"\\\"\",\n  \"edged\": \"\\\" x\\\"\",\n  \"empty\": \"\",\n  \"blank\": \" \"\n}\n", ""},
                {{"dump", "--json", "marked.cfg"}, 3, "", (std::string("cfgtree: a") + kBoth).c_str()},
                {{"dump", "--json", "bytes.cfg"}, 0, "{\n  \"v\": \"\\u00ff\xc3\xa9\\u00ed\\u00a0\\u0080\"\n}\n", ""},
                // an empty file name, or an empty search path, is said plainly
                {{"dump", ""}, 2, "", ": ERR_FILE_ACCESS: no such file\n"},
                {{"check", "main.cfg"}, 2, "", "main.cfg: ERR_FILE_ACCESS: the file did not load\n", {{"CONFIG_PATH", ""}}},
                {{"dump", "--json", "default.cfg"}, 0,
                 "{\n  \"a\": \"1\",\n  \"O\": {\n    \"c\": \"X\"\n  },\n  \"P\": {\n    \"d\": \"pval\"\n  }\n}\n", ""},
                {{"dump", "--json", "nl.cfg"}, 0,
                 "{\n  \"O\": {\n    \"x\": \"a\\n}\",\n    \"y\": \"plain\"\n  },\n  \"O2\": {\n    \"z\": \"1\"\n  }\n}\n",
                 "", {{"NL", "a\n}"}}},
                {{"dump", "--json", "--id", "O", "nl.cfg"}, 0,
                 "{\n  \"O\": {\n    \"x\": \"a\\n  }\",\n    \"y\": \"plain\"\n  }\n}\n", "", {{"NL", "a\n  }"}}}},
               dir.path());
}

// A dump opens at most 256 objects one inside another, as a load reads
// them, and says what it leaves out below that, counted from the dumped item.
TEST_F(Cli, DumpSaysItLeavesOutObjectsNestedTooDeeply) {
    cfgtest::TempDir dir;
    std::string deep = "x = 1\ntop = 1\n";
    for (int i = 0; i < 256; ++i) deep = "a." + deep;
    dir.write("deep256.cfg", deep);
    dir.write("deep257.cfg", "a." + deep);
    const char kLeftOut[] = ": 1 object nested more than 256 levels deep left out, with all it holds\n";
    const std::string dump = std::string("cfgtree: dump") + kLeftOut, a = std::string("cfgtree: a") + kLeftOut;
    check_runs({{{"dump", "deep256.cfg"}, 0, nullptr, ""},
                {{"dump", "--json", "deep256.cfg"}, 0, nullptr, ""},
                {{"dump", "deep257.cfg"}, 3, nullptr, dump.c_str()},
                {{"dump", "--json", "deep257.cfg"}, 3, nullptr, dump.c_str()},
                {{"dump", "--id", "a.a", "deep257.cfg"}, 0, nullptr, ""},
                {{"dump", "--id", "a", "--json", "deep257.cfg"}, 3, nullptr, a.c_str()},
                {{"dump", "--id", "top", "deep257.cfg"}, 0, "top = 1\n", ""}},
               dir.path());
}

// get --type converts the very text it checked, at the longest value too.
TEST_F(Cli, GetTypeConvertsTheTextItChecked) {
    cfgtest::TempDir dir;
    dir.write("long.cfg", "s = ${LONGS}\ni = ${LONGI}\n");
    const std::string server = std::string(634, 'h') + ":8080", integer = "-" + std::string(637, '0') + "1";
    const std::string server_out = server + "\n";
    const Env env{{"LONGS", server.c_str()}, {"LONGI", integer.c_str()}};
    check_runs({{{"get", "--type", "server", "long.cfg", "s"}, 0, server_out.c_str(), "", env},
                {{"get", "--type", "int", "long.cfg", "i"}, 0, "-1\n", "", env}},
               dir.path());
}

// FILEs are found as paths, beside the files that include them and on the
// search path; a path that exists wins over the search path.
TEST_F(Cli, FilesAreFoundAsPathsBesideTheirFilesAndOnThePath) {
    cfgtest::TempDir elsewhere;
    const char kMain[] = "top = main\nPart {\n    who = included\n}\n";
    const Env path{{"CONFIG_PATH", kData.c_str()}};
    check_runs({{{"dump", kData + "/main.cfg"}, 0, kMain, ""},
                {{"dump", "--path", kData, "main.cfg"}, 0, kMain, ""},
                {{"dump", "main.cfg"}, 0, kMain, "", path}},
               elsewhere.path());
    elsewhere.write("main.cfg", "here = 1\n");
    check_runs({{{"dump", "main.cfg"}, 0, "here = 1\n", "", path}}, elsewhere.path());
}

TEST_F(Cli, ArgumentsThatNameFilesAreFilesUnlessADashSaysOtherwiseAndUnreadableOnesAreNamed) {
    cfgtest::TempDir dir;
    dir.write("app.cfg", "Limits {\n    flag = on\n    max = 3\n}\n");
    dir.write("Limits.flag", "extra = 1\n");  // a file whose name is also an identifier
    dir.write("-d.cfg", "a = 2\n");
    ASSERT_EQ(0, chmod(dir.write("locked.cfg", "a = 1\n").c_str(), 0));
    ASSERT_EQ(0, chmod(dir.write("p/nr.cfg", "a = 1\n").c_str(), 0044));  // on the search path, no owner-read bit
    ASSERT_EQ(0, mkdir(dir.file("p/dir.cfg").c_str(), 0700));
    check_runs({{{"get", "app.cfg", "Limits.flag", "extra"}, 0, "1\n", ""},
                {{"get", "app.cfg", "/dev/null", "Limits.max"}, 0, "3\n", ""},  // a file that is not regular
                {{"get", "app.cfg", "--", "Limits.flag", "Limits.max"}, 0, "on\n3\n", ""},
                {{"get", "--", "-d.cfg", "a"}, 0, "2\n", ""},  // a first -- ends the options only
                {{"get", "--", "-d.cfg", "--", "a"}, 0, "2\n", ""},  // and a second one the FILEs
                {{"get", "app.cfg", "--", "Limits.max", "--"}, 1, "3\n", nullptr},  // a later one is an IDENT
                {{"check", "locked.cfg"}, 2, "", "locked.cfg: ERR_FILE_ACCESS: file is not readable\n"},
                {{"check", "--path", "p", "nr.cfg"}, 2, "",
                 "nr.cfg: ERR_FILE_ACCESS: file is not readable ('p/nr.cfg')\n"},
                {{"check", "--path", "p", "dir.cfg"}, 2, "", "dir.cfg: ERR_FILE_ACCESS: is a directory ('p/dir.cfg')\n"},
                {{"get", "locked.cfg", "a"}, 2, "",
                 "locked.cfg: ERR_FILE_ACCESS: file is not readable\ncfgtree: a: CFG_NOT_FOUND: no such attribute\n"}},
               dir.path());
}

// The loader ends a file at a '}' that closes no block, as at its end: the
// tool names the line (counted as the loader reads them, a longer line in
// pieces of 639 characters), and set does not rewrite the file without the
// lines after it. A missing include is named whatever failed before it. A
// failing line that ends its block at the top ends the file: the tool says
// so when something follows it.
TEST_F(Cli, AStrayClosingBraceAndAMissingIncludeAreFailingLines) {
    cfgtest::TempDir dir;
    const std::string stray = "a = 1\nO {\n    x = 1\n}\n}\nb = 2\n";
    dir.write("stray.cfg", stray);
    dir.write("long.cfg", "k = " + std::string(635, 'v') + "}\nb = 2\n");
    dir.write("fine.cfg", "r[i=1..2] {\n    x = ${a}\n}\n# }\n%V=1\n%(V) {\n    u = {\n    v = a{b\n}\nb = 2\n");
    dir.write("expanded.cfg", "%blk=a {\n%(blk)\n    x = 1\n}\ny = 2\n");  // %(blk) opens the block
    dir.write("block.cfg", "bad line\nO {\n    <missing.cfg>\n}\n");
    dir.write("top.cfg", "bad line\n<missing.cfg>\n");
    // A failed include, or one without '>', ends its block: the '}' after it closes none.
    dir.write("ended.cfg", "A {\n    B {\n        <missing.cfg>\n    }\n    w = 1\n}\nz = 3\n");
    dir.write("open.cfg", "A {\n    r[i=1..2] {\n        <x.cfg\n    }\n}\nz = 3\n");
    dir.write("ref.cfg", "a = 1\n%(nope) {\n    x = 1\n}\n");
    dir.write("refblock.cfg", "O {\n    b = %(nope)\n    c = 3\n}\nd = 4\n");
    dir.write("reflast.cfg", "a = 1\nb = %(nope)\n\n# the end\n");
    dir.write("unclosed.cfg", "a = 1\n<x.cfg\nz = 3\n");
    const std::string kEnds = ": this failing line ends the file: the lines after it are not read\n";
    const std::string kStray = "stray.cfg:5: a '}' that closes no block: the lines after it are not read\n",
                      kTried = ": ERR_FILE_ACCESS: an included file cannot be read (tried './missing.cfg')\n";
    check_runs({{{"check", "stray.cfg"}, 2, "", kStray.c_str()},
                {{"get", "stray.cfg", "a"}, 2, "1\n", kStray.c_str()},
                {{"dump", "stray.cfg"}, 2, "a = 1\nO {\n    x = 1\n}\n", kStray.c_str()},
                {{"set", "stray.cfg", "c", "3"}, 2, "",
                 (kStray + "stray.cfg: not saved: the file did not load cleanly\n").c_str()},
                {{"check", "long.cfg"}, 2, "",
                 "long.cfg:2: a '}' that closes no block: the lines after it are not read\n"},
                {{"get", "--raw", "fine.cfg", "b", "1.u", "r[2].x"}, 0, "2\n{\n${a}\n", ""},
                {{"get", "expanded.cfg", "a.x", "y"}, 0, "1\n2\n", ""},
                {{"check", "block.cfg"}, 2, "",
                 ("block.cfg:1: CFG_ERR_SYNTAX: bad line\nblock.cfg:3: ERR_FILE_ACCESS: O {\nblock.cfg" + kTried +
                  "block.cfg:4: a '}' that closes no block: the lines after it are not read\n").c_str()},
                {{"get", "ended.cfg", "w"}, 2, "1\n",
                 ("ended.cfg:3: ERR_FILE_ACCESS:     B {\nended.cfg" + kTried +
                  "ended.cfg:6: a '}' that closes no block: the lines after it are not read\n").c_str()},
                {{"check", "open.cfg"}, 2, "",
                 "open.cfg:3: CFG_ERR_SYNTAX:         <x.cfg\nopen.cfg:3: CFG_ERR_SYNTAX:         <x.cfg\n"
                 "open.cfg:5: a '}' that closes no block: the lines after it are not read\n"},
                {{"check", "top.cfg"}, 2, "", ("top.cfg:1: CFG_ERR_SYNTAX: bad line\ntop.cfg" + kTried).c_str()},
                {{"dump", "ref.cfg"}, 2, "a = 1\n",
                 ("ref.cfg:2: CFG_ERR_FILE_REFERENCE: %(nope) {\nref.cfg:2" + kEnds).c_str()},
                {{"get", "refblock.cfg", "c"}, 2, "3\n",
                 "refblock.cfg:2: CFG_ERR_FILE_REFERENCE:     b = %(nope)\n"
                 "refblock.cfg:4: a '}' that closes no block: the lines after it are not read\n"},
                {{"check", "reflast.cfg"}, 2, "", "reflast.cfg:2: CFG_ERR_FILE_REFERENCE: b = %(nope)\n"},
                {{"check", "unclosed.cfg"}, 2, "",
                 ("unclosed.cfg:2: CFG_ERR_SYNTAX: <x.cfg\nunclosed.cfg:2" + kEnds).c_str()}},
               dir.path());
    EXPECT_EQ(stray, cfgtest::read_file(dir.file("stray.cfg")));
}

class CliSet : public Cli {
  protected:
    void SetUp() override {
        Cli::SetUp();
        original_ = data("net.cfg");
        dir_.write("net.cfg", original_);
        dir_.write("bad.cfg", data("bad.cfg"));
    }
    Outcome set(std::vector<std::string> args) {
        args.insert(args.begin(), "set");
        return cli(args, dir_.path());
    }
    std::string get(const std::vector<std::string> &args) { return cli(args, dir_.path()).out; }
    std::string file(const std::string &name) { return cfgtest::read_file(dir_.file(name)); }
    cfgtest::TempDir dir_;
    std::string original_;
};

// set saves references and the file's mode, writes elsewhere with -o (OUT
// keeps its mode, also one without the owner-read bit), and its temporary
// file has a short name of its own: a name as long as a name may be works.
TEST_F(CliSet, SetsSavesAndKeepsReferencesAndMode) {
    ASSERT_EQ(0, chmod(dir_.file("net.cfg").c_str(), 0600));
    Outcome r = set({"net.cfg", "Server.port", "8443"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out + r.err);
    std::string saved = file("net.cfg");
    EXPECT_NE(std::string::npos, saved.find("    port = 8443\n")) << saved;
    EXPECT_NE(std::string::npos, saved.find("url = https://${Server.name}:${Server.port}/\n")) << "references are kept";
    EXPECT_EQ(0600u, mode_of(dir_.file("net.cfg")) & 07777);
    EXPECT_EQ("https://lab-gw:8443/\n  welcome  \n", get({"get", "net.cfg", "Server.url", "Server.motd"}));
    // values the file language holds as they are, edging blanks and '#' included
    for (const char *value : {"a value", "  edged  ", "", "a # b", "${Server.port}"}) {
        SCOPED_TRACE(value);
        EXPECT_EQ(0, set({"net.cfg", "New.deep.attr", value}).status);
        EXPECT_EQ(std::string(value) + "\n", get({"get", "--raw", "net.cfg", "New.deep.attr"}));
    }
    std::vector<std::string> names;
    if (DIR *d = opendir(dir_.path().c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"bad.cfg", "net.cfg"}), names) << "no temporary file is left";

    const std::string net = file("net.cfg"), name = std::string(251, 'n') + ".cfg";  // 255 characters
    EXPECT_EQ(0, set({"net.cfg", "Limits.flag", "no", "-o", "copy.cfg"}).status);
    EXPECT_EQ(net, file("net.cfg"));
    EXPECT_EQ("no\n", get({"get", "copy.cfg", "Limits.flag"}));
    ASSERT_EQ(0, chmod(dir_.write("wo.cfg", "old\n").c_str(), 0200));
    EXPECT_EQ(0, set({"net.cfg", "Limits.flag", "off", "-o", "wo.cfg"}).status);
    EXPECT_EQ(0200u, mode_of(dir_.file("wo.cfg")) & 07777);
    ASSERT_EQ(0, chmod(dir_.file("wo.cfg").c_str(), 0600));
    EXPECT_EQ("off\n", get({"get", "wo.cfg", "Limits.flag"}));
    r = set({"net.cfg", "Limits.flag", "no", "-o", dir_.file("no/such/dir.cfg")});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(dir_.file("no/such/dir.cfg") + ": ERR_FILE_ACCESS: cannot write the file\n", r.err);
    dir_.write(name, "a = 1\n");
    EXPECT_EQ(0, set({name, "a", "2"}).status);
    EXPECT_EQ("a = 2\n", file(name));
    EXPECT_EQ(0, set({"net.cfg", "Limits.flag", "off", "-o", std::string(251, 'o') + ".cfg"}).status);
    EXPECT_EQ("off\n", get({"get", std::string(251, 'o') + ".cfg", "Limits.flag"}));
}

TEST_F(CliSet, RefusalsLeaveTheFileAlone) {
    const char kCannotHold[] =
        "cfgtree: Limits.note: CFG_ERR_SYNTAX: the file language cannot hold this value as it is; net.cfg not written\n";
    struct Case { std::vector<std::string> args; int status; const char *err; } cases[] = {
        {{"net.cfg", "Limits.max", "20"}, 3, "cfgtree: Limits.max: CFG_READ_ONLY: attribute is read-only, not set\n"},
        {{"net.cfg", "Secret.key", "0x01"}, 3, "cfgtree: Secret.key: CFG_READ_ONLY: object 'Secret' is read-only, not set\n"},
        {{"net.cfg", "Secret.new", "1"}, 3, "cfgtree: Secret.new: CFG_READ_ONLY: object 'Secret' is read-only, not set\n"},
        {{"net.cfg", "!Limits.range", "2..3"}, 3, "cfgtree: !Limits.range: CFG_READ_ONLY: attribute is read-only, not set\n"},
        {{"net.cfg", "Server", "1"}, 3, "cfgtree: Server: CFG_ERR_NOT_ATTRIBUTE: is an object, not an attribute\n"},
        {{"net.cfg", "a b", "1"}, 2, "cfgtree: a b: CFG_ERR_SYNTAX: not a valid identifier\n"},
        // names a lookup reads but a creation refuses
        {{"net.cfg", "b[x y]", "1"}, 2, "cfgtree: b[x y]: CFG_ERR_SYNTAX: not a valid identifier\n"},
        {{"net.cfg", "Server.Iface[3.5].x", "1"}, 2,
         "cfgtree: Server.Iface[3.5].x: CFG_ERR_SYNTAX: not a valid identifier\n"},
        {{"bad.cfg", "good", "2"}, 2,
         "bad.cfg:2: CFG_ERR_SYNTAX: this line has no equals sign\nbad.cfg:4: CFG_ERR_SYNTAX: bad$name = 3\n"
         "bad.cfg: not saved: the file did not load cleanly\n"},
        {{"none.cfg", "a", "1"}, 2,
         "none.cfg: ERR_FILE_ACCESS: no such file (nor on the search path)\n"
         "none.cfg: not saved: the file did not load cleanly\n"},
        {{"net.cfg", "--filter", "Limits", "Limits.flag", "x"}, 2, nullptr},
        {{"net.cfg", "Limits.flag"}, 2, nullptr},
        {{"net.cfg", "Limits.flag", std::string(640, 'x')}, 3,
         "cfgtree: Limits.flag: CFG_ERR_SYNTAX: name, '=' and value would be stored in more than 639 characters; not "
         "set\n"},
        // the file language has no escapes: values it would read back otherwise are refused
        {{"net.cfg", "Limits.note", "at %(site)"}, 3, kCannotHold},
        {{"net.cfg", "Limits.note", "two\nlines"}, 3, kCannotHold},
        {{"net.cfg", "Limits.note", "\"quoted\""}, 3, nullptr},
        {{"net.cfg", "Limits.note", "\""}, 3, nullptr},
        // saved alike with and without their quotes
        {{"net.cfg", "Limits.note", "\"  q  \""}, 3, nullptr},
        {{"net.cfg", "Limits.note", "\"\""}, 3, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[1]);
        Outcome r = set(c.args);
        EXPECT_EQ(c.status, r.status) << r.err;
        if (c.err) { EXPECT_EQ(c.err, r.err); }
        EXPECT_EQ(original_, file("net.cfg"));
    }
    EXPECT_EQ("1\n", get({"get", "bad.cfg", "good"}));
}

// set writes a file only when it loads back, alone, as the whole tree it was
// saved from, and only a regular file (or none), through a symbolic link
// however the file is named. The object a set would create in decides on a
// read-only mark, also where an attribute shares its name. What it stores is
// the attribute's own name, '=' and the value (an instance found by a
// wildcard counts, the objects on the path do not); its saved line (indented,
// " = ") must fit a line of the file too.
TEST_F(Cli, SetWritesOnlyWhatLoadsBackAndOnlyRegularFiles) {
    cfgtest::TempDir dir;
    const std::string quoted = "q = \"\"\"\"\nc = 1\n";  // q holds two quote characters
    const std::string ro = "A = 1\n!A {\n    !x = 1\n}\n!C = 1\nC {\n    y = 1\n}\n";
    const std::string path(60, 'p'), wide = "x[12345] = 1\n";
    dir.write("quoted.cfg", quoted);
    dir.write("deep.cfg", "a0 = 1\n");
    dir.write("ro.cfg", ro);
    dir.write("long.cfg", path + " {\n    x = 1\n}\n");
    dir.write("wide.cfg", wide);
    std::string deep;
    for (int i = 0; i < 257; ++i) deep += "a.";
    ASSERT_EQ(0, symlink(dir.file("nowhere.cfg").c_str(), dir.file("dangling.cfg").c_str()));
    ASSERT_EQ(0, mkfifo(dir.file("fifo.cfg").c_str(), 0600));
    const std::string stored = "cfgtree: x[*]: CFG_ERR_SYNTAX: name, '=' and value would be stored in more than 639 "
                               "characters; not set\n",
                      saved = "cfgtree: " + path + ".y: CFG_ERR_SYNTAX: its saved line would hold more than 639 "
                              "characters; long.cfg not written\n",
                      too_deep = "cfgtree: " + deep + "x: CFG_ERR_SYNTAX: its objects nest more than 256 levels deep, "
                                 "more than a load reads; deep.cfg not written\n";
    check_runs({{{"set", "quoted.cfg", "c", "2"}, 3, "",
                 "quoted.cfg: CFG_ERR_SYNTAX: saved, the file would not read back as the tree it holds (q=\"\"); not "
                 "written\n"},
                {{"set", "deep.cfg", deep + "x", "1"}, 3, "", too_deep.c_str()},
                {{"set", "deep.cfg", "b", "1", "-o", "dangling.cfg"}, 2, "",
                 "dangling.cfg: ERR_FILE_ACCESS: a symbolic link that leads nowhere; not written\n"},
                {{"set", "deep.cfg", "b", "1", "-o", "fifo.cfg"}, 2, "",
                 "fifo.cfg: ERR_FILE_ACCESS: not a regular file; not written\n"},
                {{"set", "ro.cfg", "A.new", "2"}, 3, "", "cfgtree: A.new: CFG_READ_ONLY: object 'A' is read-only, not set\n"},
                {{"set", "ro.cfg", "A.x", "2"}, 3, "", "cfgtree: A.x: CFG_READ_ONLY: object 'A' is read-only, not set\n"},
                {{"set", "wide.cfg", "x[*]", std::string(631, 'v')}, 3, "", stored.c_str()},
                {{"set", "long.cfg", path + ".y", std::string(632, 'v')}, 3, "", saved.c_str()},
                {{"set", "long.cfg", path + ".y", std::string(638, 'v')}, 3, "", nullptr}},
               dir.path());
    EXPECT_EQ(quoted, cfgtest::read_file(dir.file("quoted.cfg")));
    EXPECT_EQ("a0 = 1\n", cfgtest::read_file(dir.file("deep.cfg")));
    EXPECT_TRUE(S_ISLNK(mode_of(dir.file("dangling.cfg"), true)));
    // /dev/stdin on a pipe: a link to no path, yet to something there
    int pipe_fds[2];
    ASSERT_EQ(0, pipe(pipe_fds));
    ASSERT_EQ(6, write(pipe_fds[1], "a = 1\n", 6));
    close(pipe_fds[1]);
    const std::string piped = "/proc/self/fd/" + std::to_string(pipe_fds[0]);
    check_runs({{{"set", piped, "a", "2"}, 2, "", (piped + ": ERR_FILE_ACCESS: not a regular file; not written\n").c_str()}},
               dir.path());
    close(pipe_fds[0]);
    EXPECT_EQ(ro, cfgtest::read_file(dir.file("ro.cfg")));
    EXPECT_EQ(wide, cfgtest::read_file(dir.file("wide.cfg")));
    // a read-only attribute does not mark the object of its name
    check_runs({{{"set", "ro.cfg", "C.y", "2"}, 0, "", ""},
                {{"get", "ro.cfg", "C.y"}, 0, "2\n", ""},
                {{"set", "long.cfg", path + ".x", std::string(580, 'v')}, 0, "", ""},
                {{"set", "long.cfg", path + ".y", std::string(631, 'v')}, 0, "", ""},
                {{"set", "wide.cfg", "x[*]", std::string(628, 'v')}, 0, "", ""},
                {{"get", "long.cfg", path + ".x"}, 0, (std::string(580, 'v') + "\n").c_str(), ""}},
               dir.path());
    EXPECT_EQ("x[12345] = " + std::string(628, 'v') + "\n", cfgtest::read_file(dir.file("wide.cfg")));
    std::string real = dir.write("real.cfg", "a = 1\n"), link = dir.file("link.cfg");
    for (const auto &[name, value] : {std::pair<std::string, std::string>{"link.cfg", "2"}, {link, "3"}}) {
        SCOPED_TRACE("cfgtree set " + name);
        ASSERT_EQ(0, symlink(real.c_str(), link.c_str()));
        check_runs({{{"set", name, "a", value}, 0, nullptr, nullptr}}, dir.path());
        EXPECT_TRUE(S_ISLNK(mode_of(link, true))) << "the link was replaced by a regular file";
        EXPECT_EQ("a = " + value + "\n", cfgtest::read_file(real));
        unlink(link.c_str());
    }
}

TEST_F(Cli, CommandLineMistakesAreUsageErrors) {
    Outcome help = cli({"--help"});
    EXPECT_EQ(0, help.status);
    EXPECT_EQ(0u, help.out.find("Usage: cfgtree COMMAND")) << help.out;
    EXPECT_EQ(std::string("cfgtree ") + CFGTREE_CLI_VERSION + "\n", cli({"--version"}).out);
    EXPECT_EQ(0, cli({"dump", "-h"}).status);
    struct Case { std::vector<std::string> args; const char *err; } cases[] = {
        {{}, "cfgtree: no command given\n"},
        {{"frob"}, "cfgtree: unknown command 'frob'\n"},
        {{"dump", "--frob", "net.cfg"}, "cfgtree: unknown option '--frob'\n"},
        {{"dump", "-x", "net.cfg"}, "cfgtree: unknown option '-x'\n"},
        {{"dump", "net.cfg", "--id"}, "cfgtree: option '--id' needs a value\n"},
        {{"dump", "net.cfg", "-D"}, "cfgtree: option '-D' needs a value\n"},
        {{"dump", "--json=yes", "net.cfg"}, "cfgtree: option '--json' takes no value\n"},
        {{"get", "--json", "net.cfg", "a"}, "cfgtree: option '--json' does not apply to get\n"},
        {{"check", "-o", "x", "net.cfg"}, "cfgtree: option '--output' does not apply to check\n"},
        {{"subst", "--raw", "x"}, "cfgtree: option '--raw' does not apply to subst\n"},
        {{"dump"}, "cfgtree: dump needs at least one FILE\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        Outcome r = cli(c.args);
        EXPECT_EQ(2, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(std::string(c.err) + "Try 'cfgtree --help' for more information.\n", r.err);
        std::vector<std::string> quiet = c.args;
        quiet.insert(quiet.begin(), "-q");
        r = cli(quiet);
        EXPECT_EQ(2, r.status) << "with -q";
        EXPECT_EQ("", r.err) << "with -q";
    }
    // -q silences a usage error that comes before it, and one found after parsing
    check_runs({{{"frob", "-q"}, 2, "", ""},
                {{"dump", "--frob", "--quiet"}, 2, "", ""},
                {{"set", "net.cfg", "x", "-q"}, 2, "", ""}});
}

TEST_F(Cli, VerbosityShowsTheLibrarysMessages) {
    EXPECT_EQ(std::string::npos, cli({"check", "bad.cfg"}).err.find("cfgtree[")) << "hidden by default";
    for (const Outcome &loud :
         {cli({"check", "-v", "bad.cfg"}), cli({"check", "bad.cfg"}, kData, {{"CFGTREE_LOG_LEVEL", "5"}})}) {
        EXPECT_NE(std::string::npos, loud.err.find("cfgtree[5] cfg_f_load:")) << loud.err;
        EXPECT_NE(std::string::npos, loud.err.find("bad.cfg:2: CFG_ERR_SYNTAX")) << loud.err;
    }
    Outcome traces = cli({"check", "-vvv", "net.cfg"});
    EXPECT_NE(std::string::npos, traces.err.find("cfgtree[1] cfg_f_load:")) << "CONFIG_PATH is logged at level 1";
    EXPECT_EQ(0, traces.status);
    EXPECT_EQ("", cli({"check", "-q", "bad.cfg"}, kData, {{"CFGTREE_LOG_LEVEL", "13"}}).err);
}

// A file variable holds 127 characters (NAME=VALUE), its name 32: the tool
// refuses what a load would cut.
TEST_F(Cli, VariablesALoadWouldCutAreRefused) {
    cfgtest::TempDir dir;
    dir.write("v.cfg", "x = %(V)\nc = %(%%)\n");
    const std::string v125(125, 'v'), v126(126, 'v'), n32(32, 'N'), n33(33, 'N');
    const std::string c124(124, 'C'), c125(125, 'C'), f125(125, 'F'), f126(126, 'F');
    auto refused = [](const std::string &what) { return "cfgtree: " + what + "\nTry 'cfgtree --help' for more information.\n"; };
    const std::string limit = "': a variable holds at most 127 characters, its name at most 32";
    const std::string out_v = v125 + "\n", out_c = c124 + "\n";
    const std::string long_value = refused("-D 'V=" + v126 + limit), long_name = refused("-D '" + n33 + "=1" + limit);
    const std::string long_context = refused("--context holds at most 124 characters");
    const std::string long_filter = refused("--filter holds at most 125 characters");
    check_runs({{{"get", "v.cfg", "x", "-D", "V=" + v125}, 0, out_v.c_str(), ""},
                {{"get", "v.cfg", "x", "-D", "V=" + v126}, 2, "", long_value.c_str()},
                {{"get", "v.cfg", "x", "-D", "V=1", "-D", n32 + "=1"}, 0, "1\n", ""},
                {{"get", "v.cfg", "x", "-D", "V=1", "-D", n33 + "=1"}, 2, "", long_name.c_str()},
                {{"get", "v.cfg", "c", "-D", "V=1", "--context", c124}, 0, out_c.c_str(), ""},
                {{"get", "v.cfg", "c", "-D", "V=1", "--context", c125}, 2, "", long_context.c_str()},
                {{"dump", "v.cfg", "-D", "V=1", "--filter", f125}, 0, "", ""},
                {{"dump", "v.cfg", "-D", "V=1", "--filter", f126}, 2, "", long_filter.c_str()}},
               dir.path());
}

// set loads its saved file back from the target's folder, under a name of
// its own: only the folder's path must be free of ','.
TEST_F(Cli, SetWritesFilesWhoseNamesHoldACommaInAFolderWithout) {
    cfgtest::TempDir dir;
    std::string real = dir.write("c,omma.cfg", "a = 1\n");
    ASSERT_EQ(0, symlink("c,omma.cfg", dir.file("plain.cfg").c_str()));
    ASSERT_EQ(0, mkdir(dir.file("x,y").c_str(), 0700));
    const std::string far = dir.file("x,y") + "/out.cfg";  // its ',' is below the current directory
    const std::string refused = "cfgtree: the folder set writes to cannot hold ',' (the file is loaded back from it): " +
                                dir.file("x,y") + "/\nTry 'cfgtree --help' for more information.\n";
    check_runs({{{"set", "plain.cfg", "a", "2"}, 0, "", ""},
                {{"set", "plain.cfg", "a", "3", "-o", "out,put.cfg"}, 0, "", ""},
                {{"set", "plain.cfg", "a", "4", "-o", far}, 2, "", refused.c_str()}},
               dir.path());
    EXPECT_EQ("a = 2\n", cfgtest::read_file(real));
    EXPECT_EQ("a = 3\n", cfgtest::read_file(dir.file("out,put.cfg")));
    EXPECT_NE(0, access(far.c_str(), F_OK)) << "nothing is written in a folder whose path holds a ','";
}

// A ',' in the current directory's path is no ',' in a FILE named below it:
// the file is loaded (and set's file loaded back) by a name without one.
TEST_F(Cli, FilesLoadBelowADirectoryWithACommaInItsPath) {
    cfgtest::TempDir top;
    ASSERT_EQ(0, mkdir(top.file("co,ma").c_str(), 0700));
    ASSERT_EQ(0, mkdir(top.file("co,ma/sub").c_str(), 0700));
    const std::string here = top.file("co,ma");
    top.write("co,ma/f.cfg", "x = 1\n<inc.cfg>\n");
    top.write("co,ma/inc.cfg", "i = 2\n");
    top.write("co,ma/sub/g.cfg", "y = 3\n");
    check_runs({{{"get", "f.cfg", "x", "i"}, 0, "1\n2\n", ""},
                {{"get", "sub/g.cfg", "y"}, 0, "3\n", ""},
                {{"get", "--path", top.path(), "f.cfg", "x"}, 2, "1\n", nullptr},  // inc.cfg is not on that path
                {{"get", "--path", top.path(), "sub/g.cfg", "y"}, 0, "3\n", ""},
                {{"set", "f.cfg", "x", "4"}, 0, "", ""},
                {{"get", "f.cfg", "x"}, 0, "4\n", ""}},
               here);
    check_runs({{{"get", "co,ma/sub/g.cfg", "y"}, 2, "", nullptr}}, top.path());  // no name without ','
    // An absolute name below the current directory, and a symbolic link
    // (kept in the name) to a file below a ',', load too.
    ASSERT_EQ(0, mkdir(top.file("plain").c_str(), 0700));
    ASSERT_EQ(0, symlink("../co,ma/sub/g.cfg", top.file("plain/link.cfg").c_str()));
    check_runs({{{"get", here + "/sub/g.cfg", "y"}, 0, "3\n", ""}}, here);
    check_runs({{{"get", "--path", here, "link.cfg", "y"}, 0, "3\n", ""}}, top.file("plain"));
}

// Includes are looked for beside a FILE as named, then beside the file a
// symbolic link leads to.
TEST_F(Cli, IncludesAreFoundBesideTheNameAndBesideTheFileALinkLeadsTo) {
    cfgtest::TempDir dir;
    ASSERT_EQ(0, mkdir(dir.file("real").c_str(), 0700));
    ASSERT_EQ(0, mkdir(dir.file("links").c_str(), 0700));
    dir.write("real/main.cfg", "a = 1\n<inc.cfg>\n<near.cfg>\n");
    dir.write("real/inc.cfg", "b = real\n");
    dir.write("real/near.cfg", "c = real\n");
    dir.write("links/near.cfg", "c = link\n");  // beside the name: found first
    ASSERT_EQ(0, symlink("../real/main.cfg", dir.file("links/main.cfg").c_str()));
    check_runs({{{"get", "main.cfg", "a", "b", "c"}, 0, "1\nreal\nlink\n", ""}}, dir.file("links"));
    check_runs({{{"get", "links/main.cfg", "a", "b", "c"}, 0, "1\nreal\nlink\n", ""}}, dir.path());
    // get's IDENTs add no directory; the FILEs before them do
    dir.write("top.cfg", "a = 1\n<inc.cfg>\n");
    dir.write("ev/inc.cfg", "b = ev\n");
    check_runs({{{"get", "top.cfg", "ev/inc.cfg", "b"}, 0, "ev\n", ""},
                {{"get", "top.cfg", "ev/x", "b"}, 2, "",
                 "top.cfg: ERR_FILE_ACCESS: an included file cannot be read (tried './inc.cfg')\n"
                 "cfgtree: ev/x: CFG_NOT_FOUND: no such attribute\ncfgtree: b: CFG_NOT_FOUND: no such attribute\n"}},
               dir.path());
}

// Output that cannot be written fails the run, whatever was asked.
TEST_F(Cli, OutputThatCannotBeWrittenFails) {
    for (const std::vector<std::string> &args : {std::vector<std::string>{"--help"}, {"--version"}, {"dump", "net.cfg"}}) {
        SCOPED_TRACE(args[0]);
        Outcome r = cli(args, kData, {}, "/dev/full");
        EXPECT_EQ(2, r.status);
        EXPECT_EQ("cfgtree: cannot write the output\n", r.err);
    }
}

}  // namespace
